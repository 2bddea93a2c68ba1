#pragma once
// A run or alignment without a window: log lines to standard output, message
// boxes to standard error, the password read from the terminal, SIGINT and
// SIGTERM as the cancel command, the completion routine on the main thread.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/run_log.h"
#include "engine/run_state.h"
#include "engine/user_port.h"

namespace kestrum {

class FtpClientFactory;
class InstanceLock;
class ProfileStore;

class TerminalPort : public UserPort {
public:
    void ShowLogLine(std::string_view line) override;
    void ShowProgress(int) override {}
    void ShowCounter(std::string_view) override {}
    void SetAnimation(bool) override {}
    void ShowMessage(std::string_view text) override;
    bool AskOkCancel(std::string_view text) override;
    std::optional<std::string> AskPassword() override;
    void SetRunningState(int running) override;
    void PostCompletion() override;
    void RequestClose() override {}

    // Waits until a completion was posted or the run went idle, or timeout.
    enum class Event { None, Completion, Idle };
    Event Wait(int timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int pendingCompletions_ = 0;
    bool idle_ = false;
};

class HeadlessSession {
public:
    HeadlessSession();
    ~HeadlessSession();

    // Opens the store, checks the profile, takes the program directory's lock
    // and opens the log. Returns 0, or the exit status to end with (2 unknown
    // profile, 1 another copy holds the program directory or the store fails).
    int Open(const std::string& profile, std::optional<bool> cacheSwitch, bool passive);
    RunContext& Context() { return *ctx_; }
    // Runs the owner's side until the run is idle again; returns the exit status:
    // 0 reached its end without the error flag, 1 error flag, 3 stopped early.
    int WaitForEnd();

private:
    TerminalPort port_;
    RunState state_;
    std::unique_ptr<ProfileStore> store_;
    std::unique_ptr<FtpClientFactory> ftp_;
    std::unique_ptr<RunLog> log_;
    std::unique_ptr<InstanceLock> lock_;
    std::unique_ptr<RunContext> ctx_;
};

}  // namespace kestrum
