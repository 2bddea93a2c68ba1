#pragma once
// The timestamp alignment run: local file times set to the server's.

#include "engine/run_state.h"

namespace kestrum {

class RunOwner;

// On the owner's thread: asks msg::kAlignAskToStart (unless confirmed is true), prepares, and
// starts the owner's worker. Returns false when the confirmation was refused.
bool StartTimestampAlignment(RunOwner& owner, bool confirmed);
// The worker routine.
void RunTimestampAlignment(RunContext& ctx);

}  // namespace kestrum
