#pragma once
// The run state shared by the owner (see run_owner.h) and the worker, and the
// context every phase of a run is given.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cache/sync_state.h"
#include "engine/run_settings.h"
#include "ftp/ftp_client.h"
#include "localfs/file_entry.h"

namespace kestrum {

class ExtraConnections;
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

// How a phase of a run or an alignment left it; each phase says which of
// these it returns.
enum class [[nodiscard]] PhaseOutcome{
    Done,           // the phase did its work: the run goes on
    Cancelled,      // stopped at the cancel flag; the driver's next checkpoint ends the run
    NothingListed,  // the server scan: the directory's listing failed or held no entry
    RunEnded,       // the run ended inside the phase: the abort path or the completion routine has run
};

// What a preview tells about a file.
enum class Decision {
    Upload,           // the local copy is newer
    Download,         // the server copy is newer
    UploadMissing,    // missing on the server
    DownloadMissing,  // missing locally
    InStep,           // within the time lag
    OtherWayOnly,     // newer on the side this run does not copy from
    Excluded,         // an excluded extension
    Delete,           // on the server only, with mirroring
    Count
};

// What the owner sets before a run and the run only reads. Those the window
// may change while a run goes (the cache item, a close request) are atomic;
// the others are written only while no worker exists.
struct RunOptions {
    // A preview: plans as a run would, logs each decision with its reason and
    // changes nothing on either side; the change cache is neither used nor written.
    bool dryRun = false;
    // Passive or active mode for this run only (--passive, --active), over the profile's.
    std::optional<bool> passiveOverride;
    // Connections for the transfer phase for this run (--parallel); 0: the profile's.
    int parallelOverride = 0;
    // The mirroring deletions' guard for this run: a limit that replaces the
    // profile's (-1: the profile's), deletions confirmed beforehand (--yes),
    // and whether the user may be asked (the window) or not (the command line).
    int maxDeleteOverride = -1;
    bool deletesConfirmed = false;
    bool mayAskBeforeDeleting = true;
    // A TLS server's certificate that nothing vouches for: the window asks
    // whether to trust it; the command line refuses (`kestrum trust` pins it).
    bool mayAskToTrust = true;
    // Where every connection of the run writes its commands and replies (--trace); none: not traced.
    std::shared_ptr<ProtocolTrace> trace;
    // The window asks to close once the run has completed.
    std::atomic<int> quitAfterRun{0};
    // The window's cache item 32781 (or --cache / --no-cache).
    std::atomic<int> cacheSwitch{1};
};

// The flags the owner's thread, the worker and the transfer threads read
// while a run goes. BeginRun clears them (but running) for each run.
struct RunFlags {
    std::atomic<int> cancelRequested{0};
    // Set by SetRunningState: a run or alignment is under way.
    std::atomic<int> running{0};
    // The error flag.
    std::atomic<int> runFailed{0};
    // Set when the run (or alignment) reached its end; a run that ended early
    // because nothing changed counts as reaching its end. Read by the command line.
    std::atomic<int> reachedEnd{0};
    // Items the run could not carry out although it reached them: a copy, a
    // time stamp, a listing, a lookup, a directory, a deletion.
    std::atomic<int> failedItems{0};
    // The run stopped at a certificate it could not trust, or at a changed key.
    std::atomic<int> certificateRefused{0};

    // The start of a run or an alignment: every flag but running cleared.
    void ClearForRun();
};

// What one run or alignment finds and decides. Replaced whole by BeginRun, so
// nothing carries over from an earlier run; kept after the completion (the
// completion routine itself empties the server lists and the change-cache
// lists). Touched by the worker only while a run goes.
struct RunResults {
    FileList serverFiles;
    FileList localFiles;
    // The change cache's snapshot while it is read or written.
    FileList cacheFiles;
    DirectoryList serverDirectories;
    // The entries of serverDirectories as the server listed them (same order and
    // length): the name a removal is sent under on a case-sensitive server.
    DirectoryList serverDirectoriesAsListed;
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
    // The clock probe's file when the server refused to delete it: the scan of
    // the home directory leaves it out.
    std::string probeLeftOnServer;
    // Local files (relative names as the local scan formed them) that this run
    // should have uploaded but did not (copy failed, server directory missing or
    // unknown): left out of the change-cache snapshot at completion, so the next
    // cached run considers them again. Emptied by the completion.
    std::vector<std::string> unsyncedLocalFiles;
    // Local files (relative names as scanned) that this run brought in step
    // with the server for the upload direction, with the time the file had
    // when the run acted on it: compared and found nothing newer locally, or
    // uploaded (and then stamped). Only these advance their record in the
    // change-cache snapshot. Emptied by the completion.
    std::unordered_map<std::string, int64_t> actedLocalTimes;
    // The change cache's side file as read for this run once its settings
    // loaded: the place it names ("" when it names none or is missing), and
    // its sync records only when that is this run's place.
    CacheState cacheState;
    // The sync records this run's copies produced, in the order made (a later
    // one for the same name wins); the completion merges them into the side file.
    std::vector<std::pair<std::string, SyncRecord>> syncUpdates;
    // The server's MDTM clock minus the local clock, measured by the clock probe
    // when the server lists with LIST and answers MDTM; empty otherwise, and then
    // no exact time is asked for (LIST and MDTM clocks may differ by a time zone).
    std::optional<int64_t> mdtmClockOffset;
    // The server's clock minus the local clock, once the clock probe ran.
    std::optional<int64_t> serverClockOffset;
    // A preview's decisions, counted by kind.
    std::array<long, static_cast<size_t>(Decision::Count)> previewCounts{};
    // The parameters the run's first connection logged in with; the transfer
    // phase's extra connections log in with a copy.
    std::optional<FtpConnectParams> connectParams;
    // The server home's listing the clock probe made (its own file left out),
    // which serves as the planning's listing of the home.
    std::optional<FtpListing> probedHomeListing;
    // A watch's batches: the mirroring deletions take the automatic limit's
    // quarter of deletionBase files (the local tree's) and never ask.
    bool watching = false;
    long deletionBase = -1;
    // Local files a watch saw written since its batch before: a sync record
    // with the same local time (a second save within the same second) does
    // not make them in step.
    std::unordered_set<std::string> localWrites;
    // The profile's settings loaded completely: only then does the completion
    // write the change cache (a half-loaded profile may name another's local
    // directory, or none).
    bool settingsLoaded = false;
};

// What a run holds open while it goes. The temporary-file registry is declared
// before the extra connections so that, when the state dies, the connections'
// destructor joins their login threads before the registry and the flags
// (which those threads were given pointers to) are gone.
struct RunResources {
    // How the worker tells the owner's thread that the completion routine is due.
    CompletionSignal completion;
    // The temporary files of the run's downloads in progress.
    PartialDownloads partialDownloads;
    // Extra connections logging in ahead of the transfer phase, once planned.
    // Their login threads read flags.cancelRequested and partialDownloads: the
    // run drops them when it ends (RunOnConnection), and ~ExtraConnections
    // joins those threads.
    std::shared_ptr<ExtraConnections> extraConnections;
};

// The state of runs and alignments. The owner (RunOwner) joins its worker
// before the state dies, and the worker's run drops the extra connections,
// joining their login threads, before it ends: no thread outlives what it
// points into. Members are declared in the order that keeps this true when the
// state is destroyed with extra connections still held (live last).
struct RunState {
    // The profile in use. The owner sets profileName and programDir before a
    // run; BeginRun loads the rest from the profile store into the same object
    // and the run adjusts some of it (the port, the mirroring switches, the
    // cache switch, a pinned key). Not part of the results: it is not reset
    // between runs, so a load that stops part-way leaves the values of the
    // earlier run in the fields it did not reach.
    RunSettings settings;
    RunOptions options;
    RunFlags flags;
    RunResults results;
    RunResources live;
};

struct RunContext {
    RunState& state;
    RunLog& log;
    ProfileStore& store;
    FtpClientFactory& ftp;
    LocalFileSystem& fs;
};

}  // namespace kestrum
