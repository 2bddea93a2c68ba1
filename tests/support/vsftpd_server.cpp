#include "tests/support/vsftpd_server.h"

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/ftp_server.h"
#include "tests/support/process.h"

extern char** environ;

namespace kestrum::test {
namespace {

namespace fs = std::filesystem;
constexpr const char* kVsftpd = "/usr/sbin/vsftpd";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

}  // namespace

std::string TestVsftpd::Unavailable() {
    if (access(kVsftpd, X_OK) != 0)
        return "vsftpd is not installed";
    if (geteuid() != 0)
        return "vsftpd needs root to start";
    if (getpwnam("ftp") == nullptr)
        return "the ftp user is missing";
    return {};
}

TestVsftpd::TestVsftpd(VsftpdOptions options) : options_(options) {
    char pattern[] = "/tmp/kestrum-vsftpd-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    work_ = pattern;
    // The server's user reads the root; it writes only in home.
    chmod(work_.c_str(), 0755);
    root_ = work_ + "/root";
    fs::create_directories(home());
    GiveHomeToServer();
    MakeKey();
    port_ = UnusedLoopbackPort();
    Start();
}

TestVsftpd::~TestVsftpd() {
    Stop();
    std::error_code ec;
    fs::remove_all(work_, ec);
}

std::string TestVsftpd::hostWithPort() const {
    return "127.0.0.1:" + std::to_string(port_);
}

void TestVsftpd::GiveHomeToServer() const {
    const passwd* user = getpwnam("ftp");
    if (user == nullptr)
        return;
    (void)!chown(home().c_str(), user->pw_uid, user->pw_gid);
    for (const auto& entry : fs::recursive_directory_iterator(home()))
        (void)!lchown(entry.path().c_str(), user->pw_uid, user->pw_gid);
}

void TestVsftpd::MakeKey() {
    const ProcessResult made = RunProcess(
        {"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", work_ + "/key.pem", "-out",
         work_ + "/cert.pem", "-days", "2", "-subj", "/CN=kestrum-test", "-addext", "subjectAltName=DNS:kestrum-test"},
        {});
    if (made.status != 0)
        throw std::runtime_error("openssl req failed (" + std::to_string(made.status) + "): " + made.err + made.out);
}

void TestVsftpd::Start() {
    const std::string config = work_ + "/vsftpd.conf";
    std::ofstream out(config);
    out << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port_
        << "\nbackground=NO\n"
           "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=NO\nanon_root="
        << root_
        << "\nwrite_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
           "anon_other_write_enable=YES\nanon_world_readable_only=NO\nanon_umask=022\n"
           "seccomp_sandbox=NO\nisolate_network=NO\nisolate=NO\n"
           "pasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
           "log_ftp_protocol=YES\nxferlog_enable=YES\nsyslog_enable=NO\nvsftpd_log_file="
        << work_ << "/protocol.log\n";
    if (options_.tls != VsftpdOptions::Tls::None) {
        out << "ssl_enable=YES\nallow_anon_ssl=YES\nrsa_cert_file=" << work_
            << "/cert.pem\nrsa_private_key_file=" << work_ << "/key.pem\n";
        if (options_.requireTls)
            out << "force_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n";
        if (options_.tls == VsftpdOptions::Tls::Implicit)
            out << "implicit_ssl=YES\n";
    }
    out.close();

    std::vector<std::string> args = {kVsftpd, config};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string errPath = work_ + "/vsftpd.err";
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so that its session processes end with it.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int rc = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start vsftpd: " + std::string(std::strerror(rc)));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Accepts(port_)) {
        if (std::chrono::steady_clock::now() > deadline || waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("vsftpd did not start: " + ReadAll(errPath));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void TestVsftpd::Stop() {
    if (pid_ <= 0)
        return;
    ::kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void TestVsftpd::ReplaceKey() {
    Stop();
    MakeKey();
    Start();
}

std::string TestVsftpd::commandLog() const {
    std::istringstream in(ReadAll(work_ + "/protocol.log"));
    std::string line;
    std::string commands;
    constexpr std::string_view kMarker = "FTP command: Client \"127.0.0.1\", \"";
    while (std::getline(in, line)) {
        const size_t at = line.find(kMarker);
        if (at == std::string::npos)
            continue;
        std::string command = line.substr(at + kMarker.size());
        if (!command.empty() && command.back() == '"')
            command.pop_back();
        commands += command + "\n";
    }
    return commands;
}

int TestVsftpd::countCommands(const std::string& verb) const {
    return CountCommandLines(commandLog(), verb);
}

}  // namespace kestrum::test
