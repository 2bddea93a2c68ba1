#include "cli/run_command.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "cli/headless_session.h"
#include "cli/usage.h"
#include "engine/run_log.h"
#include "engine/watch_run.h"
#include "profiles/profile_schema.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

int Run(const std::vector<std::string>& given, bool watch) {
    const std::vector<std::string> args = JoinOptionValues(given, {"--max-delete", "--parallel", "--trace"});
    std::string profile;
    std::optional<bool> cache;
    std::optional<bool> passive;
    bool dryRun = false;
    bool yes = false;
    int maxDelete = -1;
    int parallel = 0;
    std::optional<std::string> tracePath;
    auto option = [&](const std::string& arg) {
        constexpr std::string_view kMaxDelete = "--max-delete=";
        constexpr std::string_view kParallel = "--parallel=";
        if (arg == "--cache") {
            cache = true;
        } else if (arg == "--no-cache") {
            cache = false;
        } else if (arg == "--passive" || arg == "--active") {
            passive = arg == "--passive";
        } else if (arg == "--dry-run") {
            dryRun = true;
        } else if (arg == "--yes" || arg == "-y") {
            yes = true;
        } else if (arg.starts_with(kMaxDelete)) {
            const std::optional<int32_t> number = ParseDecimalInt(std::string_view(arg).substr(kMaxDelete.size()));
            if (!number || *number < 0)
                return false;
            maxDelete = *number;
        } else if (arg.starts_with(kParallel)) {
            const std::optional<int32_t> number = ParseDecimalInt(std::string_view(arg).substr(kParallel.size()));
            if (!number || !InRange(SchemaValue("PARALLEL"), *number))
                return false;
            parallel = *number;
        } else if (arg.starts_with("--trace=") && arg.size() > 8) {
            tracePath = arg.substr(8);
        } else {
            return false;
        }
        return true;
    };
    if (!ParseProfileArguments(args, option, profile) || (watch && dryRun))
        return UsageError();
    std::shared_ptr<ProtocolTrace> trace;
    if (tracePath && !(trace = CreateTraceFile(*tracePath)))
        return 2;
    HeadlessSession session;
    if (int status = session.Open(profile, cache, passive); status != 0)
        return status;
    RunState& state = session.Owner().State();
    state.options.dryRun = dryRun;
    state.options.maxDeleteOverride = maxDelete;
    state.options.parallelOverride = parallel;
    state.options.deletesConfirmed = yes;
    state.options.trace = std::move(trace);
    // Nobody may be there to answer: beyond the limit, nothing is deleted.
    state.options.mayAskBeforeDeleting = false;
    session.Owner().Start();
    const int status = session.WaitForEnd();
    if (!watch || session.Stopped())
        return status;
    if (!WatchMayFollow(state, session.Owner().Outcome())) {
        if (state.results.settingsLoaded && !state.settings.upload) {
            session.Owner().Log().AppendLogLine(LoadString(msg::kWatchNeedsUpload));
            return status == 0 ? 1 : status;
        }
        return status;
    }
    session.Owner().StartWatch();
    return session.WaitForEnd(std::chrono::milliseconds(250));
}

}  // namespace

int RunRunCommand(const std::vector<std::string>& args) {
    return Run(args, false);
}

int RunWatchCommand(const std::vector<std::string>& args) {
    return Run(args, true);
}

}  // namespace kestrum
