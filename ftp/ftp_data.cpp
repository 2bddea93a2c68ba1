#include "ftp/ftp_data.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "ftp/ftp_paths.h"

namespace kestrum {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSlice{100};  // how often a wait looks at its Wait

[[noreturn]] void Failed(const std::string& what) {
    throw StreamError(StreamError::Kind::Failed, what + ": " + std::strerror(errno));
}

// The numeric address of a socket's peer (or its own end) and its family.
std::string AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    } else {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
    }
    return text;
}

sockaddr_storage Address(int socket, bool peer) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int result = peer ? getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length)
                            : getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    if (result != 0) {
        Failed(peer ? "getpeername" : "getsockname");
    }
    return address;
}

// A connection to the control connection's peer at port; nothing when it
// cannot be made (a cancel still throws).
std::unique_ptr<PlainStream> ConnectToPeer(int controlSocket, int port, const DataRoute& route, const Wait& wait) {
    try {
        if (route.connect) {
            return route.connect(port, wait);
        }
        return ConnectTcp(AddressText(Address(controlSocket, true)), port, wait);
    } catch (const StreamError& error) {
        if (error.kind() == StreamError::Kind::Cancelled) {
            throw;
        }
        return nullptr;
    }
}

std::unique_ptr<PlainStream> Passive(const AskServer& ask, int controlSocket, DataModes& modes, const DataRoute& route,
                                     const Wait& wait) {
    if (!modes.epsvRefused) {
        const Reply epsv = ask("EPSV");
        const std::optional<int> port =
            epsv.code == 229 && !epsv.lines.empty() ? EpsvPort(epsv.lines.back()) : std::nullopt;
        if (port) {
            if (auto stream = ConnectToPeer(controlSocket, *port, route, wait)) {
                return stream;
            }
        }
        modes.epsvRefused = true;
    }
    const Reply pasv = ask("PASV");
    const std::optional<int> port =
        pasv.code == 227 && !pasv.lines.empty() ? PasvPort(pasv.lines.back()) : std::nullopt;
    if (!port) {
        throw FtpError("the server offers no passive data connection: " + pasv.Text());
    }
    auto stream = ConnectToPeer(controlSocket, *port, route, wait);
    if (!stream) {
        throw FtpError("the server's passive data port cannot be reached: " + pasv.Text());
    }
    return stream;
}

// Listens on the control connection's local address; the socket, and its port in port.
int Listen(int controlSocket, sockaddr_storage& local) {
    local = Address(controlSocket, false);
    const socklen_t length = local.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (local.ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in&>(local).sin_port = 0;
    } else {
        reinterpret_cast<sockaddr_in6&>(local).sin6_port = 0;
    }
    const int listener = socket(local.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        Failed("socket");
    }
    if (bind(listener, reinterpret_cast<const sockaddr*>(&local), length) != 0 || listen(listener, 1) != 0) {
        const int error = errno;
        close(listener);
        errno = error;
        Failed("listen");
    }
    local = Address(listener, false);
    return listener;
}

int PortOf(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(address).sin_port
                                              : reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

std::string EprtCommand(const sockaddr_storage& local) {
    return "EPRT |" + std::string(local.ss_family == AF_INET ? "1" : "2") + "|" + AddressText(local) + "|" +
           std::to_string(PortOf(local)) + "|";
}

std::string PortCommand(const sockaddr_storage& local) {
    std::string numbers = AddressText(local);
    std::replace(numbers.begin(), numbers.end(), '.', ',');
    const int port = PortOf(local);
    return "PORT " + numbers + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

void Active(const AskServer& ask, const sockaddr_storage& local, DataModes& modes) {
    const bool v4 = local.ss_family == AF_INET;
    if (!modes.eprtRefused) {
        const Reply eprt = ask(EprtCommand(local));
        if (eprt.Completed()) {
            return;
        }
        if (!v4) {
            throw FtpError("the server refuses an active data connection: " + eprt.Text());
        }
        modes.eprtRefused = true;
    }
    const Reply reply = ask(PortCommand(local));
    if (!reply.Completed()) {
        throw FtpError("the server refuses an active data connection: " + reply.Text());
    }
}

}  // namespace

std::optional<int> PasvPort(std::string_view reply) {
    const size_t open = reply.find('(');
    std::string_view rest =
        open == std::string_view::npos ? reply.substr(std::min<size_t>(4, reply.size())) : reply.substr(open + 1);
    while (!rest.empty() && (rest[0] < '0' || rest[0] > '9')) {
        rest.remove_prefix(1);
    }
    int numbers[6];
    for (int i = 0; i < 6; ++i) {
        int value = 0;
        size_t digits = 0;
        while (digits < rest.size() && digits < 4 && rest[digits] >= '0' && rest[digits] <= '9') {
            value = value * 10 + (rest[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return std::nullopt;
        }
        numbers[i] = value;
        rest.remove_prefix(digits);
        if (i < 5) {
            if (rest.empty() || rest[0] != ',') {
                return std::nullopt;
            }
            rest.remove_prefix(1);
        }
    }
    const int port = numbers[4] * 256 + numbers[5];
    return port > 0 ? std::optional(port) : std::nullopt;
}

DataLink::~DataLink() {
    if (listener_ >= 0) {
        close(listener_);
    }
}

ByteStream& DataLink::Open(const Wait& wait) {
    if (stream_) {
        return *stream_;
    }
    while (!plain_) {
        const int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted >= 0) {
            plain_ = std::make_unique<PlainStream>(accepted);
            close(listener_);
            listener_ = -1;
            break;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            Failed("accept");
        }
        if (wait.cancelled && wait.cancelled()) {
            throw StreamError(StreamError::Kind::Cancelled, "cancelled");
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(wait.deadline - Clock::now());
        if (left.count() <= 0) {
            throw StreamError(StreamError::Kind::TimedOut, "the server did not open the data connection");
        }
        pollfd p{listener_, POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min(left, kSlice).count()));
    }
    if (tls_) {
        stream_ = TlsStream::Connect(tls_, plain_->Release(), tlsHost_, TlsStream::Role::Data, wait);
        plain_.reset();
    } else {
        stream_ = std::move(plain_);
    }
    return *stream_;
}

void DataLink::Finish() {
    if (stream_) {
        stream_->Close();
    }
    stream_.reset();
    plain_.reset();
}

void DataLink::Reset() {
    for (ByteStream* stream : {static_cast<ByteStream*>(plain_.get()), stream_.get()}) {
        if (stream != nullptr && stream->Socket() >= 0) {
            linger hard{1, 0};
            setsockopt(stream->Socket(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
    }
    if (auto* tls = dynamic_cast<TlsStream*>(stream_.get())) {
        tls->Abort();  // no close_notify: that would end the file in order
    }
    stream_.reset();
    plain_.reset();
}

std::unique_ptr<DataLink> PrepareData(const AskServer& ask, int controlSocket, DataModes& modes, const DataRoute& route,
                                      const Wait& wait) {
    auto link = std::make_unique<DataLink>();
    link->tls_ = route.tls;
    link->tlsHost_ = route.tlsHost;
    if (modes.passive) {
        link->plain_ = Passive(ask, controlSocket, modes, route, wait);
        return link;
    }
    sockaddr_storage local{};
    link->listener_ = Listen(controlSocket, local);
    Active(ask, local, modes);
    return link;
}

std::unique_ptr<DataLink> OfferData(int controlSocket, const DataModes& modes, const DataRoute& route,
                                    std::string& command) {
    auto link = std::make_unique<DataLink>();
    link->tls_ = route.tls;
    link->tlsHost_ = route.tlsHost;
    if (modes.passive) {
        command = modes.epsvRefused ? "PASV" : "EPSV";
        return link;
    }
    sockaddr_storage local{};
    link->listener_ = Listen(controlSocket, local);
    command = modes.eprtRefused ? PortCommand(local) : EprtCommand(local);
    return link;
}

bool TakeOffer(DataLink& link, const Reply& reply, int controlSocket, const DataRoute& route, const Wait& wait) {
    if (link.listener_ >= 0) {
        return reply.Completed();
    }
    const std::string last = reply.lines.empty() ? std::string() : reply.lines.back();
    const std::optional<int> port = reply.code == 229   ? EpsvPort(last)
                                    : reply.code == 227 ? PasvPort(last)
                                                        : std::nullopt;
    if (port) {
        link.plain_ = ConnectToPeer(controlSocket, *port, route, wait);
    }
    return link.plain_ != nullptr;
}

}  // namespace kestrum
