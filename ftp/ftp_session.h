#pragma once
// An FTP connection on the layer's own engine: one control connection and
// one login, commands with absolute
// paths, the current directory and the transfer type kept by the session
// (TYPE sent only when it changes), data connections as ftp_data.h sets
// them up.
//
// TLS (explicit: AUTH TLS right after the greeting; implicit: from the first
// byte, port 990 unless another is given) is required on the control and on
// every data connection: AUTH TLS refused, or PROT P refused after the login,
// ends the connection before anything more is sent. A refused certificate
// throws FtpCertificateError before the user name is sent. Through an HTTP
// proxy the control connection and every data connection are tunnels of
// their own (TLS inside them), always passive.
//
// Waits: a connect 180 s (with connectOptions, and two more tries when it
// fails; 300 s and one try without), each reply 60 s, a data connection
// that moves nothing 60 s. Every wait also ends at a cancel as
// ftp_client.h describes it.
//
// Errors: a refusal returns false (or a listing status) with LastError()
// giving that command's reply. Anything else (a broken, timed-out or
// cancelled connection, a 421, a reply that cannot be read, a server that
// offers no data connection) drops the connection without QUIT and throws
// FtpError; every later operation throws it again. A server that ended the
// session (421, or a close) before an operation sent anything, or during a
// lookup, listing, SIZE or MDTM with no rename in flight, is logged into
// again, and the operation done once more.

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ftp/ftp_client.h"
#include "ftp/ftp_control.h"
#include "ftp/ftp_data.h"
#include "ftp/ftp_shared.h"
#include "ftp/ftp_socket.h"
#include "ftp/ftp_tls.h"
#include "ftp/ftp_tls_stream.h"

namespace kestrum {

class FtpSession final : public FtpConnection, private LookupSteps {
  public:
    // Checks the parameters; throws FtpError for a bad host, credentials or
    // proxy name.
    explicit FtpSession(const FtpConnectParams& params);
    ~FtpSession() override;

    // Connects and logs in; throws FtpError when unreachable or refused.
    void Login();

    bool SetCurrentDirectory(const std::string& path) override;
    std::string CurrentDirectory() const override { return cwd_; }
    bool CreateDirectory(const std::string& path) override;
    void CreateDirectorySoon(const std::string& path) override;
    bool RemoveDirectory(const std::string& path) override;
    bool Remove(const std::string& path) override;
    bool PutFile(const std::string& localPath, const std::string& serverPath, TransferType type,
                 UploadCount* sent = nullptr) override;
    bool Rename(const std::string& from, const std::string& to) override;
    bool SetMode(const std::string& path, int mode) override;
    bool KeepAlive() override;
    void RenameSoon(const std::string& from, const std::string& to, int mode) override;
    void StoredSoon(const std::string& path) override;
    std::vector<StoredCheck> TakeChecked() override;
    void SendHeld() override;
    std::vector<std::string> WithdrawHeld() override;
    bool GetFile(const std::string& serverPath, const std::string& localPath, TransferType type,
                 int64_t listedSize = -1) override;
    FtpListing List(const std::string& directory) override;
    FtpListing Lookup(const std::string& path) override;
    FtpListing Stored(const std::string& path) override;
    std::optional<int64_t> ModificationTime(const std::string& path) override;
    std::optional<int64_t> Size(const std::string& path) override;
    bool ListsToTheSecond() const override { return useMlst_; }
    std::string LastError() const override { return lastError_; }
    void Close() override;
    void Leave() override;

  private:
    using Clock = std::chrono::steady_clock;
    // What moves the bytes of a data command; may throw StreamError.
    using Mover = std::function<void(ByteStream& data, DataLink& link)>;

    void ListInto(const std::string& dir, FtpListing& listing, const std::string* listName) override;
    MlstAnswer Mlst(const std::string& absPath) override;

    // A connection to host's port, through the proxy's tunnel when there is one.
    std::unique_ptr<PlainStream> ConnectRoute(const std::string& host, int port, const Wait& wait);
    // Whether the server sent nothing for a few seconds and its port speaks TLS at once.
    bool ImplicitTlsAtPort();
    // Makes the control connection TLS; the channel starts anew over it.
    void StartTls(const Wait& wait);
    [[noreturn]] void CertificateRefused(const TlsCertificateRefused& refused);
    bool Rejected(const std::string& path);
    std::string Resolve(const std::string& path) const;
    bool CancelSeen();
    bool MustAbort();
    Wait ReplyWait();
    Wait StallWait();
    void EnsureUsable();
    void Drop(const std::string& why);
    template <typename Operation>
    auto Guarded(Operation operation, bool repeatable = false);
    // A directory to make, a check of a stored file, or a rename (and mode),
    // held back: a directory or a check goes out with the next command, a
    // rename only with the next store (a lookup or a stamp in between does
    // not rename a copy that a cancel may still withdraw).
    struct Held {
        enum class Kind { Rename, Mlst, SizeAndTime, Mkd } kind = Kind::Rename;
        RenameOutcome outcome;       // a check's or a directory's path in outcome.from
        std::string source, target;  // absolute; a check's or a directory's in source
    };

    // Writes the held checks, with renames the held renames, and commands in one write.
    void Post(const std::vector<std::string>& commands, bool renames = false);
    // Reads the replies of the checks and renames posted, into checked_ and renamed_.
    void ReadAhead();
    // The next final reply of the oldest command waiting; opening gets the
    // first line of a preliminary reply read on the way.
    Reply FinalReply(std::string* opening = nullptr);
    // One command without data, posted after the renames held back; its final reply.
    Reply Ask(const std::string& command);
    // Ask; a reply other than 2xx is kept as the last error.
    Reply Command(const std::string& command);
    // Several commands without data in one write; their final replies.
    std::vector<Reply> AskMany(const std::vector<std::string>& commands);
    // During a data transfer: reads the replies that have arrived; true when
    // the data command's final reply is a refusal, which ends the transfer.
    bool EarlyAnswer();
    // A stored dot file's size and time by SIZE and MDTM, on a server whose
    // listings may hide it.
    FtpListing SizeAndTime(const std::string& absPath);
    // The entry of absPath from the replies to SIZE and (when sent) MDTM.
    FtpListing SizedEntry(const std::string& absPath, const Reply& size, const Reply* time);
    bool Simple(const std::string& verb, const std::string& path);
    bool EnsureType(TransferType type);
    // A new connection and login after the server ended the session; the
    // current directory stays the one the user set.
    void LogInAgain();
    // Runs a data command: the final reply (a refusal before any data too);
    // opening gets the transfer's opening reply, commandSent whether it went out.
    // With renames, the renames held back go out ahead of it (a store).
    Reply Transfer(const std::string& command, const Mover& move, std::string& opening, bool& commandSent,
                   bool renames = false);
    bool SizeAsExpected(const std::string& opening, int64_t listedSize, int64_t received);
    // What a new control channel traces to: the run's trace, under this
    // connection's number (none without a trace).
    ControlChannel::Trace Tracer() const;
    // A note in the trace about the connection; EndTrace's is its last.
    void TraceNote(const std::string& text);
    void EndTrace(const std::string& text);

    FtpConnectParams params_;
    std::string host_;
    int port_ = 21;
    bool useProxy_ = false;
    std::string proxyHost_;
    int proxyPort_ = 1080;
    std::unique_ptr<TlsPeerCheck> check_;  // outlives tls_ and every stream
    std::shared_ptr<TlsClient> tls_;       // set: TLS on every connection
    DataRoute route_;
    std::unique_ptr<ByteStream> stream_;
    std::unique_ptr<ControlChannel> channel_;
    DataModes modes_;
    bool useMlst_ = false;
    bool offersMdtm_ = false;
    std::string cwd_ = "/";
    std::optional<std::string> serverDir_;  // the directory the server is in, when known
    std::optional<TransferType> type_;      // the last TYPE the server accepted
    std::vector<Held> held_;                // not sent yet
    std::deque<Held> posted_;               // sent, their replies not read
    std::vector<size_t> relook_;            // the checks in checked_ that SIZE did not answer: looked up when taken
    // A data connection worked (on this or a sibling connection): the next
    // is asked for with its command.
    std::shared_ptr<std::atomic<bool>> dataProven_;
    // While a data command's data moves: its replies read so far.
    bool watchReplies_ = false;
    std::string opening_;
    std::optional<Reply> early_;
    std::string lastError_;
    std::string step_;  // what the operation in flight is doing, for an error's text
    bool loggingIn_ = false;
    bool closed_ = false;
    bool quitReplyWanted_ = true;
    int traceNumber_ = 0;                 // the control connection's number in the trace; 0 none
    std::optional<std::string> dropped_;  // why the connection was dropped
    // Set when a cancel was first seen: the end of its grace.
    std::optional<Clock::time_point> cancelDeadline_;
};

}  // namespace kestrum
