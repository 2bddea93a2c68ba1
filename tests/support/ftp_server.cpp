#include "tests/support/ftp_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace kestrum::test {
namespace {

namespace fs = std::filesystem;

std::string MakeTempDirectory(const char* prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    }
    return buffer.data();
}

void RemoveTree(const std::string& path) {
    if (path.empty()) {
        return;
    }
    std::error_code ec;
    // Tests may leave unreadable directories behind; make them removable first.
    for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
    fs::remove_all(path, ec);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace

TestFtpServer::TestFtpServer(FtpServerOptions options) : options_(std::move(options)) {
    workDir_ = MakeTempDirectory("kestrum-ftpd-");
    home_ = workDir_ + "/home";
    logPath_ = workDir_ + "/server.log";
    fs::create_directory(home_);
    const std::string errPath = workDir_ + "/server.err";

    std::vector<std::string> args = {
        "/usr/bin/python3", KESTRUM_TEST_FTPSERVER, "--home",         home_, "--log", logPath_, "--user",
        options_.user,      "--password",           options_.password};
    if (!options_.mlsd) {
        args.push_back("--no-mlsd");
    }
    if (options_.clockShiftSeconds != 0) {
        args.push_back("--clock-shift");
        args.push_back(std::to_string(options_.clockShiftSeconds));
    }
    if (options_.loginDelaySeconds > 0) {
        args.push_back("--login-delay");
        args.push_back(std::to_string(options_.loginDelaySeconds));
    }
    if (options_.idleTimeoutSeconds > 0) {
        args.push_back("--idle-timeout");
        args.push_back(std::to_string(options_.idleTimeoutSeconds));
    }
    if (!options_.garbledTime.empty()) {
        args.push_back("--garbled-time");
        args.push_back(options_.garbledTime);
    }
    if (!options_.announceShort.empty()) {
        args.push_back("--announce-short");
        args.push_back(options_.announceShort);
    }
    if (!options_.unlistable.empty()) {
        args.push_back("--unlistable");
        args.push_back(options_.unlistable);
    }
    for (const auto& [name, line] : options_.listLines) {
        args.push_back("--list-line");
        args.push_back(name + "=" + line);
    }
    if (options_.mdtmShiftSeconds != 0) {
        args.push_back("--mdtm-shift");
        args.push_back(std::to_string(options_.mdtmShiftSeconds));
    }
    if (options_.maxLogins > 0) {
        args.push_back("--max-logins");
        args.push_back(std::to_string(options_.maxLogins));
        if (options_.silentBeyondMaxLogins) {
            args.push_back("--silent-beyond");
        }
    }
    if (!options_.breakOff.empty()) {
        args.push_back("--break-off");
        args.push_back(options_.breakOff);
    }
    if (!options_.refuse.empty()) {
        args.push_back("--refuse");
        args.push_back(options_.refuse);
    }
    if (options_.transferBytesPerSecond > 0) {
        args.push_back("--rate");
        args.push_back(std::to_string(options_.transferBytesPerSecond));
    }
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        RemoveTree(workDir_);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        pid_ = -1;
        RemoveTree(workDir_);
        throw std::runtime_error("cannot start the test FTP server: " + std::string(std::strerror(rc)));
    }

    // The server prints "PORT <n>" once it listens.
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (output.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd pfd{pipeFds[0], POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[128];
        ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        output.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    if (output.rfind("PORT ", 0) == 0) {
        port_ = std::atoi(output.c_str() + 5);
    }
    if (port_ <= 0) {
        std::string err = ReadWholeFile(errPath);
        kill();
        RemoveTree(workDir_);
        throw std::runtime_error("the test FTP server did not start: " + err);
    }
}

TestFtpServer::~TestFtpServer() {
    kill();
    RemoveTree(workDir_);
}

std::string TestFtpServer::hostWithPort() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::string TestFtpServer::commandLog() const {
    std::istringstream in(ReadWholeFile(logPath_));
    std::string line;
    std::string commands;
    while (std::getline(in, line)) {
        auto at = line.find("] <- ");
        if (at != std::string::npos) {
            commands += line.substr(at + 5) + "\n";
        }
    }
    return commands;
}

int TestFtpServer::countCommands(const std::string& verb) const {
    return CountCommandLines(commandLog(), verb);
}

int CountCommandLines(const std::string& commands, const std::string& verb) {
    std::istringstream in(commands);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        if (line.compare(0, verb.size(), verb) == 0 && (line.size() == verb.size() || line[verb.size()] == ' ')) {
            ++count;
        }
    }
    return count;
}

int TestFtpServer::connectionCount() const {
    std::istringstream in(ReadWholeFile(logPath_));
    std::string line;
    int count = 0;
    const std::string marker = "FTP session opened (connect)";
    while (std::getline(in, line)) {
        if (line.size() >= marker.size() && line.compare(line.size() - marker.size(), marker.size(), marker) == 0) {
            ++count;
        }
    }
    return count;
}

void TestFtpServer::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
}

void TestFtpServer::stall() {
    if (pid_ > 0) {
        ::kill(pid_, SIGSTOP);
    }
}

TempDir::TempDir() : path_(MakeTempDirectory("kestrum-test-")) {}

TempDir::~TempDir() {
    RemoveTree(path_);
}

int UnusedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

void WriteFile(const std::string& path, const std::string& content, long long mtime) {
    auto parent = fs::path(path).parent_path();
    if (!parent.empty()) {
        fs::create_directories(parent);
    }
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw std::runtime_error("cannot write " + path);
        }
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out) {
            throw std::runtime_error("cannot write " + path);
        }
    }
    if (mtime >= 0) {
        timespec times[2];
        times[0].tv_sec = static_cast<time_t>(mtime);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
            throw std::runtime_error("cannot set the time of " + path);
        }
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

long long FileMtime(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return -1;
    }
    return static_cast<long long>(st.st_mtime);
}

}  // namespace kestrum::test
