#include "tests/support/vsftpd_server.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/ftp_server.h"
#include "tests/support/process.h"

namespace kestrum::test {
namespace {

namespace fs = std::filesystem;
constexpr const char* kVsftpd = "/usr/sbin/vsftpd";

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
    if (options_.maxRate > 0)
        out << "anon_max_rate=" << options_.maxRate << "\n";
    if (options_.tls != VsftpdOptions::Tls::None) {
        out << "ssl_enable=YES\nallow_anon_ssl=YES\nrsa_cert_file=" << work_
            << "/cert.pem\nrsa_private_key_file=" << work_ << "/key.pem\n";
        if (options_.requireTls)
            out << "force_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n";
        if (options_.tls == VsftpdOptions::Tls::Implicit)
            out << "implicit_ssl=YES\n";
        if (options_.strictTlsEof)
            out << "strict_ssl_read_eof=YES\n";
    }
    out.close();

    // Its own process group, so that its session processes end with it.
    const std::string errPath = work_ + "/vsftpd.err";
    pid_ = Spawn({kVsftpd, config}, errPath, errPath, true);
    PollUntil([&] { return Accepts(port_) || waitpid(pid_, nullptr, WNOHANG) == pid_; }, 10000);
    if (!Accepts(port_)) {
        pid_ = -1;
        throw std::runtime_error("vsftpd did not start: " + ReadFile(errPath, false));
    }
}

void TestVsftpd::Stop() {
    KillProcess(pid_, true);
}

void TestVsftpd::ReplaceKey() {
    Stop();
    MakeKey();
    Start();
}

std::string TestVsftpd::commandLog() const {
    std::istringstream in(ReadFile(work_ + "/protocol.log", false));
    std::string commands;
    constexpr std::string_view kMarker = "FTP command: Client \"127.0.0.1\", \"";
    for (std::string line; std::getline(in, line);) {
        if (const size_t at = line.find(kMarker); at != std::string::npos)
            commands +=
                line.substr(at + kMarker.size(), line.size() - at - kMarker.size() - (line.back() == '"')) + "\n";
    }
    return commands;
}

}  // namespace kestrum::test
