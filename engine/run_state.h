#pragma once
// The run state shared by the owner (window or command line) and the worker,
// and the context every phase of a run is given.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/file_entry.h"
#include "engine/run_settings.h"

namespace kestrum {

class FtpClientFactory;
class LocalFileSystem;
class ProfileStore;
class RunLog;

struct RunState {
    RunSettings settings;
    DirectoryList serverDirectories;
    std::atomic<int> quitAfterRun{0};
    std::atomic<int> runFailed{0};
    std::thread worker;
    std::atomic<int> cancelRequested{0};
    std::atomic<int> running{0};
    FileList serverFiles;
    FileList localFiles;
    FileList cacheFiles;
    // Local subdirectories (relative, local form) that could not be listed by the
    // last scan: nothing below their server counterparts is deleted.
    std::vector<std::string> unlistedLocalDirs;
    // Server directories (relative, server form; "" for the home) whose listing
    // failed in the last server scan: their contents are unknown, so nothing is
    // uploaded into them as new and nothing below them is deleted.
    std::vector<std::string> unknownServerDirs;
    // The entries of serverDirectories as the server listed them (same order and
    // length): the name a removal is sent under on a case-sensitive server.
    DirectoryList serverDirectoriesAsListed;
    // Local files (relative names as the local scan formed them) that this run
    // should have uploaded but did not (copy failed, server directory missing or
    // unknown): left out of the change-cache snapshot at completion, so the next
    // cached run considers them again. Emptied by the completion.
    std::vector<std::string> unsyncedLocalFiles;
    // The window's cache item 32781 (or --cache / --no-cache).
    std::atomic<int> cacheSwitch{1};
    // Set when the run (or alignment) reached its end; a run that ended early
    // because nothing changed counts as reaching its end. Read by the command line.
    std::atomic<int> reachedEnd{0};
    // Passive mode for the data connections (a command-line option; off as specified).
    bool passive = false;
};

struct RunContext {
    RunState& state;
    RunLog& log;
    ProfileStore& store;
    FtpClientFactory& ftp;
    LocalFileSystem& fs;
};

}  // namespace kestrum
