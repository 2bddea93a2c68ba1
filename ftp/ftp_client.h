#pragma once
// The FTP layer: one control connection and one login per run, a current
// directory kept by the layer, one listing at a time. Operations that the
// server refuses return false (or a listing status); a broken connection, a
// time-out or a refused login throws FtpError carrying the error text.
//
// A cancel (the flag given in FtpConnectParams) aborts a connect or a login at
// once. Other operations get a second of grace from the moment the connection
// sees the flag, so that what is nearly done (a small copy, its time stamp, the
// clock probe's clean-up) still finishes. After the grace, the operation in
// flight is aborted, the control connection dropped without QUIT, and every
// further operation throws FtpError at once: a cancelled run never logs in again.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrum {

class ProtocolTrace;

enum class TransferType { Ascii = 1, Binary = 2 };

class FtpError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The certificate a TLS server presented, as a user compares it.
struct ServerCertificate {
    std::string subject;  // the distinguished names, UTF-8 converted to the code page
    std::string issuer;
    std::string notBefore;  // "YYYY-MM-DD HH:MM UTC"
    std::string notAfter;
    std::string keyPin;       // "sha256//" + base64 of the SHA-256 of its public key (DER)
    std::string fingerprint;  // the same digest in hex, bytes separated by ":"
    // Why the system's trust store or the host name did not vouch for it; ""
    // when they did.
    std::string problem;
    // An SSH host key, not a certificate: subject is the key's type and keyPin
    // (and fingerprint) its "SHA256:" fingerprint as ssh-keygen -l prints it.
    bool hostKey = false;
};

// The handshake stopped at the server's certificate, before any command was
// sent under TLS (so before the user name and the password).
class FtpCertificateError : public FtpError {
  public:
    enum class Kind {
        Untrusted,   // neither the trust store nor a pinned key vouches for it
        KeyChanged,  // a pinned key is stored and the server presented another
        Fetched,     // only fetched, as FtpConnectParams::fetchCertificateOnly asked
    };
    FtpCertificateError(Kind kind, ServerCertificate certificate, const std::string& text)
        : FtpError(text), kind_(kind), certificate_(std::move(certificate)) {}
    Kind kind() const { return kind_; }
    const ServerCertificate& certificate() const { return certificate_; }

  private:
    Kind kind_;
    ServerCertificate certificate_;
};

// How the control and data connections are protected.
enum class FtpSecurity {
    Plain = 0,     // no TLS
    Explicit = 1,  // AUTH TLS on the normal port; TLS required on control and data
    Implicit = 2,  // TLS from the first byte (port 990 unless another is given)
    Sftp = 3,      // not FTP: SFTP over SSH (port 22 unless another is given)
};

// The time of an entry whose listing gave none that can be read (a missing or
// impossible MLSD modify fact): such a time is never compared or copied.
inline constexpr int64_t kUnknownServerTime = INT64_MIN;

// How finely a listing gives an entry's time: MLSD to the second, LIST to the
// minute, and LIST only to the day (a date with a year) for older entries.
enum class TimePrecision { Second, Minute, Day };

struct FtpEntry {
    std::string name;  // last path component as listed; never holds "/", "\" or NUL, never "." or ".."
    bool isDirectory = false;
    bool hidden = false;        // the name begins with "."
    int64_t size = -1;          // -1 when not listed
    int64_t lastWriteTime = 0;  // whole seconds since the epoch, or kUnknownServerTime
    TimePrecision precision = TimePrecision::Second;
    int mode = -1;        // permission bits (07777 at most) as listed; -1 not listed
    bool byMdtm = false;  // the time is MDTM's, on the clock the server gives MDTM times by
};

enum class ListStatus {
    Ok,       // listed (possibly with no entries)
    Missing,  // the server says there is no such file or directory
    Failed,   // any other refusal: the path's state is unknown
};

struct FtpListing {
    ListStatus status = ListStatus::Failed;
    std::vector<FtpEntry> entries;
    std::vector<std::string> rejectedNames;  // hostile names dropped from the listing
    // LIST lines that no parser understood: an entry may hide behind each, so
    // the directory's contents are not fully known.
    std::vector<std::string> unparsedLines;
    std::string error;  // the server's reply when not Ok
};

// The temporary files of the downloads in progress, shared by a run and its
// connections, so that a run ended at once can still remove them.
class PartialDownloads {
  public:
    // Creates path as open(2) with O_CREAT | O_EXCL and records it; -1 with
    // errno set on failure, ECANCELED once RemoveAll has run.
    int Create(const std::string& path);
    // Forgets path (renamed over its target, or removed by its download).
    void Forget(const std::string& path);
    // Removes every recorded file, and refuses to create any more.
    void RemoveAll();

  private:
    std::mutex mutex_;
    std::vector<std::string> paths_;
    bool closed_ = false;
};

struct FtpConnectParams {
    std::string host;  // "host", "host:port" or "[v6]:port"
    std::string user;
    std::string password;
    uint16_t port = 0;   // 0: the standard port (or the one carried by host)
    int accessType = 1;  // 1 direct, 3 through proxyName
    std::string proxyName;
    bool connectOptions = true;  // connect time-out 180 s, 2 retries, no back-off
    bool passive = false;
    FtpSecurity security = FtpSecurity::Plain;
    // With TLS: empty to verify the server's certificate against the system's
    // trust store and the host name; else the only public key accepted, in
    // the form of ServerCertificate::keyPin.
    std::string pinnedKey;
    // With TLS: stop at the server's certificate and throw it as
    // FtpCertificateError of kind Fetched; nothing is sent under TLS.
    bool fetchCertificateOnly = false;
    const std::atomic<int>* cancel = nullptr;  // the run's cancel flag, when it may be cancelled
    // Set when the connection is no longer wanted: a connect or login still
    // under way is given up at once (FtpError); nothing else changes.
    const std::atomic<int>* abandonLogin = nullptr;
    PartialDownloads* partials = nullptr;  // where downloads record their temporary files
    // Where every control connection made with these parameters writes its
    // commands and replies (protocol_trace.h); the own engine only.
    std::shared_ptr<ProtocolTrace> trace;
    // Shared by the connections made with these parameters: set once a
    // passive data connection to the server worked, so that each later one
    // is asked for with its data command (none when not shared).
    std::shared_ptr<std::atomic<bool>> passiveWorks;
    // SFTP: a private key file to log in with (the password is its passphrase).
    std::string sshKeyFile;
};

// What an upload read from its local file.
struct UploadCount {
    int64_t bytes = 0;      // the file's bytes, less the CR of each CR LF in text mode
    int64_t lineFeeds = 0;  // text mode: the LFs among them, each sent as CR LF
};

// What became of a rename sent ahead of later commands (RenameSoon).
struct RenameOutcome {
    std::string from, to;
    bool renamed = false;
    bool sourceRefused = false;  // RNFR refused: nothing was at from, or it may not be renamed
    std::string error;           // the server's reply when not renamed
    int mode = -1;               // the mode asked for first; -1 none
    bool modeSet = false;
};

// What the check of a stored file found (StoredSoon).
struct StoredCheck {
    std::string path;
    FtpListing found;
};

class FtpConnection {
  public:
    virtual ~FtpConnection() = default;

    // Paths are server paths with "/": absolute, or relative to the current directory.
    virtual bool SetCurrentDirectory(const std::string& path) = 0;
    virtual std::string CurrentDirectory() const = 0;
    virtual bool CreateDirectory(const std::string& path) = 0;
    // CreateDirectory held back to go out with the next command, its outcome
    // not looked at: a directory that could not be made shows when something
    // is put in it. This base class makes it at once.
    virtual void CreateDirectorySoon(const std::string& path) { static_cast<void>(CreateDirectory(path)); }
    virtual bool RemoveDirectory(const std::string& path) = 0;
    virtual bool Remove(const std::string& path) = 0;
    // Cut short by a cancel: false, LastError() saying that the server may
    // keep a partial file. With sent, says what went out (also on failure).
    virtual bool PutFile(const std::string& localPath, const std::string& serverPath, TransferType type,
                         UploadCount* sent = nullptr) = 0;
    // RNFR from, RNTO to: true when the server confirmed the rename.
    virtual bool Rename(const std::string& from, const std::string& to) = 0;
    // SITE CHMOD with mode in octal: true when the server confirmed it.
    virtual bool SetMode(const std::string& path, int mode) = 0;
    // SITE CHMOD (mode >= 0) and the rename from -> to, held back to go out
    // with the next store so that they take no round trip of their own. The
    // outcomes come in order from TakeRenamed once their replies are read. A
    // broken connection throws as any operation, and the outcome of a rename
    // whose replies were not read is not known. This base class does it at once.
    virtual void RenameSoon(const std::string& from, const std::string& to, int mode);
    std::vector<RenameOutcome> TakeRenamed() { return std::exchange(renamed_, {}); }
    // Stored(path), held back in the same way; the entries come in order from
    // TakeChecked. This base class looks at once.
    virtual void StoredSoon(const std::string& path);
    virtual std::vector<StoredCheck> TakeChecked() { return std::exchange(checked_, {}); }
    // The next PutFile will likely store to serverPath: a connection may open
    // it ahead, with the current upload's data. Such a file left unused is
    // removed by the connection (by the caller after WithdrawHeld).
    virtual void OpenSoon(const std::string& /*serverPath*/) {}
    // Sends everything still held back and reads the replies.
    virtual void SendHeld() {}
    // The paths of the checks and renames held back and not sent yet, which
    // are then never sent: a cancelled run leaves those copies under their
    // temporary names.
    virtual std::vector<std::string> WithdrawHeld() { return {}; }
    // Written to a temporary file beside localPath, renamed over it only when
    // complete: a binary download must bring the size its opening reply
    // announces or, when that gives none, listedSize (-1: not known).
    virtual bool GetFile(const std::string& serverPath, const std::string& localPath, TransferType type,
                         int64_t listedSize = -1) = 0;
    // The contents of a directory ("" for the current one).
    virtual FtpListing List(const std::string& directory) = 0;
    // The path's own entry: Ok with exactly one entry, Missing, or Failed.
    // Failed too when the name is not listed but its directory's listing has
    // unparsed lines (they are passed on).
    virtual FtpListing Lookup(const std::string& path) = 0;
    // Lookup of a file just stored, before the next store: a server that
    // hides dot names from its listings may still give such a file's size
    // and time (an entry without a mode).
    virtual FtpListing Stored(const std::string& path) { return Lookup(path); }
    // A file's modification time by MDTM, as the server's clock gives it (whole
    // seconds); nothing when the server does not offer MDTM or refuses it here.
    virtual std::optional<int64_t> ModificationTime(const std::string& /*path*/) { return std::nullopt; }
    // A file's size by SIZE (in the current transfer type); nothing when the
    // server does not answer it.
    virtual std::optional<int64_t> Size(const std::string& /*path*/) { return std::nullopt; }
    // Whether listings give times to the second (MLSD), so that one listing
    // answers for every file of a directory as a lookup of each would.
    virtual bool ListsToTheSecond() const { return false; }
    // The text of the last failure (libcurl's message and the server's last reply).
    virtual std::string LastError() const = 0;
    // Closing twice is harmless.
    virtual void Close() = 0;
    // Tells the server the connection is in use, so that its idle time-out
    // does not close it (FTP: NOOP; SFTP: a look at the current directory).
    // A connection the server closed meanwhile is logged in again where the
    // connection can (FTP); else it throws FtpError as any operation does.
    virtual bool KeepAlive() { return Lookup(CurrentDirectory()).status == ListStatus::Ok; }
    // Close, without waiting for QUIT's reply: for one of a run's several
    // connections, whose end nothing waits on.
    virtual void Leave() { Close(); }

  protected:
    std::vector<RenameOutcome> renamed_;  // read, not yet taken
    std::vector<StoredCheck> checked_;    // read, not yet taken
};

class FtpClientFactory {
  public:
    virtual ~FtpClientFactory() = default;
    // Connects and logs in; throws FtpError when unreachable or refused.
    virtual std::unique_ptr<FtpConnection> Connect(const FtpConnectParams& params) = 0;
};

// The factory the program uses: the layer's own engine (ftp_session.h).
// The program ignores SIGPIPE.
std::unique_ptr<FtpClientFactory> MakeFtpFactory();

// Whether text holds CR, LF or NUL (never sent to a server).
bool HasLineBreakOrNul(const std::string& text);

// Whether name has exactly the form of a download's temporary file,
// ".kestrum-<pid>-<n>.part".
bool IsDownloadTempName(std::string_view name);
// A new name for an upload's temporary file on the server,
// ".kestrum-upload-" and 16 hex digits, and whether name has that form.
std::string UploadTempName();
bool IsUploadTempName(std::string_view name);

// Removes path when it is a download's temporary file (a regular file, by its
// name) whose process is no longer alive; anything else stays. True when removed.
bool RemoveLeftoverDownload(const std::string& path);

}  // namespace kestrum
