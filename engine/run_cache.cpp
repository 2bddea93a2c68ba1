#include "engine/run_cache.h"

#include <ctime>
#include <unordered_map>
#include <vector>

#include "cache/change_cache.h"
#include "engine/local_scan.h"

namespace kestrum {

int LoadChangeCache(RunContext& ctx) {
    const RunSettings& settings = ctx.state.settings;
    ctx.state.results.cacheFiles.clear();
    if (settings.programDir.empty() || !IsCacheableProfileName(settings.profileName))
        return 0;
    return ReadChangeCacheFile(CacheFilePath(settings.programDir, settings.profileName), settings.profileName,
                               ctx.state.results.cacheFiles);
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

    FileList previous;
    if (IsCacheableProfileName(state.settings.profileName) && !state.settings.programDir.empty()) {
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

}  // namespace kestrum
