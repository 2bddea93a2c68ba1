#include "ftp/ftp_wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrum {

void WaitForSocket(int fd, short events, const Wait& wait) {
    using namespace std::chrono;
    constexpr milliseconds kSlice{100};
    for (;;) {
        if (wait.cancelled && wait.cancelled())
            throw StreamError(StreamError::Kind::Cancelled, "cancelled");
        const auto left = duration_cast<milliseconds>(wait.deadline - steady_clock::now());
        if (left.count() <= 0)
            throw StreamError(StreamError::Kind::TimedOut, "timed out");
        pollfd entry{fd, events, 0};
        // Rounded up, so that the last slice ends past the deadline.
        const int ready = poll(&entry, 1, static_cast<int>(std::min(left + milliseconds(1), kSlice).count()));
        if (ready > 0)
            return;
        if (ready < 0 && errno != EINTR)
            throw StreamError(StreamError::Kind::Failed, std::strerror(errno));
    }
}

}  // namespace kestrum
