#include "engine/preview.h"

#include <string>

#include "engine/run_log.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

std::string Minutes(int64_t seconds) {
    // To the nearest minute, and never "0" for a copy that is newer.
    const int64_t minutes = (seconds < 0 ? -seconds : seconds) + 30;
    return std::to_string(minutes / 60 > 0 ? minutes / 60 : 1);
}

}  // namespace

void NoteDecision(RunContext& ctx, Decision decision, std::string_view name, int64_t seconds) {
    RunState& state = ctx.state;
    if (!state.dryRun)
        return;
    ++state.previewCounts[static_cast<size_t>(decision)];
    const std::string shown = PrintableName(name);
    switch (decision) {
        case Decision::Upload:
            ctx.log.AppendLogLine(FormatString(msg::kPreviewLocalNewer, {shown, Minutes(seconds)}));
            break;
        case Decision::Download:
            ctx.log.AppendLogLine(FormatString(msg::kPreviewServerNewer, {shown, Minutes(seconds)}));
            break;
        case Decision::UploadMissing:
            ctx.log.AppendLogLine(FormatString(msg::kPreviewMissingOnServer, {shown}));
            break;
        case Decision::DownloadMissing:
            ctx.log.AppendLogLine(FormatString(msg::kPreviewMissingLocally, {shown}));
            break;
        case Decision::InStep:
            ctx.log.AppendLogLine(
                FormatString(msg::kPreviewWithinTolerance, {shown, std::to_string(state.settings.timeLag)}));
            break;
        case Decision::OtherWayOnly:
            ctx.log.AppendLogLine(FormatString(msg::kPreviewOtherWayNotChecked, {shown}));
            break;
        case Decision::Excluded:
            ctx.log.AppendLogLine(FormatString(msg::kPreviewExcluded, {shown}));
            break;
        case Decision::Delete:
            ctx.log.AppendLogLine(FormatString(msg::kPreviewWouldDelete, {shown}));
            break;
        case Decision::Count:
            break;
    }
}

void LogPreviewSummary(RunContext& ctx) {
    RunState& state = ctx.state;
    const auto& n = state.previewCounts;
    auto count = [&](Decision d) { return std::to_string(n[static_cast<size_t>(d)]); };
    const std::string uploads =
        std::to_string(n[static_cast<size_t>(Decision::Upload)] + n[static_cast<size_t>(Decision::UploadMissing)]);
    const std::string downloads =
        std::to_string(n[static_cast<size_t>(Decision::Download)] + n[static_cast<size_t>(Decision::DownloadMissing)]);
    const std::string unchanged =
        std::to_string(n[static_cast<size_t>(Decision::InStep)] + n[static_cast<size_t>(Decision::OtherWayOnly)]);
    const std::string skipped = std::to_string(state.failedItems.load());
    state.failedItems = 0;
    ctx.log.AppendLogLine(FormatString(msg::kPreviewSummary, {uploads, downloads, count(Decision::Delete), unchanged,
                                                              count(Decision::Excluded), skipped}));
}

}  // namespace kestrum
