#include "tests/support/ftp_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "tests/support/process.h"

namespace kestrum::test {
namespace {

namespace fs = std::filesystem;

std::string MakeTempDirectory(const char* prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    return pattern;
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    // Tests may leave unreadable directories behind; make them removable first.
    for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// The lines of a file that contain marker, each from just after it.
std::vector<std::string> LinesAfter(const std::string& path, const std::string& marker) {
    std::istringstream in(ReadFile(path, false));
    std::vector<std::string> found;
    for (std::string line; std::getline(in, line);)
        if (const size_t at = line.find(marker); at != std::string::npos)
            found.push_back(line.substr(at + marker.size()));
    return found;
}

}  // namespace

TestFtpServer::TestFtpServer(FtpServerOptions options) : options_(std::move(options)) {
    workDir_ = MakeTempDirectory("kestrum-ftpd-");
    home_ = workDir_ + "/home";
    fs::create_directory(home_);
    const FtpServerOptions& o = options_;
    std::vector<std::string> args = {"/usr/bin/python3",
                                     KESTRUM_TEST_FTPSERVER,
                                     "--home",
                                     home_,
                                     "--log",
                                     workDir_ + "/server.log",
                                     "--user",
                                     o.user,
                                     "--password",
                                     o.password};
    const auto add = [&](bool on, const char* flag, const std::string& value = "") {
        if (on)
            args.push_back(flag);
        if (on && !value.empty())
            args.push_back(value);
    };
    add(!o.mlsd, "--no-mlsd");
    add(o.clockShiftSeconds != 0, "--clock-shift", std::to_string(o.clockShiftSeconds));
    add(o.loginDelaySeconds > 0, "--login-delay", std::to_string(o.loginDelaySeconds));
    add(o.idleTimeoutSeconds > 0, "--idle-timeout", std::to_string(o.idleTimeoutSeconds));
    add(o.replyLatencySeconds > 0, "--latency", std::to_string(o.replyLatencySeconds));
    add(!o.garbledTime.empty(), "--garbled-time", o.garbledTime);
    add(!o.farFuture.empty(), "--far-future", o.farFuture);
    add(!o.announceShort.empty(), "--announce-short", o.announceShort);
    add(!o.unlistable.empty(), "--unlistable", o.unlistable);
    for (const auto& [name, line] : o.listLines)
        add(true, "--list-line", name + "=" + line);
    add(o.mdtmShiftSeconds != 0, "--mdtm-shift", std::to_string(o.mdtmShiftSeconds));
    add(o.maxLogins > 0, "--max-logins", std::to_string(o.maxLogins));
    add(o.maxLogins > 0 && o.silentBeyondMaxLogins, "--silent-beyond");
    add(!o.breakOff.empty(), "--break-off", o.breakOff);
    add(!o.sendHalf.empty(), "--send-half", o.sendHalf);
    add(!o.refuse.empty(), "--refuse", o.refuse);
    add(o.storeKeep >= 0, "--store-keep", std::to_string(o.storeKeep));
    add(o.storeCut > 0, "--store-cut", std::to_string(o.storeCut));
    add(o.refuseRenameOver, "--refuse-rename-over");
    add(o.extraClockShiftSeconds != 0, "--extra-clock-shift", std::to_string(o.extraClockShiftSeconds));
    add(o.transferBytesPerSecond > 0, "--rate", std::to_string(o.transferBytesPerSecond));

    args_ = std::move(args);
    try {
        Spawn();
    } catch (...) {
        kill();
        RemoveTree(workDir_);
        throw;
    }
}

void TestFtpServer::Spawn() {
    // The server prints "PORT <n>" once it listens.
    const std::string outPath = workDir_ + "/server.out", errPath = workDir_ + "/server.err";
    std::remove(outPath.c_str());
    pid_ = test::Spawn(args_, outPath, errPath);
    PollUntil([&] { return ReadFile(outPath, false).find('\n') != std::string::npos; }, 20000);
    const std::string output = ReadFile(outPath, false);
    port_ = output.rfind("PORT ", 0) == 0 ? std::atoi(output.c_str() + 5) : 0;
    if (port_ <= 0)
        throw std::runtime_error("the test FTP server did not start: " + ReadFile(errPath, false));
}

void TestFtpServer::restart() {
    kill();
    if (std::find(args_.begin(), args_.end(), "--port") == args_.end())
        args_.insert(args_.end(), {"--port", std::to_string(port_)});
    Spawn();
}

TestFtpServer::~TestFtpServer() {
    kill();
    RemoveTree(workDir_);
}

std::string TestFtpServer::commandLog() const {
    std::string commands;
    for (const std::string& command : LinesAfter(workDir_ + "/server.log", "] <- "))
        commands += command + "\n";
    return commands;
}

int CountCommandLines(const std::string& commands, const std::string& verb) {
    std::istringstream in(commands);
    int count = 0;
    for (std::string line; std::getline(in, line);)
        count += line.compare(0, verb.size(), verb) == 0 && (line.size() == verb.size() || line[verb.size()] == ' ');
    return count;
}

int TestFtpServer::connectionCount() const {
    int count = 0;
    for (const std::string& rest : LinesAfter(workDir_ + "/server.log", "FTP session opened (connect)"))
        count += rest.empty();
    return count;
}

void TestFtpServer::kill() {
    KillProcess(pid_);
}

void TestFtpServer::stall() {
    if (pid_ > 0)
        ::kill(pid_, SIGSTOP);
}

TempDir::TempDir() : path_(MakeTempDirectory("kestrum-test-")) {}

TempDir::~TempDir() {
    RemoveTree(path_);
}

int UnusedLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

void WriteFile(const std::string& path, const std::string& content, long long mtime) {
    if (const auto parent = fs::path(path).parent_path(); !parent.empty())
        fs::create_directories(parent);
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << content))
        throw std::runtime_error("cannot write " + path);
    const timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
    if (mtime >= 0 && utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        throw std::runtime_error("cannot set the time of " + path);
}

std::string ReadFile(const std::string& path, bool mustExist) {
    std::ifstream in(path, std::ios::binary);
    if (!in && mustExist)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

long long FileMtime(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_mtime) : -1;
}

}  // namespace kestrum::test
