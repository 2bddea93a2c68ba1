// Upload planning in its three forms: upload-only (each local file looked up
// on the server), mirroring (against the mirroring scan) and both directions
// (after the server-file pass of download planning).

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>

#include "engine/ftp_client.h"
#include "engine/planning_rules.h"
#include "engine/run_log.h"
#include "engine/server_lookups.h"
#include "engine/sync_phases.h"
#include "engine/sync_run.h"
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
    ctx.state.unsyncedLocalFiles.push_back(local.name);
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
    ctx.state.unsyncedLocalFiles.push_back(local.name);
    return true;
}

// Makes the server directories a new file needs, shortest prefix first. Every
// prefix is checked again for every file (from the listings already fetched).
DirOutcome EnsureServerDirectories(RunContext& ctx, ServerLookups& lookups, const std::string& serverName) {
    for (const std::string& prefix : DirectoryPrefixes(serverName, '/')) {
        if (ctx.state.cancelRequested.load())
            return {DirResult::Cancelled, prefix};
        const FtpListing found = lookups.Lookup(prefix);
        if (found.status == ListStatus::Failed)
            return {DirResult::Unknown, prefix};
        if (found.status == ListStatus::Missing) {
            // The result is not looked at: a directory that could not be made
            // shows as a failed upload later.
            lookups.CreateDirectory(prefix);
            ctx.log.AppendLogLine(FormatString(msg::kServerDirCreated, {prefix}));
        } else if (!found.entries.empty() && !found.entries.front().isDirectory) {
            return {DirResult::Blocked, prefix};
        }
        if (ctx.state.cancelRequested.load())
            return {DirResult::Cancelled, prefix};
    }
    return {};
}

void PlanUpload(RunContext& ctx, FileList& transfer, const std::string& name, const std::string& serverName) {
    FileEntry entry;
    entry.name = name;
    entry.direction = Direction::Upload;
    // A counterpart matched with letter case folded keeps its own name on the server.
    if (ServerForm(name) != serverName)
        entry.serverName = serverName;
    transfer.push_back(std::move(entry));
    ctx.log.AppendLogLine(FormatString(msg::kWillUpdate, {serverName}));
}

// A local-only file in the mirroring and both-directions forms: the server
// directories are made unless its place on the server is unknown or blocked.
// False when planning must stop on the cancel flag.
bool PlanNewFile(RunContext& ctx, ServerLookups& lookups, FileList& transfer, const FileEntry& local) {
    const std::string serverName = ServerForm(local.name);
    if (const std::string* unknown = FindEnclosingDirectory(serverName, ctx.state.unknownServerDirs)) {
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
    PlanUpload(ctx, transfer, local.name, serverName);
    return true;
}

// Strikes from the server directory list, for every local file below a
// top-level directory, the first remaining entry of that name. Counted while
// planning and applied once, which gives the same list as striking file by file.
class DirectoryStrikes {
  public:
    void Add(const std::string& localName) {
        const std::string top = TopLevelDirectory(localName);
        if (!top.empty())
            ++counts_[UpperAscii(top)];
    }
    void Apply(RunState& state) {
        const bool parallel = state.serverDirectoriesAsListed.size() == state.serverDirectories.size();
        DirectoryList kept, keptListed;
        for (size_t i = 0; i < state.serverDirectories.size(); ++i) {
            auto it = counts_.find(state.serverDirectories[i]);
            if (it != counts_.end() && it->second > 0) {
                --it->second;
                continue;
            }
            kept.push_back(state.serverDirectories[i]);
            if (parallel)
                keptListed.push_back(state.serverDirectoriesAsListed[i]);
        }
        state.serverDirectories = std::move(kept);
        state.serverDirectoriesAsListed = std::move(keptListed);
        counts_.clear();
    }

  private:
    std::unordered_map<std::string, long> counts_;
};

}  // namespace

bool DropUploadIntoUnknownDir(RunContext& ctx, const std::string& serverName, const std::string& localName) {
    const std::string* unknown = FindEnclosingDirectory(serverName, ctx.state.unknownServerDirs);
    if (unknown == nullptr)
        return false;
    LogFailedItem(ctx, msg::kNotUpdatedServerDirUnknown,
                  {PrintableName(DisplayDir(*unknown)), PrintableName(serverName)});
    ctx.state.unsyncedLocalFiles.push_back(localName);
    return true;
}

int PlanUploads(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset) {
    RunState& state = ctx.state;
    const RunSettings& settings = state.settings;
    ServerLookups lookups(connection, &ctx);
    for (const FileEntry& local : state.localFiles) {
        if (state.cancelRequested.load()) {
            AbortRun(ctx, &connection, &transfer, msg::kRunCancelled, AbortMode::CloseAndFreeList);
            return 0;
        }
        if (SkipUnsendableName(ctx, local))
            continue;
        const std::string serverName = ServerForm(local.name);
        const FtpListing found = lookups.Lookup(serverName);
        if (found.status == ListStatus::Failed) {
            LogFailedItem(ctx, msg::kNotUpdatedServerPathUnconfirmed,
                          {PrintableName(serverName), PrintableName(serverName)});
            state.unsyncedLocalFiles.push_back(local.name);
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
            if (ShouldUpload(serverTime, local.lastWriteTime, clockOffset, settings.timeLag)) {
                PlanUpload(ctx, transfer, serverName, serverName);
            }
            continue;
        }
        if (settings.onlyBoth)
            continue;
        const DirOutcome dirs = EnsureServerDirectories(ctx, lookups, serverName);
        if (dirs.result == DirResult::Cancelled) {
            AbortRun(ctx, &connection, &transfer, msg::kRunCancelled, AbortMode::CloseAndFreeList);
            return 0;
        }
        if (dirs.result == DirResult::Unknown) {
            LogFailedItem(ctx, msg::kNotUpdatedServerPathUnconfirmed,
                          {PrintableName(dirs.prefix), PrintableName(serverName)});
            state.unsyncedLocalFiles.push_back(local.name);
            continue;
        }
        // A path blocked by a server file is planned all the same; its upload fails with msg::kUploadFailed.
        PlanUpload(ctx, transfer, serverName, serverName);
    }
    return 1;
}

int PlanUploadsMirroring(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset) {
    RunState& state = ctx.state;
    const RunSettings& settings = state.settings;
    if (state.cancelRequested.load())
        return 0;

    const NameIndex serverIndex(state.serverFiles);
    ServerLookups lookups(connection, &ctx);
    DirectoryStrikes strikes;
    for (const FileEntry& local : state.localFiles) {
        if (state.cancelRequested.load()) {
            strikes.Apply(state);
            return 0;
        }
        if (SkipUnsendableName(ctx, local))
            continue;
        strikes.Add(local.name);

        const std::string serverName = ServerForm(local.name);
        const long found = serverIndex.Find(serverName);
        if (found >= 0) {
            FileEntry& server = state.serverFiles[static_cast<size_t>(found)];
            server.matched = 1;
            if (SkipUnknownServerTime(ctx, server.lastWriteTime, server.name, local))
                continue;
            const int64_t serverTime =
                ServerTimeToCompare(ctx, &connection, server.name, server.lastWriteTime, server.dateOnly,
                                    local.lastWriteTime, clockOffset, true, false);
            if (ShouldUpload(serverTime, local.lastWriteTime, clockOffset, settings.timeLag) &&
                !DropUploadIntoUnknownDir(ctx, server.name, local.name)) {
                PlanUpload(ctx, transfer, local.name, server.name);
            }
            continue;
        }
        if (settings.onlyBoth)
            continue;
        if (!PlanNewFile(ctx, lookups, transfer, local)) {
            strikes.Apply(state);
            return 0;
        }
    }
    strikes.Apply(state);
    return 1;
}

void PlanBothDirections(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset) {
    RunState& state = ctx.state;
    if (PlanServerFilesBothWays(ctx, transfer, clockOffset, &connection) == 0)
        return;
    if (state.cancelRequested.load())
        return;
    if (state.settings.onlyBoth)
        return;
    ServerLookups lookups(connection, &ctx);
    for (const FileEntry& local : state.localFiles) {
        if (local.matched)
            continue;
        if (state.cancelRequested.load())
            return;
        if (SkipUnsendableName(ctx, local))
            continue;
        if (!PlanNewFile(ctx, lookups, transfer, local))
            return;
    }
}

}  // namespace kestrum
