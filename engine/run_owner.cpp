#include "engine/run_owner.h"

#include <system_error>

#include "engine/sync_run.h"
#include "engine/watch_run.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

void CompletionSignal::Post() {
    std::lock_guard lock(mutex_);
    ++pending_;
    changed_.notify_all();
}

void CompletionSignal::Wake() {
    std::lock_guard lock(mutex_);
    woken_ = true;
    changed_.notify_all();
}

bool CompletionSignal::Take(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return pending_ > 0 || woken_; });
    woken_ = false;
    if (pending_ == 0)
        return false;
    --pending_;
    return true;
}

bool CompletionSignal::Pending() const {
    std::lock_guard lock(mutex_);
    return pending_ > 0;
}

void RunFlags::ClearForRun() {
    cancelRequested = 0;
    runFailed = 0;
    reachedEnd = 0;
    failedItems = 0;
    certificateRefused = 0;
}

RunOwner::RunOwner(UserPort& port, ProfileStore& store, FtpClientFactory& ftp, LocalFileSystem& fs)
    : log_(port), ctx_{state_, log_, store, ftp, fs} {}

RunOwner::~RunOwner() {
    state_.flags.cancelRequested = 1;
    Join();
}

void RunOwner::Start() {
    Join();
    SetRunningState(ctx_, 1);
    StartWorker([](RunContext& ctx) { ExecuteRun(ctx); });
}

void RunOwner::StartWatch() {
    Join();
    SetRunningState(ctx_, 1);
    StartWorker([](RunContext& ctx) { ExecuteWatch(ctx); });
}

void RunOwner::StartWorker(std::function<void(RunContext&)> job) {
    Join();
    try {
        worker_ = std::thread([this, job = std::move(job)] { job(ctx_); });
    } catch (const std::system_error& e) {
        log_.AppendLogLine(LoadString(msg::kUnexpectedError));
        log_.AppendLogLine(e.what());
        state_.flags.runFailed = 1;
        FinishRun(ctx_);
    }
}

void RunOwner::Cancel() {
    state_.flags.cancelRequested = 1;
    log_.Port().ShowMessage(LoadString(msg::kWaitForSafeStop));
}

void RunOwner::Join() {
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id())
        worker_.join();
}

void RunOwner::Complete() {
    Join();
    // Taken here when the port, not Await, carried the completion over.
    state_.live.completion.Take(std::chrono::milliseconds(0));
    FinishRun(ctx_);
}

RunOutcome RunOwner::Await(const std::function<void()>& poll, std::chrono::milliseconds pollEvery) {
    while (true) {
        if (poll)
            poll();
        if (state_.live.completion.Take(pollEvery)) {
            Complete();
            continue;
        }
        if (!Running() && !state_.live.completion.Pending())
            break;
    }
    Join();
    return Outcome();
}

RunOutcome RunOwner::Outcome() const {
    if (state_.flags.certificateRefused)
        return RunOutcome::NotTrusted;
    if (state_.flags.runFailed)
        return RunOutcome::Failed;
    if (!state_.flags.reachedEnd)
        return RunOutcome::StoppedEarly;
    return state_.flags.failedItems > 0 ? RunOutcome::ItemsFailed : RunOutcome::ReachedEnd;
}

int ExitStatusOf(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::ReachedEnd:
            return 0;
        case RunOutcome::Failed:
            return 1;
        case RunOutcome::StoppedEarly:
            return 3;
        case RunOutcome::ItemsFailed:
            return 4;
        case RunOutcome::NotTrusted:
            return 5;
    }
    return 1;
}

}  // namespace kestrum
