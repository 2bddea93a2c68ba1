// Download planning: the server-file pass, shared by the download-only run and
// the first half of a both-directions run. The only network request made here
// asks the exact time of a file listed by its day only, where the hour decides.

#include <cerrno>
#include <cstring>
#include <string>

#include "engine/extra_connections.h"
#include "engine/planning_rules.h"
#include "engine/preview.h"
#include "engine/run_cache.h"
#include "engine/run_log.h"
#include "engine/sync_phases.h"
#include "engine/sync_run.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

enum class DirResult { Ready, PassOver, Cancelled };

// Creates the local directories a server-only file needs, shortest prefix first.
DirResult EnsureLocalDirectories(RunContext& ctx, const std::string& serverName) {
    const std::string& home = ctx.state.settings.localDir;
    bool failed = false;
    for (const std::string& prefix : DirectoryPrefixes(serverName, '/')) {
        if (ctx.state.flags.cancelRequested.load())
            return DirResult::Cancelled;
        const std::string path = LocalPathOf(home, prefix);
        const auto status = ctx.fs.GetStatus(path);
        if (!status) {
            // A preview makes nothing: the directory would be made here.
            if (ctx.state.options.dryRun)
                continue;
            if (ctx.fs.CreateDirectory(path)) {
                ctx.log.AppendLogLine(FormatString(msg::kLocalDirCreated, {path}));
                continue;
            }
            LogFailedItem(ctx, msg::kLocalDirCreateFailed, {path}, std::strerror(errno));
            return DirResult::PassOver;
        }
        if (status->isDirectory)
            continue;
        // A local file stands where a directory is needed: it is left alone.
        LogFailedItem(ctx, msg::kLocalDirCreateFailed, {path}, std::strerror(ENOTDIR));
        failed = true;
    }
    return failed ? DirResult::PassOver : DirResult::Ready;
}

// Plans one copy under the local name; the server's name goes with it when the
// two differ in more than the separators (a counterpart matched with letter case
// folded). A download takes the listed size, an upload the listed permission bits.
void PlanOne(RunContext& ctx, FileList& transfer, const std::string& localName, Direction direction,
             const FileEntry& server) {
    const std::string& serverName = server.name;
    FileEntry entry;
    entry.name = localName;
    entry.direction = direction;
    if (direction == Direction::Download)
        entry.size = server.size;
    else
        entry.mode = server.mode;
    std::string serverForm = localName;
    ConvertSeparators(serverForm, 0);
    if (serverForm != serverName)
        entry.serverName = serverName;
    transfer.push_back(std::move(entry));
    PlannedCopies(ctx, transfer.size());
    if (!ctx.state.options.dryRun)
        ctx.log.AppendLogLine(FormatString(msg::kWillUpdate, {serverName}));
}

PhaseOutcome PlanServerFiles(RunContext& ctx, FileList& transfer, int64_t clockOffset, bool bothWays,
                             FtpConnection* connection) {
    RunState& state = ctx.state;
    const RunSettings& settings = state.settings;
    const NameMatcher localMatch(state.results.serverFiles, state.results.localFiles);

    for (const FileEntry& server : state.results.serverFiles) {
        if (state.flags.cancelRequested.load())
            return PhaseOutcome::Cancelled;
        if (!IsSafeServerName(server.name)) {
            ctx.log.AppendLogLine(FormatString(msg::kServerNameIgnored, {PrintableName(server.name)}));
            continue;
        }
        std::string localName = server.name;
        ConvertSeparators(localName, 1);

        const NameMatcher::Match found = localMatch.Find(localName);
        if (found.ambiguous) {
            LogFailedItem(ctx, msg::kNameCaseAmbiguous, {PrintableName(server.name)});
            continue;
        }
        if (found.index >= 0) {
            FileEntry& local = state.results.localFiles[static_cast<size_t>(found.index)];
            local.matched = 1;
            // Both copies are reached under their own names: on a case-sensitive
            // disk or server the other letter case would be another file.
            if (server.lastWriteTime == kUnknownServerTime) {
                LogFailedItem(ctx, msg::kNotUpdatedServerTimeUnknown, {PrintableName(server.name)});
                continue;
            }
            const int64_t serverTime =
                ServerTimeToCompare(ctx, connection, server.name, server.lastWriteTime, server.dateOnly,
                                    local.lastWriteTime, clockOffset, bothWays, true);
            const int64_t serverAhead = serverTime - (local.lastWriteTime + clockOffset);
            // The sync state proves which copy changed since the last copy
            // between them: that one goes, whatever the times say.
            const SyncProof proof = connection == nullptr
                                        ? SyncProof::Nothing
                                        : ProveBySyncState(ctx, local.name, local.lastWriteTime, server.lastWriteTime,
                                                           server.size, ListedPrecision(*connection, server));
            if (proof == SyncProof::BothChanged)
                ctx.log.AppendLogLine(FormatString(msg::kBothChangedSinceLastCopy, {PrintableName(server.name)}));
            const bool localProven = proof == SyncProof::LocalChanged;
            if (proof == SyncProof::InStep) {
                NoteDecision(ctx, Decision::InStep, server.name, serverAhead);
                if (bothWays)
                    state.results.actedLocalTimes[local.name] = local.lastWriteTime;
            } else if (!localProven &&
                       (proof == SyncProof::ServerChanged ||
                        ShouldDownload(serverTime, local.lastWriteTime, clockOffset, settings.timeLag))) {
                NoteDecision(ctx, Decision::Download, server.name, serverAhead);
                PlanOne(ctx, transfer, local.name, Direction::Download, server);
            } else if (localProven || ShouldUpload(serverTime, local.lastWriteTime, clockOffset, settings.timeLag)) {
                if (!bothWays) {
                    NoteDecision(ctx, Decision::OtherWayOnly, server.name);
                } else if (!DropUploadIntoUnknownDir(ctx, server.name, local.name)) {
                    NoteDecision(ctx, Decision::Upload, server.name, -serverAhead);
                    PlanOne(ctx, transfer, local.name, Direction::Upload, server);
                }
            } else {
                NoteDecision(ctx, Decision::InStep, server.name, serverAhead);
                if (bothWays)
                    state.results.actedLocalTimes[local.name] = local.lastWriteTime;
            }
            continue;
        }

        if (settings.onlyBoth)
            continue;
        // A local directory that could not be listed may hold this file already,
        // possibly newer: it is not overwritten blindly.
        if (const std::string* unlisted = FindEnclosingDirectory(localName, state.results.unlistedLocalDirs)) {
            LogFailedItem(ctx, msg::kNotUpdatedLocalDirUnreadable, {*unlisted, server.name});
            continue;
        }
        const DirResult dirs = EnsureLocalDirectories(ctx, server.name);
        if (dirs == DirResult::Cancelled)
            return PhaseOutcome::Cancelled;
        if (dirs == DirResult::PassOver)
            continue;
        NoteDecision(ctx, Decision::DownloadMissing, server.name);
        PlanOne(ctx, transfer, localName, Direction::Download, server);
    }
    return PhaseOutcome::Done;
}

}  // namespace

PhaseOutcome PlanDownloads(RunContext& ctx, FileList& transfer, int64_t clockOffset, FtpConnection* connection) {
    return PlanServerFiles(ctx, transfer, clockOffset, false, connection);
}

PhaseOutcome PlanServerFilesBothWays(RunContext& ctx, FileList& transfer, int64_t clockOffset,
                                     FtpConnection* connection) {
    return PlanServerFiles(ctx, transfer, clockOffset, true, connection);
}

}  // namespace kestrum
