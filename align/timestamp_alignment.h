#pragma once
// The timestamp alignment run: local file times set to the server's.

#include "engine/run_state.h"

namespace kestrum {

// On the owner's thread: asks 57675 (unless confirmed is true), prepares, and
// starts the worker. Returns false when the confirmation was refused.
bool StartTimestampAlignment(RunContext& ctx, bool confirmed);
// The worker routine. Returns 0.
int RunTimestampAlignment(RunContext& ctx);

}  // namespace kestrum
