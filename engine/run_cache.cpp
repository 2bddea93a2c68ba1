#include "engine/run_cache.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cache/change_cache.h"
#include "engine/local_scan.h"
#include "res/codepage.h"

namespace kestrum {

int LoadChangeCache(RunContext& ctx) {
    const RunSettings& settings = ctx.state.settings;
    ctx.state.cacheFiles.clear();
    if (settings.programDir.empty() || !IsCacheableProfileName(settings.profileName))
        return 0;
    return ReadChangeCacheFile(CacheFilePath(settings.programDir, settings.profileName), settings.profileName,
                               ctx.state.cacheFiles);
}

void SnapshotLocalTree(RunContext& ctx, const std::string& localDir) {
    const RunSettings& settings = ctx.state.settings;
    LocalScanOptions options;
    options.subdirs = settings.subdirs != 0;
    options.excludedExtensions = &settings.excludedExtensions;
    // A home directory that cannot be listed gives an empty snapshot.
    ScanLocalTree(ctx.fs, localDir, options, ctx.state.cacheFiles, nullptr, nullptr);
}

int SaveChangeCache(RunContext& ctx) {
    RunState& state = ctx.state;
    state.cacheFiles.clear();
    const std::vector<std::string> unsynced = std::move(state.unsyncedLocalFiles);
    state.unsyncedLocalFiles.clear();
    SnapshotLocalTree(ctx, state.settings.localDir);
    if (!unsynced.empty()) {
        // Files this run did not carry out stay "changed" for the next run.
        const std::unordered_set<std::string> left(unsynced.begin(), unsynced.end());
        std::erase_if(state.cacheFiles, [&](const FileEntry& e) { return left.count(e.name) != 0; });
    }
    if (state.reachedEnd.load() == 0 || state.runFailed.load() != 0) {
        // A run that was cancelled or failed may not have carried out its
        // changes: the file is rewritten all the same, but no record may claim
        // more than the previous snapshot did. A file unknown to it is left
        // out and a newer one keeps its previous time, so both still count as
        // changed next time.
        FileList previous;
        if (IsCacheableProfileName(state.settings.profileName) && !state.settings.programDir.empty()) {
            ReadChangeCacheFile(CacheFilePath(state.settings.programDir, state.settings.profileName),
                                state.settings.profileName, previous);
        }
        std::unordered_map<std::string, int64_t> reference;
        reference.reserve(previous.size());
        for (const FileEntry& e : previous)
            reference.emplace(FoldKey(e.name), e.lastWriteTime);
        std::erase_if(state.cacheFiles, [&](FileEntry& e) {
            auto it = reference.find(FoldKey(e.name));
            if (it == reference.end())
                return true;
            e.lastWriteTime = std::min(e.lastWriteTime, it->second);
            return false;
        });
    }
    const int result = WriteChangeCacheFile(state.settings.programDir, state.settings.profileName, state.cacheFiles);
    state.cacheFiles.clear();
    return result;
}

int DetectLocalChanges(RunContext& ctx) {
    RunState& state = ctx.state;
    // The first cache entry of each folded name, as a linear search from the head would find it.
    std::unordered_map<std::string, const FileEntry*> index;
    index.reserve(state.cacheFiles.size());
    for (const FileEntry& cached : state.cacheFiles)
        index.try_emplace(FoldKey(cached.name), &cached);

    FileList kept;
    for (const FileEntry& local : state.localFiles) {
        const auto found = index.find(FoldKey(local.name));
        if (found == index.end() || local.lastWriteTime > found->second->lastWriteTime)
            kept.push_back(FileEntry{local.name, local.lastWriteTime});
    }
    state.localFiles = std::move(kept);
    return state.localFiles.empty() ? 0 : 1;
}

}  // namespace kestrum
