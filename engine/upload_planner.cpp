// Upload planning in its three forms: upload-only (each local file looked up
// on the server), mirroring (against the mirroring scan) and both directions
// (after the server-file pass of download planning).

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "engine/extra_connections.h"
#include "engine/planning_rules.h"
#include "engine/preview.h"
#include "engine/run_cache.h"
#include "engine/run_log.h"
#include "engine/server_lookups.h"
#include "engine/sync_phases.h"
#include "engine/sync_run.h"
#include "ftp/ftp_client.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

enum class DirResult { Ready, Blocked, Unknown, Cancelled };

struct DirOutcome {
    DirResult result = DirResult::Ready;
    std::string prefix;  // the directory that blocked the path or could not be looked up
};

std::string DisplayDir(const std::string& dir) {
    return dir.empty() ? "." : dir;
}

std::string ServerForm(const std::string& name) {
    std::string s = name;
    ConvertSeparators(s, 0);
    return s;
}

// On this platform "\" is a character of a local name, not a separator: such a
// name would reach the server as a different path and is left out.
// A server copy whose time is unknown is never uploaded over: one line, and
// the local file stays changed for the next cached run.
bool SkipUnknownServerTime(RunContext& ctx, int64_t serverTime, const std::string& serverName, const FileEntry& local) {
    if (serverTime != kUnknownServerTime)
        return false;
    LogFailedItem(ctx, msg::kNotUpdatedServerTimeUnknown, {PrintableName(serverName)});
    ctx.state.results.unsyncedLocalFiles.push_back(local.name);
    return true;
}

// A local name the server could not be sent ("\\" would be a separator
// there, a control byte cannot go in a command) is left out with a line.
bool SkipUnsendableName(RunContext& ctx, const FileEntry& local) {
    if (FindFirstChar(local.name, '\\') != std::string::npos) {
        ctx.log.AppendLogLine(FormatString(msg::kLocalNameIgnored, {PrintableName(local.name)}));
    } else if (PrintableName(local.name) != local.name) {
        ctx.log.AppendLogLine(FormatString(msg::kLocalNameHasControlChar, {PrintableName(local.name)}));
    } else {
        return false;
    }
    ctx.state.results.unsyncedLocalFiles.push_back(local.name);
    return true;
}

// A local name left alone because letter-case variants make its server
// counterpart ambiguous: one line, and it stays changed for the next cached run.
void SkipAmbiguousName(RunContext& ctx, const FileEntry& local) {
    LogFailedItem(ctx, msg::kNameCaseAmbiguous, {PrintableName(local.name)});
    ctx.state.results.unsyncedLocalFiles.push_back(local.name);
}

// An upload-only comparison in a preview: the local copy newer, the server
// copy newer (not copied down by this run), or both within the time lag.
// due: the file goes up (by the times or by its sync state).
void NoteComparison(RunContext& ctx, int64_t serverTime, int64_t localTime, int64_t clockOffset,
                    const std::string& name, bool due) {
    const int lag = ctx.state.settings.timeLag;
    const int64_t localAhead = localTime + clockOffset - serverTime;
    if (due)
        NoteDecision(ctx, Decision::Upload, name, localAhead);
    else if (ShouldUpload(serverTime, localTime, clockOffset, lag) ||
             ShouldDownload(serverTime, localTime, clockOffset, lag))
        NoteDecision(ctx, Decision::OtherWayOnly, name);
    else
        NoteDecision(ctx, Decision::InStep, name, localAhead);
}

// What the sync state proves of a file with a server counterpart; an edit
// on both sides is left to the times, and the log says so.
SyncProof Prove(RunContext& ctx, const FileEntry& local, const std::string& serverName, int64_t serverTime,
                int64_t serverSize, TimePrecision precision) {
    SyncProof proof = ProveBySyncState(ctx, local.name, local.lastWriteTime, serverTime, serverSize, precision);
    if (proof == SyncProof::InStep && ctx.state.results.localWrites.contains(local.name))
        proof = SyncProof::LocalChanged;
    if (proof == SyncProof::BothChanged)
        ctx.log.AppendLogLine(FormatString(msg::kBothChangedSinceLastCopy, {PrintableName(serverName)}));
    return proof;
}

// Whether the times (or, where it proves more, the sync state) send the file up.
bool UploadDue(const RunContext& ctx, SyncProof proof, int64_t serverTime, int64_t localTime, int64_t clockOffset) {
    if (proof == SyncProof::LocalChanged || proof == SyncProof::InStep)
        return proof == SyncProof::LocalChanged;
    return ShouldUpload(serverTime, localTime, clockOffset, ctx.state.settings.timeLag);
}

// Makes the server directories a new file needs, shortest prefix first. Every
// prefix is checked again for every file (from the listings already fetched).
DirOutcome EnsureServerDirectories(RunContext& ctx, ServerLookups& lookups, const std::string& serverName) {
    for (const std::string& prefix : DirectoryPrefixes(serverName, '/')) {
        if (ctx.state.flags.cancelRequested.load())
            return {DirResult::Cancelled, prefix};
        const FtpListing found = lookups.Lookup(prefix);
        if (found.status == ListStatus::Failed)
            return {DirResult::Unknown, prefix};
        if (found.status == ListStatus::Missing) {
            // A preview makes nothing: the directory would be made here.
            if (ctx.state.options.dryRun)
                return {};
            // The result is not looked at: a directory that could not be made
            // shows as a failed upload later.
            lookups.CreateDirectory(prefix);
            ctx.log.AppendLogLine(FormatString(msg::kServerDirCreated, {prefix}));
        } else if (!found.entries.empty() && !found.entries.front().isDirectory) {
            return {DirResult::Blocked, prefix};
        }
        if (ctx.state.flags.cancelRequested.load())
            return {DirResult::Cancelled, prefix};
    }
    return {};
}

// serverMode: the permission bits listed for the server file the upload replaces (-1 none, or unknown).
void PlanUpload(RunContext& ctx, FileList& transfer, const std::string& name, const std::string& serverName,
                int serverMode = -1) {
    FileEntry entry;
    entry.name = name;
    entry.direction = Direction::Upload;
    entry.mode = serverMode;
    // A counterpart matched with letter case folded keeps its own name on the server.
    if (ServerForm(name) != serverName)
        entry.serverName = serverName;
    transfer.push_back(std::move(entry));
    PlannedCopies(ctx, transfer.size());
    if (!ctx.state.options.dryRun)
        ctx.log.AppendLogLine(FormatString(msg::kWillUpdate, {serverName}));
}

// A local-only file in the mirroring and both-directions forms: the server
// directories are made unless its place on the server is unknown or blocked.
// False when planning must stop on the cancel flag.
bool PlanNewFile(RunContext& ctx, ServerLookups& lookups, FileList& transfer, const FileEntry& local) {
    const std::string serverName = ServerForm(local.name);
    if (const std::string* unknown = FindEnclosingDirectory(serverName, ctx.state.results.unknownServerDirs)) {
        LogFailedItem(ctx, msg::kNotUpdatedServerDirUnknown, {DisplayDir(*unknown), serverName});
        return true;
    }
    const DirOutcome dirs = EnsureServerDirectories(ctx, lookups, serverName);
    switch (dirs.result) {
        case DirResult::Cancelled:
            return false;
        case DirResult::Blocked:
            // A file stands where the directory is needed.
            LogFailedItem(ctx, msg::kServerDirCreateFailed, {dirs.prefix, local.name}, std::strerror(ENOTDIR));
            return true;
        case DirResult::Unknown:
            LogFailedItem(ctx, msg::kNotUpdatedServerPathUnconfirmed,
                          {PrintableName(dirs.prefix), PrintableName(serverName)});
            return true;
        case DirResult::Ready:
            break;
    }
    NoteDecision(ctx, Decision::UploadMissing, serverName);
    PlanUpload(ctx, transfer, local.name, serverName);
    return true;
}

// Takes from the server directory list the top-level directories some local
// file lies in: the same name first, otherwise the one variant in letter case
// when each side has only one. A directory with more variants is kept with a
// line; the rest are left for the mirroring deletions.
class DirectoryStrikes {
  public:
    void Add(const std::string& localName) {
        const std::string top = TopLevelDirectory(localName);
        if (!top.empty() && exact_.insert(top).second)
            ++folded_[UpperAscii(top)];
    }
    void Apply(RunContext& ctx) {
        RunState& state = ctx.state;
        const bool parallel = state.results.serverDirectoriesAsListed.size() == state.results.serverDirectories.size();
        std::unordered_map<std::string, int> serverVariants;
        for (const std::string& upper : state.results.serverDirectories)
            ++serverVariants[upper];
        DirectoryList kept, keptListed;
        for (size_t i = 0; i < state.results.serverDirectories.size(); ++i) {
            const std::string& upper = state.results.serverDirectories[i];
            const std::string& listed = parallel ? state.results.serverDirectoriesAsListed[i] : upper;
            const auto local = folded_.find(upper);
            if (local != folded_.end()) {
                const bool exact = !parallel || exact_.count(listed) != 0;
                if (!exact && (local->second > 1 || serverVariants[upper] > 1))
                    LogFailedItem(ctx, msg::kNameCaseAmbiguous, {PrintableName(listed)});
                continue;
            }
            kept.push_back(upper);
            if (parallel)
                keptListed.push_back(listed);
        }
        state.results.serverDirectories = std::move(kept);
        state.results.serverDirectoriesAsListed = std::move(keptListed);
        exact_.clear();
        folded_.clear();
    }

  private:
    std::unordered_set<std::string> exact_;
    std::unordered_map<std::string, int> folded_;  // distinct local names per folded name
};

}  // namespace

bool DropUploadIntoUnknownDir(RunContext& ctx, const std::string& serverName, const std::string& localName) {
    const std::string* unknown = FindEnclosingDirectory(serverName, ctx.state.results.unknownServerDirs);
    if (unknown == nullptr)
        return false;
    LogFailedItem(ctx, msg::kNotUpdatedServerDirUnknown,
                  {PrintableName(DisplayDir(*unknown)), PrintableName(serverName)});
    ctx.state.results.unsyncedLocalFiles.push_back(localName);
    return true;
}

PhaseOutcome PlanUploads(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset) {
    RunState& state = ctx.state;
    const RunSettings& settings = state.settings;
    ServerLookups lookups(connection, &ctx);
    std::unordered_map<std::string, int> localVariants;
    for (const FileEntry& local : state.results.localFiles)
        ++localVariants[FoldKey(ServerForm(local.name))];
    for (const FileEntry& local : state.results.localFiles) {
        if (state.flags.cancelRequested.load()) {
            AbortRun(ctx, &connection, &transfer, msg::kRunCancelled, AbortMode::CloseAndFreeList);
            return PhaseOutcome::RunEnded;
        }
        if (SkipUnsendableName(ctx, local))
            continue;
        const std::string serverName = ServerForm(local.name);
        // Without its own name on the server, a name is matched in another
        // letter case only when neither side holds a second variant.
        const int variants = lookups.CaseVariants(serverName);
        if (variants > 1 || (variants == 1 && localVariants[FoldKey(serverName)] > 1)) {
            SkipAmbiguousName(ctx, local);
            continue;
        }
        const FtpListing found = lookups.Lookup(serverName);
        if (found.status == ListStatus::Failed) {
            LogFailedItem(ctx, msg::kNotUpdatedServerPathUnconfirmed,
                          {PrintableName(serverName), PrintableName(serverName)});
            state.results.unsyncedLocalFiles.push_back(local.name);
            continue;
        }
        if (found.status == ListStatus::Ok && !found.entries.empty()) {
            const FtpEntry& server = found.entries.front();
            if (server.isDirectory || server.hidden)
                continue;
            if (SkipUnknownServerTime(ctx, server.lastWriteTime, serverName, local))
                continue;
            const int64_t serverTime = ServerTimeToCompare(ctx, &connection, serverName, server.lastWriteTime,
                                                           server.precision == TimePrecision::Day, local.lastWriteTime,
                                                           clockOffset, true, false);
            const SyncProof proof = Prove(ctx, local, serverName, server.lastWriteTime, server.size, server.precision);
            const bool due = UploadDue(ctx, proof, serverTime, local.lastWriteTime, clockOffset);
            NoteComparison(ctx, serverTime, local.lastWriteTime, clockOffset, serverName, due);
            if (due) {
                PlanUpload(ctx, transfer, serverName, serverName, server.mode);
            } else {
                state.results.actedLocalTimes[local.name] = local.lastWriteTime;
            }
            continue;
        }
        if (settings.onlyBoth)
            continue;
        const DirOutcome dirs = EnsureServerDirectories(ctx, lookups, serverName);
        if (dirs.result == DirResult::Cancelled) {
            AbortRun(ctx, &connection, &transfer, msg::kRunCancelled, AbortMode::CloseAndFreeList);
            return PhaseOutcome::RunEnded;
        }
        if (dirs.result == DirResult::Unknown) {
            LogFailedItem(ctx, msg::kNotUpdatedServerPathUnconfirmed,
                          {PrintableName(dirs.prefix), PrintableName(serverName)});
            state.results.unsyncedLocalFiles.push_back(local.name);
            continue;
        }
        // A path blocked by a server file is planned all the same; its upload fails with msg::kUploadFailed.
        NoteDecision(ctx, Decision::UploadMissing, serverName);
        PlanUpload(ctx, transfer, serverName, serverName);
    }
    return PhaseOutcome::Done;
}

PhaseOutcome PlanUploadsMirroring(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset) {
    RunState& state = ctx.state;
    const RunSettings& settings = state.settings;
    if (state.flags.cancelRequested.load())
        return PhaseOutcome::Cancelled;

    const NameMatcher serverMatch(state.results.localFiles, state.results.serverFiles);
    ServerLookups lookups(connection, &ctx);
    DirectoryStrikes strikes;
    for (const FileEntry& local : state.results.localFiles) {
        if (state.flags.cancelRequested.load()) {
            strikes.Apply(ctx);
            return PhaseOutcome::Cancelled;
        }
        if (SkipUnsendableName(ctx, local))
            continue;
        strikes.Add(local.name);

        const std::string serverName = ServerForm(local.name);
        const NameMatcher::Match found = serverMatch.Find(serverName);
        if (found.ambiguous) {
            SkipAmbiguousName(ctx, local);
            continue;
        }
        if (found.index >= 0) {
            FileEntry& server = state.results.serverFiles[static_cast<size_t>(found.index)];
            server.matched = 1;
            if (SkipUnknownServerTime(ctx, server.lastWriteTime, server.name, local))
                continue;
            const int64_t serverTime =
                ServerTimeToCompare(ctx, &connection, server.name, server.lastWriteTime, server.dateOnly,
                                    local.lastWriteTime, clockOffset, true, false);
            const SyncProof proof =
                Prove(ctx, local, server.name, server.lastWriteTime, server.size, ListedPrecision(connection, server));
            const bool due = UploadDue(ctx, proof, serverTime, local.lastWriteTime, clockOffset);
            NoteComparison(ctx, serverTime, local.lastWriteTime, clockOffset, server.name, due);
            if (due && !DropUploadIntoUnknownDir(ctx, server.name, local.name)) {
                PlanUpload(ctx, transfer, local.name, server.name, server.mode);
            } else {
                state.results.actedLocalTimes[local.name] = local.lastWriteTime;
            }
            continue;
        }
        if (settings.onlyBoth)
            continue;
        if (!PlanNewFile(ctx, lookups, transfer, local)) {
            strikes.Apply(ctx);
            return PhaseOutcome::Cancelled;
        }
    }
    strikes.Apply(ctx);
    // A server file whose local counterpart is ambiguous is never deleted.
    const NameMatcher localMatch(state.results.serverFiles, state.results.localFiles);
    for (FileEntry& server : state.results.serverFiles) {
        if (!server.matched && localMatch.Find(server.name).ambiguous) {
            server.matched = 1;
            LogFailedItem(ctx, msg::kNameCaseAmbiguous, {PrintableName(server.name)});
        }
    }
    return PhaseOutcome::Done;
}

void PlanBothDirections(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset) {
    RunState& state = ctx.state;
    if (PlanServerFilesBothWays(ctx, transfer, clockOffset, &connection) != PhaseOutcome::Done)
        return;
    if (state.flags.cancelRequested.load())
        return;
    if (state.settings.onlyBoth)
        return;
    ServerLookups lookups(connection, &ctx);
    const NameMatcher serverMatch(state.results.localFiles, state.results.serverFiles);
    for (const FileEntry& local : state.results.localFiles) {
        if (local.matched)
            continue;
        if (state.flags.cancelRequested.load())
            return;
        if (SkipUnsendableName(ctx, local))
            continue;
        if (serverMatch.Find(local.name).ambiguous) {
            SkipAmbiguousName(ctx, local);
            continue;
        }
        if (!PlanNewFile(ctx, lookups, transfer, local))
            return;
    }
}

}  // namespace kestrum
