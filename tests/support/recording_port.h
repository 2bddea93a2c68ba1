#pragma once
// A user port for tests: records everything and answers questions as told.

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/user_port.h"

namespace kestrum::test {

class RecordingPort : public UserPort {
  public:
    void ShowLogLine(std::string_view line) override {
        Record(lines_, std::string(line));
        if (onLine)
            onLine(line);
    }
    void ShowProgress(int position) override { Record(progress_, position); }
    void ShowCounter(std::string_view text) override { Record(counters_, std::string(text)); }
    void SetAnimation(bool playing) override { animation_ = playing; }
    void ShowMessage(std::string_view text) override { Record(messages_, std::string(text)); }
    bool AskOkCancel(std::string_view text) override {
        Record(questions_, std::string(text));
        return answerOk_;
    }
    std::optional<std::string> AskPassword(std::string_view prompt, size_t /*maxBytes*/) override {
        Record(promptTexts_, std::string(prompt));
        std::lock_guard lock(mutex_);
        ++passwordPrompts_;
        return password_;
    }
    void SetRunningState(int running) override { Record(states_, running); }
    void PostCompletion() override { ++completions_; }
    void RequestClose() override {}

    // Called on the logging thread after each line, to act at a given point of a run.
    std::function<void(std::string_view)> onLine;

    void setAnswerOk(bool ok) { answerOk_ = ok; }
    void setPassword(std::optional<std::string> password) { password_ = std::move(password); }

    // Records (copies, safe to call while a worker runs).
    std::vector<std::string> lines() const { return Copy(lines_); }
    std::vector<int> progress() const { return Copy(progress_); }
    std::vector<std::string> counters() const { return Copy(counters_); }
    std::vector<std::string> messages() const { return Copy(messages_); }
    std::vector<std::string> questions() const { return Copy(questions_); }
    // The texts of the password prompts shown.
    std::vector<std::string> promptTexts() const { return Copy(promptTexts_); }
    std::vector<int> states() const { return Copy(states_); }
    int passwordPrompts() const { return Copy(passwordPrompts_); }
    int completions() const { return completions_; }
    bool animation() const { return animation_; }

  private:
    template <typename T>
    void Record(std::vector<T>& into, T value) {
        std::lock_guard lock(mutex_);
        into.push_back(std::move(value));
    }
    template <typename T>
    T Copy(const T& value) const {
        std::lock_guard lock(mutex_);
        return value;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> lines_, counters_, messages_, questions_, promptTexts_;
    std::vector<int> progress_, states_;
    int passwordPrompts_ = 0;
    std::atomic<int> completions_{0};
    std::atomic<bool> animation_{false};
    std::atomic<bool> answerOk_{true};
    std::optional<std::string> password_;
};

}  // namespace kestrum::test
