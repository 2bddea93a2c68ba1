#include "ftp/ftp_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrum {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSlice{100};  // how often a wait looks at its Wait

[[noreturn]] void Fail(int error, const std::string& what) {
    const bool closed = error == ECONNRESET || error == EPIPE;
    throw StreamError(closed ? StreamError::Kind::Closed : StreamError::Kind::Failed,
                      what + ": " + std::strerror(error));
}

// Returns once socket has one of events (or an error or hang-up to report).
void WaitFor(int socket, short events, const Wait& wait) {
    for (;;) {
        if (wait.cancelled && wait.cancelled()) {
            throw StreamError(StreamError::Kind::Cancelled, "cancelled");
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(wait.deadline - Clock::now());
        if (left.count() <= 0) {
            throw StreamError(StreamError::Kind::TimedOut, "timed out");
        }
        pollfd p{socket, events, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min(left, kSlice).count()));
        if (ready > 0) {
            return;
        }
        if (ready < 0 && errno != EINTR) {
            Fail(errno, "poll");
        }
    }
}

void CheckOpen(int socket) {
    if (socket < 0) {
        throw StreamError(StreamError::Kind::Failed, "the connection is closed");
    }
}

}  // namespace

PlainStream::PlainStream(int socket) : socket_(socket) {
    fcntl(socket_, F_SETFL, fcntl(socket_, F_GETFL) | O_NONBLOCK);
    // Commands go out in batches of our own making, and a TLS handshake's
    // last flight must not wait for the peer's delayed acknowledgement.
    const int on = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

PlainStream::~PlainStream() {
    Close();
}

size_t PlainStream::ReadSome(char* buffer, size_t size, const Wait& wait) {
    for (;;) {
        CheckOpen(socket_);
        const ssize_t got = recv(socket_, buffer, size, 0);
        if (got >= 0) {
            return static_cast<size_t>(got);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            WaitFor(socket_, POLLIN, wait);
        } else if (errno != EINTR) {
            Fail(errno, "recv");
        }
    }
}

void PlainStream::WriteAll(const char* data, size_t size, const Wait& wait) {
    size_t done = 0;
    while (done < size) {
        CheckOpen(socket_);
        const ssize_t sent = send(socket_, data + done, size - done, MSG_NOSIGNAL);
        if (sent >= 0) {
            done += static_cast<size_t>(sent);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            WaitFor(socket_, POLLOUT, wait);
        } else if (errno != EINTR) {
            Fail(errno, "send");
        }
    }
}

bool PlainStream::Readable() {
    pollfd p{socket_, POLLIN, 0};
    return socket_ >= 0 && poll(&p, 1, 0) > 0;
}

int PlainStream::Release() {
    const int socket = socket_;
    socket_ = -1;
    return socket;
}

void PlainStream::Close() {
    if (socket_ >= 0) {
        close(socket_);
        socket_ = -1;
    }
}

std::unique_ptr<PlainStream> ConnectTcp(const std::string& host, int port, const Wait& wait) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (lookup != 0) {
        throw StreamError(StreamError::Kind::Failed, host + ": " + gai_strerror(lookup));
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
    size_t left = 0;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        ++left;
    }
    std::string failure = host + ": no address";
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next, --left) {
        const int socket = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, 0);
        if (socket < 0) {
            failure = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        auto stream = std::make_unique<PlainStream>(socket);
        int error = connect(stream->Socket(), a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            Wait share = wait;
            share.deadline =
                std::min(wait.deadline, Clock::now() + (wait.deadline - Clock::now()) / static_cast<long>(left));
            try {
                WaitFor(stream->Socket(), POLLOUT, share);
            } catch (const StreamError& timeout) {
                if (timeout.kind() != StreamError::Kind::TimedOut || left == 1) {
                    throw;
                }
                failure = "connect to " + host + ": timed out";
                continue;
            }
            socklen_t size = sizeof error;
            getsockopt(stream->Socket(), SOL_SOCKET, SO_ERROR, &error, &size);
        }
        if (error == 0) {
            return stream;
        }
        failure = "connect to " + host + ": " + std::strerror(error);
    }
    throw StreamError(StreamError::Kind::Failed, failure);
}

}  // namespace kestrum
