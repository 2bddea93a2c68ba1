#include "engine/preview.h"

#include <iterator>
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
    if (!state.options.dryRun || decision == Decision::Count)
        return;
    ++state.results.previewCounts[static_cast<size_t>(decision)];
    // The line of each decision, in the order of Decision.
    static constexpr int kLines[] = {msg::kPreviewLocalNewer,      msg::kPreviewServerNewer,
                                     msg::kPreviewMissingOnServer, msg::kPreviewMissingLocally,
                                     msg::kPreviewWithinTolerance, msg::kPreviewOtherWayNotChecked,
                                     msg::kPreviewExcluded,        msg::kPreviewWouldDelete};
    static_assert(std::size(kLines) == static_cast<size_t>(Decision::Count));
    const std::string shown = PrintableName(name);
    std::string minutes;
    if (decision == Decision::Upload || decision == Decision::Download)
        minutes = Minutes(seconds);
    else if (decision == Decision::InStep)
        minutes = std::to_string(state.settings.timeLag);
    ctx.log.AppendLogLine(FormatString(kLines[static_cast<size_t>(decision)], {shown, minutes}));
}

void LogPreviewSummary(RunContext& ctx) {
    RunState& state = ctx.state;
    const auto& n = state.results.previewCounts;
    auto count = [&](Decision d) { return std::to_string(n[static_cast<size_t>(d)]); };
    const std::string uploads =
        std::to_string(n[static_cast<size_t>(Decision::Upload)] + n[static_cast<size_t>(Decision::UploadMissing)]);
    const std::string downloads =
        std::to_string(n[static_cast<size_t>(Decision::Download)] + n[static_cast<size_t>(Decision::DownloadMissing)]);
    const std::string unchanged =
        std::to_string(n[static_cast<size_t>(Decision::InStep)] + n[static_cast<size_t>(Decision::OtherWayOnly)]);
    const std::string skipped = std::to_string(state.flags.failedItems.load());
    state.flags.failedItems = 0;
    ctx.log.AppendLogLine(FormatString(msg::kPreviewSummary, {uploads, downloads, count(Decision::Delete), unchanged,
                                                              count(Decision::Excluded), skipped}));
}

}  // namespace kestrum
