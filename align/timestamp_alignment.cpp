#include "align/timestamp_alignment.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "engine/local_scan.h"
#include "engine/planning_rules.h"
#include "engine/run_log.h"
#include "engine/run_owner.h"
#include "engine/sync_phases.h"
#include "engine/sync_run.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

void Log(RunContext& ctx, int id, std::initializer_list<std::string_view> args = {}) {
    ctx.log.AppendLogLine(FormatString(id, args));
}

void LogHeader(RunContext& ctx) {
    LogConnectionHeader(ctx);
    Log(ctx, msg::kHeaderTimeLag, {std::to_string(ctx.state.settings.timeLag)});
}

// One local file: its time set to the server copy's, on the local clock,
// unless the two agree within the time lag. The time set when it was changed.
std::optional<int64_t> AlignFile(RunContext& ctx, FtpConnection& connection, const FileEntry& entry,
                                 int64_t clockOffset) {
    const RunSettings& settings = ctx.state.settings;
    std::string serverName = entry.name;
    ConvertSeparators(serverName, 0);
    const FtpListing found = connection.Lookup(serverName);
    if (found.status == ListStatus::Failed) {
        // The server's copy is unknown, not absent: say so and leave the file.
        LogFailedItem(ctx, msg::kAlignSkippedUnconfirmed, {PrintableName(serverName)});
        return std::nullopt;
    }
    if (found.status != ListStatus::Ok || found.entries.empty())
        return std::nullopt;
    const FtpEntry& listed = found.entries.front();
    if (listed.isDirectory || listed.hidden)
        return std::nullopt;

    int64_t serverTime = listed.lastWriteTime;
    if (serverTime == kUnknownServerTime) {
        LogFailedItem(ctx, msg::kNotStampedServerTimeUnknown, {PrintableName(serverName)});
        return std::nullopt;
    }
    // A day alone cannot say whether the two agree within the lag, nor give the time to set.
    if (listed.precision == TimePrecision::Day)
        serverTime = ExactServerTime(ctx, connection, serverName, serverTime, clockOffset);
    if (!ShouldDownload(serverTime, entry.lastWriteTime, clockOffset, settings.timeLag) &&
        !ShouldUpload(serverTime, entry.lastWriteTime, clockOffset, settings.timeLag))
        return std::nullopt;

    const std::string localPath = JoinLocalPath(settings.localDir, entry.name);
    if (!ctx.fs.GetStatus(localPath) || !ctx.fs.SetLastWriteTime(localPath, serverTime - clockOffset)) {
        LogFailedItem(ctx, msg::kTimestampChangeFailed, {entry.name});
        return std::nullopt;
    }
    Log(ctx, msg::kAlignTimestampChanged, {entry.name});
    return serverTime - clockOffset;
}

}  // namespace

bool StartTimestampAlignment(RunOwner& owner, bool confirmed) {
    RunContext& ctx = owner.Context();
    if (!confirmed && !ctx.log.Port().AskRisky(LoadString(msg::kAlignAskToStart)))
        return false;

    RunState& state = ctx.state;
    RunSettings& settings = state.settings;
    owner.Join();
    // An alignment changes local times and records them: never a preview.
    state.options.dryRun = false;
    SetRunningState(ctx, 1);
    // Stops before the worker exists run the completion routine directly.
    const SettingsLoad load = BeginRun(ctx, msg::kAlignStarting);
    if (load != SettingsLoad::Loaded) {
        StopWithMessage(ctx, SettingsLoadMessage(load), true);
        return true;
    }
    if (state.flags.cancelRequested) {
        StopWithMessage(ctx, msg::kRunCancelled, false);
        return true;
    }

    LogHeader(ctx);

    Log(ctx, msg::kScanningLocalDir, {settings.localDir});
    const LocalScanOptions options{settings.subdirs != 0, &settings.excludedExtensions};
    if (ScanLocalTree(ctx.fs, settings.localDir, options, state.results.localFiles, &ctx.log,
                      &state.results.unlistedLocalDirs) < 0) {
        StopWithMessage(ctx, msg::kLocalDirNotFound, true);
        return true;
    }
    ctx.log.SetProgress(2);
    if (state.flags.cancelRequested) {
        StopWithMessage(ctx, msg::kRunCancelled, false);
        return true;
    }
    Log(ctx, msg::kLocalScanFinished);
    owner.StartWorker([](RunContext& c) { RunTimestampAlignment(c); });
    return true;
}

void RunTimestampAlignment(RunContext& ctx) {
    RunState& state = ctx.state;
    ctx.log.Port().SetAnimation(true);

    // A checkpoint: on a cancel the abort path closes what is open, logs msg::kRunCancelled
    // and posts the completion.
    RunOnConnection(ctx, nullptr, [&](std::unique_ptr<FtpConnection>& connection) {
        auto cancelled = [&](AbortMode mode) {
            if (!state.flags.cancelRequested)
                return false;
            AbortRun(ctx, connection.get(), nullptr, msg::kRunCancelled, mode);
            return true;
        };
        // Unlike a synchronisation run, no connection options are set.
        if (!ConnectToServerHome(ctx, connection, nullptr, false))
            return;

        const int64_t clockOffset = ProbeServerClock(ctx, *connection);
        if (cancelled(AbortMode::CloseConnection))
            return;

        Log(ctx, msg::kScanningServerDir);
        const long long total = static_cast<long long>(state.results.localFiles.size());
        long long changed = 0;
        ctx.log.ShowFileCount(0, total);
        for (const FileEntry& entry : state.results.localFiles) {
            if (cancelled(AbortMode::CloseConnection))
                return;
            const std::optional<int64_t> set = AlignFile(ctx, *connection, entry, clockOffset);
            if (set)
                ++changed;
            // Aligned means taken as in step: the change cache records the file as left.
            state.results.actedLocalTimes[entry.name] = set.value_or(entry.lastWriteTime);
            ctx.log.ShowFileCount(changed, total);
        }
        return EndRunReached(ctx, connection);
    });
}

}  // namespace kestrum
