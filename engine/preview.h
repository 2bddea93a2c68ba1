#pragma once
// The preview of a run: every decision logged with its reason and counted,
// while nothing is copied, stamped, created or deleted on either side.

#include <cstdint>
#include <string_view>

#include "engine/run_state.h"

namespace kestrum {

// In a preview, logs what the run would do with name and why, and counts it;
// does nothing in a real run. seconds: by how much the newer copy is newer
// (Upload, Download) or the difference (InStep), on the server's clock.
void NoteDecision(RunContext& ctx, Decision decision, std::string_view name, int64_t seconds = 0);

// The preview's last lines: one count per kind of decision. The items it
// could not decide on (unknown directories, unknown times) are counted as
// skipped and no longer as failures: the preview itself completed.
void LogPreviewSummary(RunContext& ctx);

}  // namespace kestrum
