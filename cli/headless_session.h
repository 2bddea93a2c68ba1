#pragma once
// A run or alignment without a window: log lines to standard output, message
// boxes to standard error, the password read from the terminal, SIGINT and
// SIGTERM as the cancel command, the completion routine on the main thread.

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "engine/run_owner.h"
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
    std::optional<std::string> AskPassword(std::string_view prompt, size_t maxBytes) override;
    void SetRunningState(int) override {}
    // The session's owner awaits the completion on the main thread.
    void PostCompletion() override {}
    void RequestClose() override {}
    // The run's cancel flag, set when a stop signal ends the password prompt.
    void SetCancelFlag(std::atomic<int>* flag) { cancelFlag_ = flag; }

  private:
    std::atomic<int>* cancelFlag_ = nullptr;
};

class HeadlessSession {
  public:
    HeadlessSession();
    ~HeadlessSession();

    // Opens the store, checks the profile, takes the program directory's lock
    // and opens the log. Returns 0, or the exit status to end with (2 unknown
    // profile, 1 another copy holds the program directory or the store fails).
    // passive: the transfer mode for this run only (nullopt: the profile's).
    int Open(const std::string& profile, std::optional<bool> cacheSwitch, std::optional<bool> passive);
    RunOwner& Owner() { return *owner_; }
    // Runs the owner's side until the run is idle again, SIGINT and SIGTERM
    // cancelling it (a second one ends the process at once); returns the exit
    // status of its outcome.
    // pollEvery: how soon a signal is acted on (a watch, idle for hours, wakes less often).
    int WaitForEnd(std::chrono::milliseconds pollEvery = std::chrono::milliseconds(100));
    // Whether a stop signal (SIGINT, SIGTERM) came.
    bool Stopped() const;

  private:
    // A second stop signal: removes the run's temporary files and ends the
    // process now with the status of a cancelled run.
    [[noreturn]] void EndAtOnce();

    TerminalPort port_;
    std::unique_ptr<ProfileStore> store_;
    std::unique_ptr<FtpClientFactory> ftp_;
    std::unique_ptr<InstanceLock> lock_;
    std::unique_ptr<RunOwner> owner_;
};

}  // namespace kestrum
