#pragma once
// The run log and the progress indicators: Kestrum.log in the program
// directory, line for line the same as the log view of the user port.

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/user_port.h"

namespace kestrum {

class RunLog {
  public:
    explicit RunLog(UserPort& port) : port_(port) {}
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Creates (truncates) Kestrum.log in programDir and appends the three start
    // lines. Returns false on a file error: the view still gets the lines and
    // the log goes on without a file (the caller shows msg::kLogFileCreateFailed).
    bool Open(const std::string& programDir);
    void Close();
    bool HasFile() const { return file_ != nullptr; }

    // One line to the view and to the file; the file is flushed after the text
    // and after the line end.
    void AppendLogLine(std::string_view text);
    int SetProgress(int position);
    // Bar to 5 + 90 * done / total (5 when total is 0), counter "done / total".
    int ShowFileCount(long long done, long long total);
    // The counter's current text (read by the completion routine).
    std::string CounterText() const;
    void ClearCounter();

    UserPort& Port() { return port_; }

    static std::string LogPath(const std::string& programDir);

  private:
    UserPort& port_;
    std::FILE* file_ = nullptr;
    mutable std::mutex mutex_;
    std::string counter_;
};

// "%Y %m/%d %H:%M" of the current local time.
std::string CurrentTimeText();

}  // namespace kestrum
