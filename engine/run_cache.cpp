#include "engine/run_cache.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cache/change_cache.h"
#include "cache/sync_state.h"
#include "engine/local_scan.h"
#include "engine/run_log.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

// Whether the profile's side file has a path in CACHE: a name that is a
// single file name, as for the cache file, but of any length.
bool HasStateFile(const RunSettings& settings) {
    const std::string& name = settings.profileName;
    return !settings.programDir.empty() && !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace

std::string RunCachePlace(const RunSettings& settings) {
    // A direct connection takes its port from the host text or the default
    // (the stored port is the proxy's); through the proxy the stored port
    // stands when the host text carries none. SFTP takes it from the host text or 22.
    const uint16_t port = settings.accessType == 3 && settings.security != kSecuritySftp ? settings.port : 0;
    return CachePlace(settings.security, settings.host, port, settings.user, settings.remoteDir);
}

void ReadRunCacheState(RunContext& ctx) {
    const RunSettings& settings = ctx.state.settings;
    CacheState& cacheState = ctx.state.results.cacheState;
    cacheState = CacheState();
    if (!HasStateFile(settings))
        return;
    ReadCacheState(CacheStatePath(settings.programDir, settings.profileName), cacheState);
    // Records of another place describe other server files.
    if (cacheState.place != RunCachePlace(settings))
        cacheState.records.clear();
}

int LoadChangeCache(RunContext& ctx) {
    const RunSettings& settings = ctx.state.settings;
    ctx.state.results.cacheFiles.clear();
    if (settings.programDir.empty() || !IsCacheableProfileName(settings.profileName))
        return 0;
    if (ReadChangeCacheFile(CacheFilePath(settings.programDir, settings.profileName), settings.profileName,
                            ctx.state.results.cacheFiles) == 0)
        return 0;
    // A snapshot taken for another place (or by a version that did not say
    // which) would hide from this place every file that did not change locally.
    const std::string place = RunCachePlace(settings);
    const std::string& recorded = ctx.state.results.cacheState.place;
    if (recorded == place)
        return 1;
    ctx.state.results.cacheFiles.clear();
    if (recorded.empty()) {
        ctx.log.AppendLogLine(LoadString(msg::kCacheNoPlaceRecorded));
    } else {
        ctx.log.AppendLogLine(
            FormatString(msg::kCacheMadeForOtherPlace, {PrintableName(recorded), PrintableName(place)}));
    }
    return 0;
}

void SnapshotLocalTree(RunContext& ctx, const std::string& localDir) {
    const RunSettings& settings = ctx.state.settings;
    LocalScanOptions options;
    options.subdirs = settings.subdirs != 0;
    options.excludedExtensions = &settings.excludedExtensions;
    // A home directory that cannot be listed gives an empty snapshot.
    ScanLocalTree(ctx.fs, localDir, options, ctx.state.results.cacheFiles, nullptr, nullptr);
}

int SaveChangeCache(RunContext& ctx) {
    RunState& state = ctx.state;
    std::unordered_map<std::string, int64_t> acted = std::move(state.results.actedLocalTimes);
    state.results.actedLocalTimes.clear();
    // Files this run did not carry out stay "changed" for the next run.
    for (const std::string& name : state.results.unsyncedLocalFiles)
        acted.erase(name);
    state.results.unsyncedLocalFiles.clear();

    std::vector<std::pair<std::string, SyncRecord>> syncUpdates = std::move(state.results.syncUpdates);
    state.results.syncUpdates.clear();

    // A previous snapshot made for another place is not carried over: only
    // the files this run acted on are recorded.
    const std::string place = RunCachePlace(state.settings);
    const bool samePlace = state.results.cacheState.place == place;
    FileList previous;
    if (samePlace && IsCacheableProfileName(state.settings.profileName) && !state.settings.programDir.empty()) {
        ReadChangeCacheFile(CacheFilePath(state.settings.programDir, state.settings.profileName),
                            state.settings.profileName, previous);
    }
    std::unordered_map<std::string, int64_t> recorded;
    recorded.reserve(previous.size());
    for (const FileEntry& e : previous)
        recorded.emplace(e.name, e.lastWriteTime);

    // A file the run acted on is recorded with the time it acted on, and only
    // while it still has that time: an edit made meanwhile stays a change. Any
    // other file keeps the record it had (none when it had none), so a run
    // that did not look at it, a download-only run for one, never hides an
    // earlier local edit.
    state.results.cacheFiles.clear();
    SnapshotLocalTree(ctx, state.settings.localDir);
    std::unordered_set<std::string> present;
    present.reserve(state.results.cacheFiles.size());
    for (const FileEntry& e : state.results.cacheFiles)
        present.insert(e.name);
    std::erase_if(state.results.cacheFiles, [&](FileEntry& e) {
        if (const auto it = acted.find(e.name); it != acted.end())
            return it->second != e.lastWriteTime;
        const auto it = recorded.find(e.name);
        if (it == recorded.end())
            return true;
        e.lastWriteTime = it->second;
        return false;
    });
    const int result =
        WriteChangeCacheFile(state.settings.programDir, state.settings.profileName, state.results.cacheFiles);
    state.results.cacheFiles.clear();

    // The side file vouches for the cache file beside it: it names this place
    // only when that file was just written, or was already this place's (or
    // the profile can have none).
    CacheState next;
    next.place = place;
    next.records = std::move(state.results.cacheState.records);
    state.results.cacheState.records.clear();
    for (auto& [name, record] : syncUpdates)
        next.records.insert_or_assign(std::move(name), record);
    std::erase_if(next.records, [&](const auto& item) { return !present.contains(item.first); });
    // What the results keep is what the file now says.
    if (HasStateFile(state.settings) &&
        (result == 1 || samePlace || !IsCacheableProfileName(state.settings.profileName))) {
        if (WriteCacheState(state.settings.programDir, state.settings.profileName, next)) {
            state.results.cacheState = std::move(next);
        } else {
            // Records this run made stale are worse than none.
            unlink(CacheStatePath(state.settings.programDir, state.settings.profileName).c_str());
            state.results.cacheState = CacheState();
        }
    }
    return result;
}

int DetectLocalChanges(RunContext& ctx) {
    RunState& state = ctx.state;
    // Names as they are: on this system names that differ in letter case are different files.
    std::unordered_map<std::string, const FileEntry*> index;
    index.reserve(state.results.cacheFiles.size());
    for (const FileEntry& cached : state.results.cacheFiles)
        index.try_emplace(cached.name, &cached);

    // A record more than a day ahead of the clock (written under a wrong
    // clock, or edited) would hide every edit until then: it is not believed.
    const int64_t latestBelieved = static_cast<int64_t>(std::time(nullptr)) + 86400;
    FileList kept;
    for (const FileEntry& local : state.results.localFiles) {
        const auto found = index.find(local.name);
        if (found == index.end() || found->second->lastWriteTime > latestBelieved ||
            local.lastWriteTime > found->second->lastWriteTime)
            kept.push_back(FileEntry{local.name, local.lastWriteTime});
    }
    state.results.localFiles = std::move(kept);
    return state.results.localFiles.empty() ? 0 : 1;
}

namespace {

int64_t Coarsened(int64_t time, int precision) {
    const int64_t unit = precision >= 2 ? 86400 : precision == 1 ? 60 : 1;
    return time >= 0 ? time / unit : -((-time + unit - 1) / unit);
}

}  // namespace

SyncProof ProveBySyncState(const RunContext& ctx, const std::string& localName, int64_t localTime, int64_t serverTime,
                           int64_t serverSize, TimePrecision serverPrecision) {
    const auto& records = ctx.state.results.cacheState.records;
    const auto found = records.find(localName);
    if (found == records.end() || serverTime == kUnknownServerTime)
        return SyncProof::Nothing;
    const SyncRecord& record = found->second;
    // Times compared as finely as the coarser of the two listings gives them.
    const int precision = std::max(record.precision, static_cast<int>(serverPrecision));
    const bool serverSame = Coarsened(record.serverTime, precision) == Coarsened(serverTime, precision) &&
                            (record.serverSize < 0 || serverSize < 0 || record.serverSize == serverSize);
    const bool localSame = record.localTime == localTime;
    if (serverSame)
        return localSame ? SyncProof::InStep : SyncProof::LocalChanged;
    return localSame ? SyncProof::ServerChanged : SyncProof::BothChanged;
}

SyncRecord MakeSyncRecord(bool upload, int64_t localTime, int64_t localSize, const FtpEntry& server) {
    SyncRecord record;
    record.upload = upload;
    record.localTime = localTime;
    record.localSize = localSize;
    record.serverTime = server.lastWriteTime;
    record.serverSize = server.size;
    record.precision = static_cast<int>(server.precision);
    return record;
}

}  // namespace kestrum
