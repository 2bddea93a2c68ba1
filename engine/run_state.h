#pragma once
// The run state shared by the owner (see run_owner.h) and the worker, and the
// context every phase of a run is given.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "engine/file_entry.h"
#include "engine/ftp_client.h"
#include "engine/run_settings.h"

namespace kestrum {

class FtpClientFactory;
class LocalFileSystem;
class ProfileStore;
class RunLog;

// How the worker tells the owner's thread that the completion routine is due
// (command 35000), and wakes it when the running state changes.
class CompletionSignal {
  public:
    void Post();
    void Wake();
    // Takes one posted completion, waiting up to timeout for one or for a
    // wake-up. True when one was taken.
    bool Take(std::chrono::milliseconds timeout);
    bool Pending() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int pending_ = 0;
    bool woken_ = false;
};

struct RunState {
    RunSettings settings;
    DirectoryList serverDirectories;
    std::atomic<int> quitAfterRun{0};
    std::atomic<int> runFailed{0};
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
    // Every server directory below the home that the last scan entered
    // (relative, server form, as listed), parents before their children: the
    // mirroring deletions remove nested directories deepest first.
    std::vector<std::string> scannedServerDirs;
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
    // Items the run could not carry out although it reached them: a copy, a
    // time stamp, a listing, a lookup, a directory, a deletion.
    std::atomic<int> failedItems{0};
    // Passive mode for the data connections (a command-line option; off as specified).
    bool passive = false;
    CompletionSignal completion;
    // The temporary files of the run's downloads in progress.
    PartialDownloads partialDownloads;
};

struct RunContext {
    RunState& state;
    RunLog& log;
    ProfileStore& store;
    FtpClientFactory& ftp;
    LocalFileSystem& fs;
};

}  // namespace kestrum
