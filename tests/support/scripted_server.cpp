#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kestrum::test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLongest = std::chrono::seconds(10);  // for a peer that never comes

// Whether socket becomes readable before the deadline or a stop.
bool WaitReadable(int socket, Clock::time_point deadline, const std::atomic<bool>& stop) {
    while (!stop && Clock::now() < deadline) {
        pollfd p{socket, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<ScriptStep> script) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        problems_.push_back(std::string("cannot listen: ") + std::strerror(errno));
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, script = std::move(script)] { Play(script); });
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    for (int socket : {connection_, listener_}) {
        if (socket >= 0) {
            close(socket);
        }
    }
}

std::vector<std::string> ScriptedServer::Finish() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return problems_;
}

void ScriptedServer::Play(const std::vector<ScriptStep>& script) {
    if (!WaitReadable(listener_, Clock::now() + kLongest, stop_)) {
        problems_.push_back("no connection");
        return;
    }
    const auto next = [this] {
        connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        const int one = 1;
        setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // each Send its own segment
    };
    next();
    std::string line;
    for (const auto& step : script) {
        switch (step.kind) {
            case ScriptStep::Kind::Accept:
                close(connection_);
                received_.clear();
                if (!WaitReadable(listener_, Clock::now() + kLongest, stop_)) {
                    problems_.push_back("no second connection");
                    return;
                }
                next();
                break;
            case ScriptStep::Kind::Send:
                if (send(connection_, step.text.data(), step.text.size(), MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(step.text.size())) {
                    problems_.push_back("cannot send " + step.text.substr(0, 40));
                    return;
                }
                break;
            case ScriptStep::Kind::Expect:
                if (!ReadLine(line)) {
                    problems_.push_back("expected " + step.text + ", got nothing");
                    return;
                }
                if (line != step.text) {
                    problems_.push_back("expected " + step.text + ", got " + line);
                }
                break;
            case ScriptStep::Kind::Pause:
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
                break;
            case ScriptStep::Kind::Close:
                close(connection_);
                connection_ = -1;
                return;
        }
    }
    while (ReadLine(line)) {
        problems_.push_back("unexpected " + line);
    }
}

// The next line the peer sent, which must end with CRLF; false at the end of
// the connection or after 10 s without one.
bool ScriptedServer::ReadLine(std::string& line) {
    const auto deadline = Clock::now() + kLongest;
    for (;;) {
        const size_t end = received_.find("\r\n");
        if (end != std::string::npos) {
            line = received_.substr(0, end);
            received_.erase(0, end + 2);
            return true;
        }
        if (!WaitReadable(connection_, deadline, stop_)) {
            problems_.push_back("no line or close from the peer");
            return false;
        }
        char chunk[4096];
        const ssize_t got = recv(connection_, chunk, sizeof chunk, 0);
        if (got <= 0) {
            if (!received_.empty()) {
                problems_.push_back("unended line " + received_);
            }
            return false;
        }
        received_.append(chunk, static_cast<size_t>(got));
    }
}

}  // namespace kestrum::test
