#pragma once
// A stricter real FTP server for tests: vsftpd on 127.0.0.1, speaking TLS
// (explicit or implicit, with its default session-reuse requirement) with a
// certificate made by the openssl command, or plain. Anonymous login with a
// password, a writable directory "/home". It must run as root (vsftpd drops
// to the "ftp" user); Unavailable() says whether this machine can.

#include <sys/types.h>

#include <string>

#include "tests/support/ftp_server.h"

namespace kestrum::test {

struct VsftpdOptions {
    enum class Tls { None, Explicit, Implicit };
    Tls tls = Tls::Explicit;
    bool requireTls = true;     // logins and data connections must use TLS
    bool strictTlsEof = false;  // an upload must end with the client's close_notify
    long maxRate = 0;           // nonzero: every transfer is held to this many bytes a second
};

class TestVsftpd {
  public:
    // "" when vsftpd can run here, else why not.
    static std::string Unavailable();

    explicit TestVsftpd(VsftpdOptions options = {});
    ~TestVsftpd();
    TestVsftpd(const TestVsftpd&) = delete;
    TestVsftpd& operator=(const TestVsftpd&) = delete;

    std::string hostWithPort() const { return "127.0.0.1:" + std::to_string(port_); }
    // The server directory "/home" on the local disk.
    std::string home() const { return root_ + "/home"; }
    // Hands every file under home() to the server's user (call after writing there).
    void GiveHomeToServer() const;
    // Restarts the server with a new key pair (same port).
    void ReplaceKey();
    // Every command received, one per line ("USER anonymous", "PASS <password>", ...).
    std::string commandLog() const;
    int countCommands(const std::string& verb) const { return CountCommandLines(commandLog(), verb); }

    static constexpr const char* kUser = "anonymous";
    static constexpr const char* kPassword = "secret@example.org";

  private:
    void MakeKey();
    void Start();
    void Stop();

    VsftpdOptions options_;
    std::string work_;
    std::string root_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace kestrum::test
