#pragma once
// A real SSH server for SFTP tests: OpenSSH's sshd on 127.0.0.1 and a free
// port, its configuration, host key, authorized keys and log in a temporary
// directory. One system account (kUser) logs in with kPassword (password or
// keyboard-interactive) or with a key from MakeClientKey(); it gets only the
// built-in SFTP server, without chroot. sshd must run as root; Unavailable()
// says whether this machine can.

#include <sys/types.h>

#include <string>

#include "tests/support/ftp_server.h"

namespace kestrum::test {

class TestSshd {
  public:
    // "" when sshd can run here and the test account exists (it is created
    // when missing), else why not.
    static std::string Unavailable();

    TestSshd();
    ~TestSshd();
    TestSshd(const TestSshd&) = delete;
    TestSshd& operator=(const TestSshd&) = delete;

    int port() const { return port_; }
    std::string hostWithPort() const { return "127.0.0.1:" + std::to_string(port_); }
    // A directory owned and writable by kUser; its path is the same on the server.
    std::string home() const { return dir_ / "home"; }
    // "SHA256:..." of the current host key, as ssh-keygen -l prints it.
    const std::string& hostKeyFingerprint() const { return fingerprint_; }
    // The host key as a known_hosts line ("[127.0.0.1]:<port> ssh-ed25519 AAAA...").
    std::string knownHostsLine() const;
    // The server and every session stop answering (their processes are
    // stopped), as a server or link that hangs; the system still accepts
    // new connections, which then get no greeting.
    void Stall();
    // Restarts the server with a new host key (same port).
    void ReplaceHostKey();
    // A new ed25519 key pair (passphrase may be empty) that kUser accepts;
    // returns the private key's path.
    std::string MakeClientKey(const std::string& passphrase);
    // What sshd logged so far (LogLevel VERBOSE).
    std::string log() const;

    static constexpr const char* kUser = "kestrum-sftp";
    static constexpr const char* kPassword = "Kestrum-sftp-7";

  private:
    void MakeHostKey();
    void Start();
    void Stop();

    TempDir dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    int clientKeys_ = 0;
    std::string fingerprint_;
};

}  // namespace kestrum::test
