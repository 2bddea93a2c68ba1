#pragma once
// The one owner of a run or an alignment: its state, log and context, the
// worker thread, the cancel command, the completion routine and the outcome.
// The window, the command line, the alignment and the tests all start, cancel
// and await runs through it. Its methods are called on the owner's thread;
// the worker reaches it only through the run state's completion signal.

#include <chrono>
#include <functional>
#include <thread>

#include "engine/run_log.h"
#include "engine/run_state.h"
#include "localfs/local_fs.h"

namespace kestrum {

class FtpClientFactory;
class ProfileStore;
class UserPort;

enum class RunOutcome {
    ReachedEnd,    // reached its end without the error flag and without a failed item
    StoppedEarly,  // cancelled, server directory missing, neither direction checked
    Failed,        // the error flag is set
    ItemsFailed,   // reached its end, but some items could not be carried out
    NotTrusted,    // stopped before login at a server certificate not trusted, or a changed key
};

class RunOwner {
  public:
    RunOwner(UserPort& port, ProfileStore& store, FtpClientFactory& ftp, LocalFileSystem& fs = PosixFileSystem());
    // Cancels a run still going and waits for its worker.
    ~RunOwner();
    RunOwner(const RunOwner&) = delete;
    RunOwner& operator=(const RunOwner&) = delete;

    RunState& State() { return state_; }
    RunLog& Log() { return log_; }
    RunContext& Context() { return ctx_; }

    // A synchronisation run of State().settings.profileName: the running state,
    // then the worker.
    void Start();
    // A watch of the profile the last run used (see watch_run.h): the running
    // state, then the worker.
    void StartWatch();
    // Runs job on a new worker thread (a finished previous one is joined
    // first). The caller has put the owner into the running state. When no
    // thread can be started the run ends at once with the error flag.
    void StartWorker(std::function<void(RunContext&)> job);
    // Sets the cancel flag and shows msg::kWaitForSafeStop.
    void Cancel();
    bool Running() const { return state_.flags.running != 0; }
    bool HasWorker() const { return worker_.joinable(); }
    // Waits for the worker to end, if there is one.
    void Join();
    // The completion routine on the owner's thread (command 35000): joins the
    // worker and finishes the run.
    void Complete();
    // Plays the owner's side on the calling thread until the run is idle again:
    // carries out the completions the worker posts. poll is called about every
    // pollEvery (to turn a signal into Cancel(), for example).
    RunOutcome Await(const std::function<void()>& poll = {},
                     std::chrono::milliseconds pollEvery = std::chrono::milliseconds(100));
    RunOutcome Outcome() const;

  private:
    RunState state_;
    RunLog log_;
    RunContext ctx_;
    std::thread worker_;
};

// The exit status of the command line for an outcome: 0, 3, 1, 4 or 5.
int ExitStatusOf(RunOutcome outcome);

}  // namespace kestrum
