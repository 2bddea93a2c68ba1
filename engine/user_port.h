#pragma once
// The one way a run talks to the user. The window implements it with blocking
// calls onto its own thread; the command line implements it for a terminal.
// Every method may be called from the worker thread.

#include <optional>
#include <string>
#include <string_view>

namespace kestrum {

class UserPort {
  public:
    virtual ~UserPort() = default;

    // The log view: one line (code page text) appended.
    virtual void ShowLogLine(std::string_view line) = 0;
    // Progress bar position 0..100.
    virtual void ShowProgress(int position) = 0;
    // The file counter text ("n / N" or empty).
    virtual void ShowCounter(std::string_view text) = 0;
    // The activity animation: playing from the start of a run until completion.
    virtual void SetAnimation(bool playing) = 0;
    // A message box with caption msg::kAppName and an OK button; returns when dismissed.
    virtual void ShowMessage(std::string_view text) = 0;
    // Brings the log into view (before a message that refers to it).
    virtual void RevealLog() {}
    // A message box with OK and Cancel; true for OK.
    virtual bool AskOkCancel(std::string_view text) = 0;
    // The same for a question whose OK deletes, trusts or overwrites: the
    // safe answer (Cancel) is the default.
    virtual bool AskRisky(std::string_view text) { return AskOkCancel(text); }
    // The password prompt with its text, taking at most maxBytes bytes of
    // the code page; nullopt when cancelled.
    virtual std::optional<std::string> AskPassword(std::string_view prompt, size_t maxBytes) = 0;
    // Idle (0) or running (1): menu greying and the start/cancel button.
    virtual void SetRunningState(int running) = 0;
    // Queues the completion routine on the owner's thread (command 35000).
    virtual void PostCompletion() = 0;
    // The watch's status line (code page text; empty: not watching).
    virtual void ShowWatchStatus(std::string_view) {}
    // The close request, made by the completion routine when quitAfterRun is set.
    virtual void RequestClose() = 0;
};

}  // namespace kestrum
