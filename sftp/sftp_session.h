#pragma once
// A connection to an SFTP server: SSH through libssh (the transport, the
// server's host key, the login), and SFTP version 3 spoken by this class on
// the "sftp" subsystem channel, so that requests can be pipelined.
//
// Host keys: a key pinned in the parameters (sshHostKey, "SHA256:..." as
// ssh-keygen -l prints it) must match; without one, a key the user's
// ~/.ssh/known_hosts lists for that host and port is trusted; anything else
// throws FtpCertificateError (Unknown or KeyChanged) carrying the key, before
// any secret is sent. known_hosts is never written.
//
// Login, in this order, each where the server offers it: the private key
// file (sshKeyFile, with the password as its passphrase), the user's ssh
// agent, the password, keyboard-interactive with one prompt answered by the
// password.
//
// Paths are server paths with "/"; times are the server's, UTC, whole
// seconds (a listing to the second). Errors as FtpConnection says: a refusal
// returns false or a listing status with LastError() giving the server's
// message; a broken connection throws FtpError and every later call throws it.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftp_client.h"
#include "ftp/ftp_tunnel.h"
#include "sftp/sftp_packets.h"

struct ssh_session_struct;
struct ssh_channel_struct;

namespace kestrum {

class SftpSession final : public FtpConnection {
  public:
    // Checks the parameters; throws FtpError for a bad host.
    explicit SftpSession(const FtpConnectParams& params);
    ~SftpSession() override;

    // Connects, checks the host key and logs in; throws FtpError.
    void Login();

    bool SetCurrentDirectory(const std::string& path) override;
    std::string CurrentDirectory() const override { return cwd_; }
    bool CreateDirectory(const std::string& path) override;
    bool RemoveDirectory(const std::string& path) override;
    bool Remove(const std::string& path) override;
    bool PutFile(const std::string& localPath, const std::string& serverPath, TransferType type,
                 UploadCount* sent = nullptr) override;
    bool Rename(const std::string& from, const std::string& to) override;
    bool SetMode(const std::string& path, int mode) override;
    bool KeepAlive() override;
    void CreateDirectorySoon(const std::string& path) override;
    void RenameSoon(const std::string& from, const std::string& to, int mode) override;
    void StoredSoon(const std::string& path) override;
    void OpenSoon(const std::string& serverPath) override;
    void SendHeld() override;
    std::vector<std::string> WithdrawHeld() override;
    bool GetFile(const std::string& serverPath, const std::string& localPath, TransferType type,
                 int64_t listedSize = -1) override;
    FtpListing List(const std::string& directory) override;
    FtpListing Lookup(const std::string& path) override;
    std::optional<int64_t> ModificationTime(const std::string& path) override;
    std::optional<int64_t> Size(const std::string& path) override;
    bool ListsToTheSecond() const override { return true; }
    std::string LastError() const override { return lastError_; }
    void Close() override;

  private:
    void CheckHostKey();
    void Authenticate();
    void OpenSftp();
    // A request with the next id.
    sftp::Writer Request(sftp::Type type) { return sftp::Writer(type, nextId_++); }
    // Sends a request, after the held directories and checks (and, with
    // renames, the held renames) in the same write; its id.
    uint32_t Send(const sftp::Writer& request, bool renames = false);
    // The held requests' packets, in order, and moves them to posted_.
    std::string PostHeld(bool renames);
    // Reads the replies of everything posted, into checked_ and renamed_.
    void ReadAhead();
    // Sends a request and waits for its reply.
    sftp::Reply Ask(const sftp::Writer& request) { return Await(Send(request)); }
    // The reply to request id (other replies read meanwhile are kept).
    sftp::Reply Await(uint32_t id);
    // Reads one packet body from the channel; throws FtpError when the channel breaks.
    std::string ReadPacket();
    void WriteAll(const std::string& bytes);
    // A line of params_.trace: a packet sent or received, or a note ('*').
    void Trace(char marker, const std::string& line);
    using Clock = std::chrono::steady_clock;
    // Waits up to one slice for the socket; a cancel or the deadline drops the connection.
    void WaitForServer(Clock::time_point deadline);
    // Repeats a libssh step while it answers again (the session is
    // non-blocking), waiting for the socket between; returns its last answer.
    template <typename Step>
    int Pump(Step step, int again);
    template <typename Step>
    int PumpAuth(Step step);
    // A STATUS reply: true when OK; else the message becomes the last error.
    bool StatusOk(const sftp::Reply& reply);
    // Runs an operation; a broken connection throws FtpError (and drops it).
    template <typename Operation>
    auto Guarded(Operation operation);
    [[noreturn]] void Drop(const std::string& why);
    // Frees the channel and the SSH session; politely: with the channel's EOF and close first.
    void Release(bool politely);
    void EnsureUsable() const;
    bool Rejected(const std::string& path);
    std::string Resolve(const std::string& path) const;
    bool CancelSeen() const;
    // STAT of an absolute path.
    sftp::Reply StatOf(const std::string& absPath);
    FtpEntry EntryOf(const std::string& name, const sftp::Attributes& attributes) const;
    // What a STAT of absPath found, as Lookup gives it (any reply but ATTRS: Missing or Failed).
    FtpListing Found(const std::string& absPath, const sftp::Reply& reply);
    bool CloseHandle(const std::string& handle);
    bool Simple(sftp::Type type, const std::string& path);

    FtpConnectParams params_;
    std::string host_;
    int port_ = 22;
    std::optional<ProxyAddress> proxy_;  // HTTP CONNECT through it when set
    ssh_session_struct* ssh_ = nullptr;
    ssh_channel_struct* channel_ = nullptr;
    std::string arrived_;  // channel bytes not yet a whole packet
    std::map<uint32_t, sftp::Reply> early_;
    // A directory to make, a check of a stored file (STAT), or a rename (and
    // mode) held back: a directory or a check goes out with the next request,
    // a rename only with the next upload's OPEN or SendHeld (a lookup in
    // between does not rename a copy that a cancel may still withdraw).
    struct Held {
        enum class Kind { Rename, Check, Mkdir } kind = Kind::Rename;
        RenameOutcome outcome;       // a check's or a directory's path in outcome.from
        std::string source, target;  // absolute
        std::vector<uint32_t> ids;   // once posted: SETSTAT (with a mode), then the request
    };
    std::vector<Held> held_;
    std::deque<Held> posted_;
    // OpenSoon's path, opened with the next upload's data, and so opened.
    std::optional<std::string> announced_;
    struct Opened {
        std::string path;  // absolute
        uint32_t id = 0;   // its OPEN
    };
    std::optional<Opened> preopened_;
    // An OPEN that creates or truncates absPath for writing.
    sftp::Writer OpenForWriting(const std::string& absPath);
    // Closes and removes a file opened ahead and not used.
    void DiscardPreopened();
    uint32_t nextId_ = 1;
    bool posixRename_ = false;
    std::string cwd_ = "/";
    std::string lastError_;
    std::optional<std::string> dropped_;
    int traceNumber_ = 0;  // this connection's number in params_.trace; 0: none
    bool closed_ = false;
};

// The factory of SFTP connections.
std::unique_ptr<FtpClientFactory> MakeSftpFactory();

// FTP or SFTP by the parameters' security (FtpSecurity::Sftp: SFTP).
std::unique_ptr<FtpClientFactory> MakeTransportFactory();

}  // namespace kestrum
