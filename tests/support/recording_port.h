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
        {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        }
        if (onLine)
            onLine(line);
    }
    void ShowProgress(int position) override {
        std::lock_guard lock(mutex_);
        progress_.push_back(position);
    }
    void ShowCounter(std::string_view text) override {
        std::lock_guard lock(mutex_);
        counters_.emplace_back(text);
    }
    void SetAnimation(bool playing) override { animation_ = playing; }
    void ShowMessage(std::string_view text) override {
        std::lock_guard lock(mutex_);
        messages_.emplace_back(text);
    }
    bool AskOkCancel(std::string_view text) override {
        std::lock_guard lock(mutex_);
        questions_.emplace_back(text);
        return answerOk_;
    }
    std::optional<std::string> AskPassword() override {
        std::lock_guard lock(mutex_);
        ++passwordPrompts_;
        return password_;
    }
    void SetRunningState(int running) override {
        std::lock_guard lock(mutex_);
        states_.push_back(running);
    }
    void PostCompletion() override { ++completions_; }
    void RequestClose() override { ++closeRequests_; }

    // Called on the logging thread after each line, to act at a given point of a run.
    std::function<void(std::string_view)> onLine;

    // Answers.
    void setAnswerOk(bool ok) { answerOk_ = ok; }
    void setPassword(std::optional<std::string> password) { password_ = std::move(password); }

    // Records (copies, safe to call while a worker runs).
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::vector<int> progress() const {
        std::lock_guard lock(mutex_);
        return progress_;
    }
    std::vector<std::string> counters() const {
        std::lock_guard lock(mutex_);
        return counters_;
    }
    std::vector<std::string> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::vector<std::string> questions() const {
        std::lock_guard lock(mutex_);
        return questions_;
    }
    std::vector<int> states() const {
        std::lock_guard lock(mutex_);
        return states_;
    }
    int passwordPrompts() const {
        std::lock_guard lock(mutex_);
        return passwordPrompts_;
    }
    int completions() const { return completions_; }
    int closeRequests() const { return closeRequests_; }
    bool animation() const { return animation_; }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_, counters_, messages_, questions_;
    std::vector<int> progress_, states_;
    int passwordPrompts_ = 0;
    std::atomic<int> completions_{0}, closeRequests_{0};
    std::atomic<bool> animation_{false};
    std::atomic<bool> answerOk_{true};
    std::optional<std::string> password_;
};

}  // namespace kestrum::test
