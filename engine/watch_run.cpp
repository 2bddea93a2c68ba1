#include "engine/watch_run.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "engine/local_scan.h"
#include "engine/planning_rules.h"
#include "engine/run_cache.h"
#include "engine/run_log.h"
#include "engine/run_owner.h"
#include "engine/server_lookups.h"
#include "engine/sync_phases.h"
#include "engine/sync_run.h"
#include "engine/user_port.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "localfs/local_watcher.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

using Clock = std::chrono::steady_clock;

void Log(RunContext& ctx, int id, std::initializer_list<std::string_view> args = {}) {
    ctx.log.AppendLogLine(FormatString(id, args));
}

bool AtOrBelow(const std::string& path, const std::string& dir) {
    return path == dir ||
           (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/');
}

// What is still to be sent: relative names, "/" separated. A removal followed
// by a change of the same name is a change; a change followed by a removal of
// the name or a directory above it is a removal.
struct Pending {
    std::set<std::string> changed;
    std::set<std::string> removed;
    // Of changed, those whose contents were written (not only stamped).
    std::unordered_set<std::string> written;

    bool Empty() const { return changed.empty() && removed.empty(); }
    size_t Size() const { return changed.size() + removed.size(); }
    void Clear() {
        changed.clear();
        removed.clear();
        written.clear();
    }
    // mirrored: the removal is to be carried out on the server too.
    void Remove(const std::string& path, bool mirrored) {
        std::erase_if(changed, [&](const std::string& name) { return AtOrBelow(name, path); });
        std::erase_if(written, [&](const std::string& name) { return AtOrBelow(name, path); });
        if (mirrored)
            removed.insert(path);
    }
    void Change(const std::string& path, bool contents) {
        changed.insert(path);
        removed.erase(path);
        if (contents)
            written.insert(path);
    }
};

// What the watch keeps between batches.
struct Watch {
    std::unique_ptr<FtpConnection> connection;
    std::optional<int64_t> clockOffset;
    Clock::time_point lastUsed;
    // While the server cannot be reached: when to try again, and the wait after that.
    Clock::time_point retryAt;
    int retrySeconds = 1;
    Clock::time_point serverCheckDue = Clock::time_point::max();
    Pending pending;
    // Files the last server check downloaded: their arrival is not an edit.
    std::unordered_set<std::string> downloaded;
    // Lines said once per watch: a directory that cannot be watched.
    std::unordered_set<std::string> reported;
};

// How a step of the watch went.
enum class Step {
    Done,
    Ended,   // the watch ended inside it (the completion was posted)
    Broken,  // the connection broke: the pending changes wait for the next try
};

// The time of day, to the second, that batch lines and the status line show.
std::string TimeOfDay() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

// A home directory that cannot be listed stops the watch as it stops a run.
void EndAtMissingHome(RunContext& ctx, FtpConnection* connection) {
    Log(ctx, msg::kLocalDirNotFound);
    EndRunAfterFailure(ctx, connection, nullptr, msg::kStoppedByErrorAbove, "");
}

void ShowStatus(RunContext& ctx, int id, std::initializer_list<std::string_view> args = {}) {
    ctx.log.Port().ShowWatchStatus(FormatString(id, args));
}

// The local tree with the run's scan rules; the count of its files is the
// deletion limit's base. nullopt when the home directory cannot be listed.
std::optional<FileList> ScanTree(RunContext& ctx, std::vector<std::string>* unlisted) {
    const RunSettings& settings = ctx.state.settings;
    FileList files;
    LocalScanOptions options;
    options.subdirs = settings.subdirs != 0;
    options.excludedExtensions = &settings.excludedExtensions;
    if (ScanLocalTree(ctx.fs, settings.localDir, options, files, nullptr, unlisted) < 0)
        return std::nullopt;
    ctx.state.results.deletionBase = static_cast<long>(files.size());
    return files;
}

// Compares the tree with the change cache's last snapshot: what changed
// since (a run or a batch recorded it) is pending; what the snapshot holds and
// the tree no longer does is a removal. False when the home directory cannot
// be listed (gone, moved, unmounted): then nothing is taken for removed.
bool CatchUp(RunContext& ctx, Pending& pending) {
    std::vector<std::string> unlisted;
    const std::optional<FileList> scanned = ScanTree(ctx, &unlisted);
    if (!scanned)
        return false;
    const FileList& files = *scanned;
    if (LoadChangeCache(ctx) == 0)
        return true;
    std::unordered_map<std::string, int64_t> recorded;
    for (const FileEntry& e : ctx.state.results.cacheFiles)
        recorded.emplace(e.name, e.lastWriteTime);
    ctx.state.results.cacheFiles.clear();
    for (const FileEntry& file : files) {
        const auto found = recorded.find(file.name);
        if (found == recorded.end() || file.lastWriteTime > found->second)
            pending.Change(file.name, false);
        if (found != recorded.end())
            recorded.erase(found);
    }
    for (const auto& [name, time] : recorded) {
        const bool below =
            std::any_of(unlisted.begin(), unlisted.end(), [&](const std::string& dir) { return AtOrBelow(name, dir); });
        if (!below)
            pending.Remove(name, ctx.state.settings.mirrorFiles != 0);
    }
    return true;
}

// Whether the scan would see a name: no component hidden, and in a
// subdirectory only with subdirectories on.
bool Eligible(const RunSettings& settings, const std::string& name) {
    if (name.empty() || (!settings.subdirs && name.find('/') != std::string::npos))
        return false;
    for (size_t start = 0;;) {
        if (name[start] == '.')
            return false;
        const size_t slash = name.find('/', start);
        if (slash == std::string::npos || slash + 1 == name.size())
            return true;
        start = slash + 1;
    }
}

bool ExcludedFile(const RunSettings& settings, const std::string& name) {
    return ExtensionListed(settings.excludedExtensions, UpperAscii(ExtensionOf(name)));
}

// The local file a changed name stands for: an eligible regular file (or a
// link to one) whose extension is not excluded.
std::optional<FileEntry> LocalFile(RunContext& ctx, const std::string& name) {
    const RunSettings& settings = ctx.state.settings;
    if (!Eligible(settings, name) || ExcludedFile(settings, name))
        return std::nullopt;
    const std::optional<LocalStatus> status = ctx.fs.GetStatus(JoinLocalPath(settings.localDir, name));
    if (!status || status->isDirectory)
        return std::nullopt;
    return FileEntry{name, status->lastWriteTime};
}

// A removed name that is still gone locally (a removal followed by a new file
// of the name is a change): its server file, or the server files below it
// that have no local file, become unmatched server files; with directories
// mirrored, a directory gone locally becomes one to delete.
void FindServerRemovals(RunContext& ctx, FtpConnection& connection, const std::set<std::string>& removed) {
    RunState& state = ctx.state;
    ServerLookups lookups(connection, &ctx);
    for (const std::string& name : removed) {
        // A name the server could not be sent ("\\" would be a separator there) is left alone.
        if (!Eligible(state.settings, name) || name.find('\\') != std::string::npos || PrintableName(name) != name ||
            LocalFile(ctx, name))
            continue;
        const FtpListing found = lookups.Lookup(name);
        if (found.status != ListStatus::Ok || found.entries.empty())
            continue;
        const FtpEntry& entry = found.entries.front();
        if (entry.hidden)
            continue;
        if (!entry.isDirectory) {
            if (ExcludedFile(state.settings, name))
                continue;
            FileEntry record;
            record.name = name;
            state.results.serverFiles.push_back(std::move(record));
            continue;
        }
        const size_t first = state.results.serverFiles.size();
        static_cast<void>(ScanServerTree(ctx, connection, name));
        for (size_t i = first; i < state.results.serverFiles.size(); ++i) {
            FileEntry& server = state.results.serverFiles[i];
            server.matched = LocalFile(ctx, server.name) ? 1 : 0;
        }
        if (state.settings.mirrorDirs && !ctx.fs.GetStatus(JoinLocalPath(state.settings.localDir, name))) {
            state.results.serverDirectories.push_back(name);
            state.results.serverDirectoriesAsListed.push_back(name);
        }
    }
}

// Logs in (again), once at first with the clock probe. Ended when the watch
// ended there.
Step Connect(RunContext& ctx, Watch& watch) {
    if (watch.connection)
        return Step::Done;
    if (!ConnectToServerHome(ctx, watch.connection, nullptr, true))
        return Step::Ended;
    if (!watch.clockOffset) {
        watch.clockOffset = MeasureServerClock(ctx, *watch.connection, nullptr);
        if (!watch.clockOffset)
            return Step::Ended;
    }
    // Each batch looks the server up afresh.
    ctx.state.results.probedHomeListing.reset();
    watch.lastUsed = Clock::now();
    return Step::Done;
}

// The lists one batch fills, emptied before it; the sync records and the
// cache's lists stay for the change cache written after it.
void ClearBatchLists(RunState& state) {
    RunResults& r = state.results;
    r.localFiles.clear();
    r.serverFiles.clear();
    r.serverDirectories.clear();
    r.serverDirectoriesAsListed.clear();
    r.unlistedLocalDirs.clear();
    r.unknownServerDirs.clear();
    r.scannedServerDirs.clear();
    r.probedHomeListing.reset();
}

// Sends the pending changes: the changed files through the upload planning
// and the transfer, then (with mirroring) the removals through the deletions
// and their limit.
Step SendPending(RunContext& ctx, Watch& watch) {
    RunState& state = ctx.state;
    if (const Step connected = Connect(ctx, watch); connected != Step::Done)
        return connected;
    ctx.log.AppendLogLine("");
    Log(ctx, msg::kWatchBatch,
        {TimeOfDay(), std::to_string(watch.pending.changed.size()), std::to_string(watch.pending.removed.size())});
    ClearBatchLists(state);
    for (const std::string& name : watch.pending.changed) {
        if (std::optional<FileEntry> file = LocalFile(ctx, name))
            state.results.localFiles.push_back(std::move(*file));
    }
    state.results.localWrites = watch.pending.written;
    FileList transfer;
    if (!state.results.localFiles.empty()) {
        if (PlanUploads(ctx, *watch.connection, transfer, *watch.clockOffset) == PhaseOutcome::RunEnded)
            return Step::Ended;
        if (!transfer.empty() &&
            TransferFiles(ctx, *watch.connection, transfer, *watch.clockOffset) == PhaseOutcome::RunEnded)
            return Step::Ended;
    }
    if (state.settings.mirrorFiles && !watch.pending.removed.empty() && !state.flags.cancelRequested) {
        FindServerRemovals(ctx, *watch.connection, watch.pending.removed);
        DeleteMirroredServerFiles(ctx, *watch.connection);
    }
    const size_t sent = watch.pending.Size();
    watch.pending.Clear();
    watch.downloaded.clear();
    watch.lastUsed = Clock::now();
    if (const int failed = state.flags.failedItems.load(); failed > 0) {
        ShowStatus(ctx, msg::kWatchStatusFailed, {TimeOfDay(), std::to_string(failed)});
    } else {
        ShowStatus(ctx, msg::kWatchStatusSent, {TimeOfDay(), std::to_string(sent)});
    }
    return Step::Done;
}

// Both directions on an interval: the whole tree compared with the server's,
// as a run does, over the kept connection.
Step CheckServer(RunContext& ctx, Watch& watch) {
    if (const Step connected = Connect(ctx, watch); connected != Step::Done)
        return connected;
    ctx.log.AppendLogLine("");
    Log(ctx, msg::kWatchServerCheck);
    ClearBatchLists(ctx.state);
    std::optional<FileList> files = ScanTree(ctx, &ctx.state.results.unlistedLocalDirs);
    if (!files) {
        EndAtMissingHome(ctx, watch.connection.get());
        return Step::Ended;
    }
    ctx.state.results.localFiles = std::move(*files);
    FileList transfer;
    if (SynchroniseOnConnection(ctx, *watch.connection, transfer, *watch.clockOffset) != PhaseOutcome::Done)
        return Step::Ended;
    for (const auto& [name, record] : ctx.state.results.syncUpdates) {
        if (!record.upload)
            watch.downloaded.insert(name);
    }
    watch.lastUsed = Clock::now();
    return Step::Done;
}

// After each step: the change cache and sync records written, the counter
// and the failures of the step left behind.
void EndStep(RunContext& ctx) {
    static_cast<void>(SaveChangeCache(ctx));
    ctx.log.ClearCounter();
    ctx.log.SetProgress(0);
    ctx.state.flags.failedItems = 0;
}

// Runs a step that talks to the server; a broken connection is closed and
// the next try scheduled, the pending changes kept. A batch (sends or
// compares files) ends with EndStep however it went.
template <typename F>
Step Guarded(RunContext& ctx, Watch& watch, bool batch, F step) {
    RunState& state = ctx.state;
    try {
        const Step done = step();
        if (done == Step::Done) {
            watch.retrySeconds = 1;
            if (batch)
                EndStep(ctx);
        }
        return done;
    } catch (const FtpError& e) {
        if (state.flags.cancelRequested) {
            AbortRun(ctx, watch.connection.get(), nullptr, msg::kRunCancelled, AbortMode::CloseConnection);
            return Step::Ended;
        }
        watch.connection.reset();
        if (batch)
            EndStep(ctx);
        if (watch.pending.Empty()) {
            Log(ctx, msg::kWatchIdleConnectionLost);
        } else {
            Log(ctx, msg::kWatchConnectionLost,
                {std::to_string(watch.retrySeconds), std::to_string(watch.pending.Size())});
            ShowStatus(ctx, msg::kWatchStatusRetrying, {std::to_string(watch.pending.Size())});
        }
        ctx.log.AppendLogLine("\t" + PrintableName(e.what()));
        watch.retryAt = Clock::now() + std::chrono::seconds(watch.retrySeconds);
        watch.retrySeconds = std::min(watch.retrySeconds * 2, kWatchMaxRetrySeconds);
        return Step::Broken;
    } catch (const std::exception& e) {
        EndRunAfterFailure(ctx, watch.connection.get(), nullptr, msg::kUnexpectedError, e.what());
        return Step::Ended;
    }
}

// False when the home directory is gone: the watch has ended.
bool Merge(RunContext& ctx, Watch& watch, const LocalWatcher::Changes& changes) {
    if (changes.overflow) {
        Log(ctx, msg::kWatchRescan);
        if (!CatchUp(ctx, watch.pending)) {
            EndAtMissingHome(ctx, watch.connection.get());
            return false;
        }
    }
    for (const std::string& name : changes.removed)
        watch.pending.Remove(name, ctx.state.settings.mirrorFiles != 0);
    for (const std::string& name : changes.changed) {
        // What a download of the watch wrote is no edit of the user's.
        const bool ours = watch.downloaded.erase(name) != 0;
        watch.pending.Change(name, !ours && !std::binary_search(changes.touched.begin(), changes.touched.end(), name));
    }
    if (!changes.unwatched.empty() && watch.reported.insert(changes.unwatchedReason).second)
        ctx.log.AppendLogLine(changes.unwatchedReason);
    return true;
}

// The clean end on the cancel flag.
void EndWatch(RunContext& ctx, Watch& watch) {
    if (watch.connection)
        watch.connection->Close();
    Log(ctx, msg::kWatchStopped);
    ctx.log.Port().ShowWatchStatus("");
    ctx.state.flags.reachedEnd = 1;
    PostCompletion(ctx);
}

}  // namespace

bool WatchMayFollow(const RunState& state, RunOutcome outcome) {
    return state.results.settingsLoaded && state.settings.upload && outcome != RunOutcome::NotTrusted &&
           outcome != RunOutcome::StoppedEarly;
}

void ExecuteWatch(RunContext& ctx) {
    RunState& state = ctx.state;
    const RunSettings& settings = state.settings;
    // The settings stay as the run before loaded them: no second password
    // prompt. Its clock measure stands too.
    const std::optional<int64_t> measured = state.results.serverClockOffset;
    state.flags.ClearForRun();
    state.results = RunResults();
    state.results.settingsLoaded = true;
    state.results.watching = true;
    ReadRunCacheState(ctx);
    ctx.log.AppendLogLine("");
    ctx.log.AppendLogLine(FormatString(msg::kWatchStarting, {settings.profileName}) + "\t" + CurrentTimeText());
    if (!settings.upload)
        return StopWithMessage(ctx, msg::kWatchNeedsUpload, true);

    LocalWatcher watcher(settings.localDir, kWatchQuietTime);
    if (std::string error; !watcher.Start(error)) {
        Log(ctx, msg::kWatchCannotStart, {PrintableName(settings.localDir), PrintableName(error)});
        return EndRunAfterFailure(ctx, nullptr, nullptr, msg::kStoppedByErrorAbove, "");
    }
    Log(ctx, msg::kWatchReady, {PrintableName(settings.localDir)});
    ShowStatus(ctx, msg::kWatchStatusIdle);
    Watch watch;
    watch.clockOffset = measured;
    // Edits made while the run before went (after its scan) are in no batch.
    if (!CatchUp(ctx, watch.pending))
        return EndAtMissingHome(ctx, nullptr);
    if (!watch.pending.changed.empty())
        Log(ctx, msg::kWatchCatchUp, {std::to_string(watch.pending.changed.size())});
    const int checkMinutes = settings.download ? settings.watchServerInterval : 0;
    if (checkMinutes > 0)
        watch.serverCheckDue = Clock::now() + std::chrono::minutes(checkMinutes);
    auto cancelled = [&] { return state.flags.cancelRequested != 0; };

    while (!cancelled()) {
        const Clock::time_point now = Clock::now();
        if (!watch.pending.Empty() && now >= watch.retryAt) {
            if (Guarded(ctx, watch, true, [&] { return SendPending(ctx, watch); }) == Step::Ended)
                return;
            continue;
        }
        if (watch.pending.Empty() && now >= watch.serverCheckDue && now >= watch.retryAt) {
            if (Guarded(ctx, watch, true, [&] { return CheckServer(ctx, watch); }) == Step::Ended)
                return;
            watch.serverCheckDue = Clock::now() + std::chrono::minutes(checkMinutes);
            continue;
        }
        if (watch.connection && now - watch.lastUsed >= kWatchKeepAlive) {
            const Step kept = Guarded(ctx, watch, false, [&] {
                if (!watch.connection->KeepAlive()) {
                    watch.connection.reset();
                    Log(ctx, msg::kWatchIdleConnectionLost);
                }
                watch.lastUsed = Clock::now();
                return Step::Done;
            });
            if (kept == Step::Ended)
                return;
            continue;
        }
        // Asleep until something changes, the connection wants a NOOP, or a
        // try or a server check is due.
        Clock::time_point wake = watch.serverCheckDue;
        if (watch.connection)
            wake = std::min(wake, watch.lastUsed + kWatchKeepAlive);
        if (!watch.pending.Empty())
            wake = std::min(wake, watch.retryAt);
        const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(std::clamp(
            wake - now, Clock::duration(std::chrono::milliseconds(1)), Clock::duration(std::chrono::hours(1))));
        const std::optional<LocalWatcher::Changes> changes = watcher.Next(timeout, cancelled);
        if (changes && !Merge(ctx, watch, *changes))
            return;
    }
    EndWatch(ctx, watch);
}

}  // namespace kestrum
