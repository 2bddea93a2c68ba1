#include "engine/run_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>

#include "localfs/local_fs.h"

namespace kestrum {

RunLog::~RunLog() {
    Close();
}

std::string RunLog::LogPath(const std::string& programDir) {
    return JoinLocalPath(programDir, "Kestrum.log");
}

bool RunLog::Open(const std::string& programDir) {
    Close();
    {
        std::lock_guard lock(mutex_);
        // A link planted in the program directory is never followed: the log
        // would otherwise overwrite whatever it points to.
        const int fd = open(LogPath(programDir).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        file_ = fd >= 0 ? fdopen(fd, "wb") : nullptr;
        if (fd >= 0 && file_ == nullptr)
            close(fd);
    }
    const bool opened = file_ != nullptr;
    AppendLogLine("Welcome to Quill Moor");
    AppendLogLine("\tKestrum Version1.0");
    AppendLogLine(CurrentTimeText());
    std::lock_guard lock(mutex_);
    return opened && file_ != nullptr;
}

void RunLog::Close() {
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

void RunLog::AppendLogLine(std::string_view text) {
    port_.ShowLogLine(text);
    std::lock_guard lock(mutex_);
    if (file_ == nullptr)
        return;
    // Flushed after the text and after the line end, so the file holds every
    // line even when the program is ended by force.
    bool ok = std::fwrite(text.data(), 1, text.size(), file_) == text.size() && std::fflush(file_) == 0;
    ok = ok && std::fwrite("\r\n", 1, 2, file_) == 2 && std::fflush(file_) == 0;
    if (!ok) {
        // A file that can no longer be written (disk full, removed device) is
        // dropped; the view keeps working.
        std::fclose(file_);
        file_ = nullptr;
    }
}

int RunLog::SetProgress(int position) {
    port_.ShowProgress(position);
    return 1;
}

int RunLog::ShowFileCount(long long done, long long total) {
    const long long position = total == 0 ? 5 : 5 + (90 * done) / total;
    port_.ShowProgress(static_cast<int>(position));
    std::string text = std::to_string(done) + " / " + std::to_string(total);
    {
        std::lock_guard lock(mutex_);
        counter_ = text;
    }
    port_.ShowCounter(text);
    return 1;
}

std::string RunLog::CounterText() const {
    std::lock_guard lock(mutex_);
    return counter_;
}

void RunLog::ClearCounter() {
    {
        std::lock_guard lock(mutex_);
        counter_.clear();
    }
    port_.ShowCounter("");
}

std::string CurrentTimeText() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y %m/%d %H:%M", &local);
    return buf;
}

}  // namespace kestrum
