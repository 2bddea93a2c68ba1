#pragma once
// A run context over a temporary program directory, for the change-cache tests.

#include <memory>
#include <string>

#include "engine/run_cache.h"
#include "engine/run_log.h"
#include "engine/run_state.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "profiles/profile_store.h"
#include "tests/support/ftp_server.h"
#include "tests/support/recording_port.h"

namespace kestrum::test {

struct CacheHarness {
    explicit CacheHarness(LocalFileSystem& localFs = PosixFileSystem()) : fs(localFs) {
        state.settings.profileName = "web";
        state.settings.programDir = dir.path();
        state.settings.localDir = dir / "local";
        // As a run whose side file named its place.
        state.results.cacheState.place = RunCachePlace(state.settings);
    }

    TempDir dir;
    RecordingPort port;
    RunLog log{port};
    ProfileStore store{dir / "Kestrum.conf"};
    std::unique_ptr<FtpClientFactory> ftp = MakeFtpFactory();
    LocalFileSystem& fs;
    RunState state;
    RunContext ctx{state, log, store, *ftp, fs};

    std::string cachePath(const std::string& profile) const { return dir.path() + "/CACHE/" + profile; }

    // As a run that found every local file in step: each acted on at its present time.
    void ActOnAll() {
        FileList saved = std::move(state.results.cacheFiles);
        state.results.cacheFiles.clear();
        SnapshotLocalTree(ctx, state.settings.localDir);
        for (const FileEntry& e : state.results.cacheFiles)
            state.results.actedLocalTimes[e.name] = e.lastWriteTime;
        state.results.cacheFiles = std::move(saved);
    }
};

}  // namespace kestrum::test
