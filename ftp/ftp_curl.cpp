// The FTP layer over one libcurl easy handle.
//
// Every operation resets the handle and sets its options again; the control
// connection stays in the handle's cache, so a run logs in once. URLs are
// absolute ("ftp://host:port/%2F<path>") and libcurl enters directories with
// one CWD each (SINGLECWD), skipping it when the directory is the one it is
// already in; only a change into that very directory is sent as a QUOTE CWD.
// Single commands (FEAT, MKD, RMD, DELE, MLST, MDTM) go as QUOTE commands with the
// "*" prefix, so that a refusal leaves the connection alone, and their replies
// are read from the control-connection transcript.
//
// On a plain, direct, passive connection, binary copies, MLSD listings and
// single commands are sent by the layer itself on libcurl's idle control
// connection (ftp_direct.h): absolute paths, no CWD, and TYPE only while
// libcurl has sent none, so that what libcurl believes of the connection
// stays true. Before each operation an idle connection that the server closed
// (a 421 after its idle time-out) is replaced by a new login.

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string_view>

#include "ftp/ftp_client.h"
#include "ftp/ftp_direct.h"
#include "ftp/ftp_listing.h"
#include "ftp/ftp_paths.h"
#include "ftp/ftp_shared.h"
#include "ftp/ftp_tls.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

constexpr long kConnectTimeoutSeconds = 180;
constexpr int kConnectRetries = 2;
constexpr long kServerResponseTimeoutSeconds = 60;
// A transfer slower than 1 byte/s for a minute has stalled.
constexpr long kLowSpeedLimit = 1;
constexpr long kLowSpeedTimeSeconds = 60;
// How long operations may go on after a cancel, and how often it is looked for.
constexpr std::chrono::milliseconds kCancelGrace{1000};
constexpr int kCancelPollMs = 100;

constexpr int kIdLocalUnreadable = msg::kLocalFileUnreadable;
constexpr int kIdBadHost = msg::kBadHostName;
constexpr int kIdBadCredentials = msg::kCredentialsHaveLineBreak;
constexpr int kIdNoProxyName = msg::kNoProxyName;
constexpr int kIdClosed = msg::kConnectionClosed;
constexpr int kIdBadServerPath = msg::kServerPathBlocked;
constexpr int kIdSizeMismatch = msg::kDownloadSizeMismatch;
constexpr int kIdUploadCut = msg::kUploadCutByCancel;
constexpr int kIdTlsNotOffered = msg::kTlsNotOffered;
constexpr int kIdCertificateRefused = msg::kTlsCertificateRefused;

// Refusals of a single operation: the connection is still usable.
bool IsRefusal(CURLcode code) {
    switch (code) {
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_UPLOAD_FAILED:
        case CURLE_REMOTE_FILE_NOT_FOUND:
        case CURLE_FTP_COULDNT_RETR_FILE:
        case CURLE_QUOTE_ERROR:
        case CURLE_REMOTE_DISK_FULL:
        case CURLE_REMOTE_FILE_EXISTS:
        case CURLE_FTP_COULDNT_SET_TYPE:
        case CURLE_READ_ERROR:
        case CURLE_WRITE_ERROR:
            return true;
        default:
            return false;
    }
}

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

size_t DiscardData(char*, size_t size, size_t count, void*) {
    return size * count;
}

size_t AppendToString(char* data, size_t size, size_t count, void* userp) {
    static_cast<std::string*>(userp)->append(data, size * count);
    return size * count;
}

// A download's destination and the bytes written to it.
struct DownloadSink {
    FILE* file = nullptr;
    int64_t received = 0;
    int error = 0;  // errno of a write that failed
};

size_t WriteToFile(char* data, size_t size, size_t count, void* userp) {
    auto* sink = static_cast<DownloadSink*>(userp);
    const size_t written = std::fwrite(data, 1, size * count, sink->file);
    sink->received += static_cast<int64_t>(written);
    if (written < size * count) {
        sink->error = errno;
    }
    return written;
}

// Reads the local file for an upload; in ASCII mode libcurl turns every LF
// into CR LF, which TextUploadReader allows for.
struct UploadSource {
    FILE* file = nullptr;
    bool ascii = false;
    std::optional<TextUploadReader> text;  // text mode; a binary upload's count is the file's position

    static size_t Read(char* out, size_t size, size_t count, void* userp) {
        auto* self = static_cast<UploadSource*>(userp);
        size_t room = size * count;
        if (!self->ascii) {
            size_t n = std::fread(out, 1, room, self->file);
            if (n == 0 && std::ferror(self->file)) {
                return CURL_READFUNC_ABORT;
            }
            return n;
        }
        const long n = self->text->Read(out, room);
        return n < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(n);
    }
};

class CurlFtpConnection : public FtpConnection, private LookupSteps {
  public:
    explicit CurlFtpConnection(const FtpConnectParams& params) : params_(params) {
        if (HasLineBreakOrNul(params.user) || HasLineBreakOrNul(params.password)) {
            throw FtpError(LoadString(kIdBadCredentials));
        }
        auto endpoint = HasLineBreakOrNul(params.host) ? std::nullopt : ParseFtpHost(params.host);
        if (!endpoint) {
            throw FtpError(FormatString(kIdBadHost, {PrintableName(params.host)}));
        }
        useProxy_ = params.accessType == 3;
        if (useProxy_ && (params.proxyName.empty() || HasLineBreakOrNul(params.proxyName))) {
            throw FtpError(LoadString(kIdNoProxyName));
        }
        const bool implicitTls = params.security == FtpSecurity::Implicit;
        int port = endpoint->port;
        if (port == 0) {
            port = useProxy_ && params.port != 0 ? params.port : (implicitTls ? 990 : 21);
        }
        base_ = (implicitTls ? "ftps://" : "ftp://") + endpoint->urlHost + ":" + std::to_string(port);
        if (params.security != FtpSecurity::Plain) {
            std::string host = endpoint->urlHost;
            if (host.size() > 2 && host.front() == '[') {
                host = host.substr(1, host.size() - 2);
            }
            using Mode = TlsPeerCheck::Mode;
            const Mode mode = params.fetchCertificateOnly ? Mode::FetchOnly
                              : params.pinnedKey.empty()  ? Mode::Verify
                                                          : Mode::Pinned;
            tls_ = std::make_unique<TlsPeerCheck>(mode, host, params.pinnedKey);
        }
        // Active mode cannot work through an HTTP tunnel, nor over TLS with
        // this platform's libcurl (7.87 and 7.88 fail every active TLS data
        // connection): such connections are passive.
        passive_ = params.passive || useProxy_ || params.security != FtpSecurity::Plain;
        handle_ = curl_easy_init();
        multi_ = curl_multi_init();
        if (!handle_ || !multi_) {
            Close();
            throw FtpError(curl_easy_strerror(CURLE_FAILED_INIT));
        }
    }

    ~CurlFtpConnection() override { Close(); }

    void Login() {
        // Nothing of a login is worth finishing after a cancel.
        loggingIn_ = true;
        int attempts = params_.connectOptions ? 1 + kConnectRetries : 1;
        for (int attempt = 1;; ++attempt) {
            Prepare(base_ + "/");
            SetQuote("*FEAT");
            curl_easy_setopt(handle_, CURLOPT_NOBODY, 1L);
            CURLcode code = Run();
            if (code == CURLE_OK) {
                break;
            }
            bool connectFailed = code == CURLE_COULDNT_CONNECT || (code == CURLE_OPERATION_TIMEDOUT && !HeardServer());
            if (connectFailed && attempt < attempts) {
                continue;
            }
            ThrowIfCertificateRefused();
            if (code == CURLE_USE_SSL_FAILED) {
                throw FtpError(LoadString(kIdTlsNotOffered) + " " + ErrorText(code));
            }
            throw FtpError(ErrorText(code));
        }
        loggingIn_ = false;
        Reply feat = ReplyTo("FEAT");
        if (feat.code == 211) {
            for (const auto& line : feat.lines) {
                std::string_view text = line;
                while (!text.empty() && text[0] == ' ') {
                    text.remove_prefix(1);
                }
                if (StartsWithNoCase(text, "MLST")) {
                    useMlst_ = true;
                }
                if (StartsWithNoCase(text, "MDTM")) {
                    offersMdtm_ = true;
                }
            }
        }
        char* entry = nullptr;
        if (curl_easy_getinfo(handle_, CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry && entry[0] == '/') {
            cwd_ = NormaliseServerPath("/", entry);
        }
    }

    bool SetCurrentDirectory(const std::string& path) override {
        if (Rejected(path)) {
            return false;
        }
        std::string dir = Resolve(path);
        Prepare(DirUrl(dir));
        curl_easy_setopt(handle_, CURLOPT_NOBODY, 1L);
        // libcurl sends no CWD for the directory it believes it is in, so then
        // the server is asked directly; the server stays where libcurl thinks.
        bool quoted = !curlDir_ || *curlDir_ == dir;
        if (quoted) {
            SetQuote("*CWD " + dir);
        }
        CURLcode code = Run();
        if (code != CURLE_OK) {
            return Fail(code);
        }
        curlDir_ = dir;
        if (quoted) {
            Reply reply = ReplyTo("CWD");
            if (reply.code / 100 != 2) {
                lastError_ = reply.Text();
                return false;
            }
        }
        cwd_ = dir;
        return true;
    }

    std::string CurrentDirectory() const override { return cwd_; }

    bool CreateDirectory(const std::string& path) override { return Command("MKD", path); }
    bool RemoveDirectory(const std::string& path) override { return Command("RMD", path); }
    bool Remove(const std::string& path) override { return Command("DELE", path); }

    bool Rename(const std::string& from, const std::string& to) override {
        if (Rejected(from) || Rejected(to)) {
            return false;
        }
        const std::string source = Resolve(from);
        const std::string target = Resolve(to);
        if (source == "/" || target == "/") {
            lastError_ = FormatString(kIdBadServerPath, {source == "/" ? from : to});
            return false;
        }
        // Nothing between RNFR and RNTO: the layer sends both at once (one
        // round trip), or libcurl as one quote list (which stops at a refused RNFR).
        if (MayGoDirect()) {
            const DirectResult renamed = DirectRename(Channel(), source, target);
            AfterDirect(renamed);
            if (!renamed.closedBeforeStart) {
                if (renamed.outcome != DirectOutcome::Done) {
                    lastError_ = renamed.text;
                }
                return renamed.outcome == DirectOutcome::Done;
            }
        }
        std::string dir = curlDir_ ? *curlDir_ : cwd_;
        Prepare(DirUrl(dir));
        quote_.reset(
            curl_slist_append(curl_slist_append(nullptr, ("RNFR " + source).c_str()), ("RNTO " + target).c_str()));
        curl_easy_setopt(handle_, CURLOPT_QUOTE, quote_.get());
        curl_easy_setopt(handle_, CURLOPT_NOBODY, 1L);
        const CURLcode code = Run();
        if (code == CURLE_OK) {
            curlDir_ = dir;
            return true;
        }
        Fail(code);  // throws unless the server refused
        const Reply refused = ReplyTo(ReplyTo("RNTO").code != 0 ? "RNTO" : "RNFR");
        if (refused.code != 0) {
            lastError_ = refused.Text();
        }
        return false;
    }

    bool SetMode(const std::string& path, int mode) override {
        if (Rejected(path) || mode < 0 || mode > 07777) {
            return false;
        }
        char octal[8];
        std::snprintf(octal, sizeof octal, "%o", static_cast<unsigned>(mode));
        return Quote("SITE CHMOD " + std::string(octal), Resolve(path)).code / 100 == 2;
    }

    bool PutFile(const std::string& localPath, const std::string& serverPath, TransferType type,
                 UploadCount* sent = nullptr) override {
        if (Rejected(serverPath)) {
            return false;
        }
        std::string target = Resolve(serverPath);
        if (target == "/") {
            lastError_ = FormatString(kIdBadServerPath, {serverPath});
            return false;
        }
        EnsureOpen();
        UploadSource source;
        source.ascii = type == TransferType::Ascii;
        source.file = std::fopen(localPath.c_str(), "rbe");
        if (source.ascii && source.file) {
            source.text.emplace(source.file);
        }
        struct stat st {};
        if (!source.file || fstat(fileno(source.file), &st) != 0 || !S_ISREG(st.st_mode)) {
            int error = source.file ? EISDIR : errno;
            if (source.file) {
                std::fclose(source.file);
            }
            lastError_ = FormatString(kIdLocalUnreadable, {localPath}) + ": " + std::strerror(error);
            return false;
        }
        std::unique_ptr<FILE, int (*)(FILE*)> closer(source.file, std::fclose);
        // What went out, however the upload ends.
        struct Counted {
            UploadSource& source;
            UploadCount* sent;
            ~Counted() {
                if (sent != nullptr) {
                    *sent = source.text ? source.text->count() : UploadCount{};
                    if (!source.ascii) {
                        const long position = std::ftell(source.file);
                        sent->bytes = position > 0 ? position : 0;
                    }
                }
            }
        } counted{source, sent};
        if (std::optional<bool> stored = StoreDirectly(source.file, localPath, target, type)) {
            return *stored;
        }
        Prepare(FileUrl(target));
        curl_easy_setopt(handle_, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(handle_, CURLOPT_READFUNCTION, &UploadSource::Read);
        curl_easy_setopt(handle_, CURLOPT_READDATA, &source);
        // No CURLOPT_INFILESIZE: a local file that shrinks meanwhile would
        // otherwise end as a partial-file error, which reads as a broken connection.
        if (source.ascii) {
            curl_easy_setopt(handle_, CURLOPT_TRANSFERTEXT, 1L);
        }
        CURLcode code = Run();
        if (code == CURLE_ABORTED_BY_CALLBACK && Sent("STOR")) {
            // Reported as this copy's failure: the server may keep a partial
            // file, which looks newer than the local one.
            lastError_ = LoadString(kIdUploadCut);
            return false;
        }
        if (code != CURLE_OK) {
            return Fail(code);
        }
        curlDir_ = ServerParentOf(target);
        return true;
    }

    bool GetFile(const std::string& serverPath, const std::string& localPath, TransferType type,
                 int64_t listedSize = -1) override {
        if (Rejected(serverPath)) {
            return false;
        }
        std::string source = Resolve(serverPath);
        EnsureOpen();
        const std::string target = DownloadTarget(localPath);
        TempDownload temp(params_.partials);
        if (!temp.Create(target, lastError_)) {
            return false;
        }
        DownloadSink sink{temp.file()};
        std::string opening;
        if (std::optional<bool> got = RetrieveDirectly(source, sink, type, opening)) {
            return *got && (type != TransferType::Binary || SizeAsExpected(opening, listedSize, sink)) &&
                   temp.Commit(target, lastError_);
        }
        Prepare(FileUrl(source));
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &WriteToFile);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &sink);
        // libcurl would stop reading at the size a SIZE reply gave and call a
        // longer file complete: everything the server sends is taken, then
        // checked against the size the transfer's opening reply announces.
        curl_easy_setopt(handle_, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        if (type == TransferType::Ascii) {
            curl_easy_setopt(handle_, CURLOPT_TRANSFERTEXT, 1L);
        }
        CURLcode code = Run();
        if (code == CURLE_WRITE_ERROR && sink.error != 0) {
            // libcurl's text does not say why the local file could not be written.
            lastError_ = std::string(curl_easy_strerror(code)) + ": " + std::strerror(sink.error);
            curlDir_.reset();
            return false;
        }
        if (code != CURLE_OK) {
            return Fail(code);
        }
        curlDir_ = ServerParentOf(source);
        // An ASCII transfer changes line ends, so only a binary one must match.
        const Reply reply = ReplyTo("RETR");
        if (type == TransferType::Binary &&
            !SizeAsExpected(reply.lines.empty() ? std::string() : reply.lines.front(), listedSize, sink)) {
            return false;
        }
        return temp.Commit(target, lastError_);
    }

    // Whether a binary download got the size its opening reply announced or,
    // when that announces none, the size the listing gave (if any): a server
    // that ends a cut transfer with a success reply is not believed.
    bool SizeAsExpected(const std::string& opening, int64_t listedSize, const DownloadSink& sink) {
        int64_t expected = AnnouncedSize(opening);
        if (expected < 0)
            expected = listedSize;
        if (expected >= 0 && expected != sink.received) {
            lastError_ = FormatString(kIdSizeMismatch, {std::to_string(expected), std::to_string(sink.received)});
            return false;
        }
        return true;
    }

    FtpListing List(const std::string& directory) override {
        FtpListing listing;
        if (Rejected(directory)) {
            listing.error = lastError_;
            return listing;
        }
        std::string dir = Resolve(directory);
        ListInto(dir, listing);
        return listing;
    }

    FtpListing Lookup(const std::string& path) override {
        if (Rejected(path)) {
            FtpListing refused;
            refused.error = lastError_;
            return refused;
        }
        FtpListing result = LookupEntry(*this, Resolve(path), useMlst_);
        if (result.status != ListStatus::Ok && !result.error.empty()) {
            lastError_ = result.error;
        }
        return result;
    }

    std::optional<int64_t> ModificationTime(const std::string& path) override {
        if (!offersMdtm_ || Rejected(path)) {
            return std::nullopt;
        }
        Reply reply = Quote("MDTM", Resolve(path));
        if (reply.code != 213 || reply.lines.empty()) {
            return std::nullopt;
        }
        // "213 YYYYMMDDHHMMSS[.sss]"
        std::string_view text = reply.lines.back();
        return text.size() > 4 ? ParseTimeVal(text.substr(4)) : std::nullopt;
    }

    std::optional<int64_t> Size(const std::string& path) override {
        if (Rejected(path)) {
            return std::nullopt;
        }
        const Reply reply = Quote("SIZE", Resolve(path));
        return reply.lines.empty() ? std::nullopt : SizeFromReply(reply.code, reply.lines.back());
    }

    bool ListsToTheSecond() const override { return useMlst_; }

    std::string LastError() const override { return lastError_; }

    void Close() override {
        // After a cancel, QUIT is still sent but its reply not waited for: a
        // stalled server would keep the run for the whole response time-out.
        if (multi_ && controlSocket_ != CURL_SOCKET_BAD && CancelSeen()) {
            shutdown(controlSocket_, SHUT_RD);
        }
        controlSocket_ = CURL_SOCKET_BAD;
        if (handle_) {
            curl_easy_cleanup(handle_);
            handle_ = nullptr;
        }
        if (multi_) {
            // Sends QUIT on the open control connection.
            curl_multi_cleanup(multi_);
            multi_ = nullptr;
        }
        quote_.reset();
    }

  private:
    struct Event {
        bool sent;
        std::string line;
    };

    struct Reply {
        int code = 0;
        std::vector<std::string> lines;
        std::string Text() const { return lines.empty() ? std::string() : lines.back(); }
    };

    static int Debug(CURL*, curl_infotype type, char* data, size_t size, void* userp) {
        if (type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT) {
            return 0;
        }
        auto* self = static_cast<CurlFtpConnection*>(userp);
        std::string_view text(data, size);
        while (!text.empty()) {
            size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            self->transcript_.push_back({type == CURLINFO_HEADER_OUT, std::string(line)});
            if (end == std::string_view::npos) {
                break;
            }
            text.remove_prefix(end + 1);
        }
        return 0;
    }

    void EnsureOpen() const {
        if (!handle_) {
            throw FtpError(LoadString(kIdClosed));
        }
    }

    bool Rejected(const std::string& path) {
        if (std::optional<std::string> why = PathRefusal(path)) {
            lastError_ = std::move(*why);
            return true;
        }
        return false;
    }

    std::string Resolve(const std::string& path) const { return NormaliseServerPath(cwd_, path); }

    std::string DirUrl(const std::string& absDir) const {
        // The root is "/%2F" so that it matches the directory part libcurl
        // remembers from a file URL such as "/%2Fname".
        std::string url = base_ + "/%2F";
        if (absDir == "/") {
            return url;
        }
        size_t pos = 1;
        while (pos < absDir.size()) {
            size_t end = absDir.find('/', pos);
            if (end == std::string::npos) {
                end = absDir.size();
            }
            url += EncodeUrlSegment(std::string_view(absDir).substr(pos, end - pos));
            url += '/';
            pos = end + 1;
        }
        return url;
    }

    std::string FileUrl(const std::string& absPath) const {
        std::string parent = ServerParentOf(absPath);
        std::string url = DirUrl(parent);
        return url + EncodeUrlSegment(ServerBaseNameOf(absPath));
    }

    void Prepare(const std::string& url) {
        EnsureOpen();
        curl_easy_reset(handle_);
        quote_.reset();
        CURL* h = handle_;
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "ftp");
        curl_easy_setopt(h, CURLOPT_USERNAME, params_.user.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, params_.password.c_str());
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
        curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &CurlFtpConnection::Debug);
        curl_easy_setopt(h, CURLOPT_DEBUGDATA, this);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &DiscardData);
        curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, kServerResponseTimeoutSeconds);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeSeconds);
        // Uploads sent by the layer itself leave libcurl's connection idle in
        // its eyes; it stays in use as long as the server keeps it.
        curl_easy_setopt(h, CURLOPT_MAXAGE_CONN, 86400L);
        // An aborted name lookup is not waited for.
        curl_easy_setopt(h, CURLOPT_QUICK_EXIT, 1L);
        if (params_.connectOptions) {
            curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
        }
        if (!passive_) {
            curl_easy_setopt(h, CURLOPT_FTPPORT, "-");
        }
        if (tls_) {
            // Never a fall-back to clear text: without TLS on the control and
            // the data connections, nothing is sent. Data connections reuse
            // the control connection's TLS session (libcurl's session cache).
            const bool implicitTls = params_.security == FtpSecurity::Implicit;
            curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, implicitTls ? "ftps" : "ftp");
            curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
            curl_easy_setopt(h, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
            // TLS 1.2: under TLS 1.3 each data connection resumes from a ticket
            // that an earlier data connection may have replaced, and servers
            // that require the control connection's session (vsftpd) then
            // refuse some data connections at random (522).
            curl_easy_setopt(
                h, CURLOPT_SSLVERSION,
                static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
            curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &TlsPeerCheck::OnSslContext);
            curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, tls_.get());
            // The peer check decides in the handshake; libcurl checks again
            // what it can: the trust store and the host name, or the pinned key.
            const bool verify = tls_->mode() == TlsPeerCheck::Mode::Verify;
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
            if (tls_->mode() == TlsPeerCheck::Mode::Pinned) {
                curl_easy_setopt(h, CURLOPT_PINNEDPUBLICKEY, params_.pinnedKey.c_str());
            }
        }
        if (useProxy_) {
            curl_easy_setopt(h, CURLOPT_PROXY, params_.proxyName.c_str());
            curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, 1L);
        } else {
            // Also keeps proxy environment variables out.
            curl_easy_setopt(h, CURLOPT_PROXY, "");
        }
    }

    // The handshake stopped at the server's certificate: thrown with it, so
    // that the caller can show it, ask, or say that the key changed.
    void ThrowIfCertificateRefused() const {
        if (!tls_) {
            return;
        }
        std::optional<ServerCertificate> refused = tls_->Refused();
        if (!refused) {
            return;
        }
        using Kind = FtpCertificateError::Kind;
        const Kind kind = tls_->mode() == TlsPeerCheck::Mode::FetchOnly ? Kind::Fetched
                          : tls_->mode() == TlsPeerCheck::Mode::Pinned  ? Kind::KeyChanged
                                                                        : Kind::Untrusted;
        throw FtpCertificateError(kind, std::move(*refused), LoadString(kIdCertificateRefused));
    }

    void SetQuote(const std::string& command) {
        quote_.reset(curl_slist_append(nullptr, command.c_str()));
        curl_easy_setopt(handle_, CURLOPT_QUOTE, quote_.get());
    }

    // Whether the run's cancel flag is set; the grace starts when it is first seen.
    bool CancelSeen() {
        if (!cancelDeadline_ && params_.cancel != nullptr && params_.cancel->load() != 0) {
            cancelDeadline_ = std::chrono::steady_clock::now() + kCancelGrace;
        }
        return cancelDeadline_.has_value();
    }

    // Whether the operation in flight must stop now.
    bool MustAbort() {
        if (loggingIn_ && params_.abandonLogin != nullptr && params_.abandonLogin->load() != 0) {
            return true;
        }
        return CancelSeen() && (loggingIn_ || std::chrono::steady_clock::now() >= *cancelDeadline_);
    }

    // Drives the transfer through the connection's own multi handle, which
    // also holds the connection cache. libcurl 7.88 can leave a passive data
    // connection unstarted until its next wake-up, which curl_easy_perform
    // puts up to a second away; polling with a short wait that grows while
    // nothing happens avoids that stall without spinning on slow transfers,
    // and looks for a cancel in between. Aborted by a cancel: the handle is
    // taken off mid-operation, which closes the connection without QUIT, and
    // the result is CURLE_ABORTED_BY_CALLBACK. Throws FtpError without
    // starting when the connection was cancelled already.
    CURLcode Run() {
        transcript_.clear();
        if (dropped_ || MustAbort()) {
            throw FtpError(ErrorText(CURLE_ABORTED_BY_CALLBACK));
        }
        ForgetConnectionClosedByServer();
        if (curl_multi_add_handle(multi_, handle_) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
        CURLcode result = CURLE_OK;
        int waitMs = 1;
        for (;;) {
            int running = 0;
            CURLMcode mc = curl_multi_perform(multi_, &running);
            if (mc != CURLM_OK) {
                result = CURLE_FAILED_INIT;
                break;
            }
            if (running == 0) {
                int left = 0;
                result = CURLE_FAILED_INIT;
                while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
                    if (message->msg == CURLMSG_DONE && message->easy_handle == handle_) {
                        result = message->data.result;
                    }
                }
                break;
            }
            if (MustAbort()) {
                result = CURLE_ABORTED_BY_CALLBACK;
                dropped_ = true;
                break;
            }
            int ready = 0;
            if (curl_multi_poll(multi_, nullptr, 0, waitMs, &ready) != CURLM_OK) {
                result = CURLE_FAILED_INIT;
                break;
            }
            waitMs = ready > 0 ? 1 : std::min(waitMs * 2, kCancelPollMs);
        }
        // The control connection's socket while the handle still knows it
        // (none when the connection was closed).
        if (curl_easy_getinfo(handle_, CURLINFO_ACTIVESOCKET, &controlSocket_) != CURLE_OK || dropped_) {
            controlSocket_ = CURL_SOCKET_BAD;
        }
        curl_multi_remove_handle(multi_, handle_);
        NoteTransferType(result);
        return result;
    }

    // An idle control connection has nothing to read unless the server closed
    // it (a 421 after an idle time-out, or just its end): libcurl would read
    // that 421 as the reply to its next command and fail. Shut down here, the
    // connection is one that libcurl replaces by a new one (a new login).
    void ForgetConnectionClosedByServer() {
        if (controlSocket_ == CURL_SOCKET_BAD || dropped_) {
            return;
        }
        pollfd idle{static_cast<int>(controlSocket_), POLLIN, 0};
        if (poll(&idle, 1, 0) != 0) {
            DiscardConnection();
        }
    }

    // Closes the control connection under libcurl: the connection cache goes
    // with it, so that the next operation connects and logs in again.
    void DiscardConnection() {
        shutdown(controlSocket_, SHUT_RDWR);  // QUIT then fails at once
        controlSocket_ = CURL_SOCKET_BAD;
        curlDir_.reset();
        curlType_.reset();
        curlTypeUnset_ = false;
        curl_multi_cleanup(multi_);
        multi_ = curl_multi_init();
        if (!multi_) {
            throw FtpError(curl_easy_strerror(CURLE_OUT_OF_MEMORY));
        }
    }

    // The transfer type libcurl believes the connection is in: the last TYPE
    // it sent since it logged in.
    void NoteTransferType(CURLcode result) {
        if (result != CURLE_OK) {
            curlType_.reset();
            curlTypeUnset_ = false;
            return;
        }
        for (const auto& event : transcript_) {
            if (!event.sent) {
                continue;
            }
            if (StartsWithNoCase(event.line, "USER ")) {
                curlType_.reset();
                curlTypeUnset_ = true;
                serverBinary_ = false;
            } else if (StartsWithNoCase(event.line, "TYPE ")) {
                curlType_ = StartsWithNoCase(event.line, "TYPE I")   ? std::optional(TransferType::Binary)
                            : StartsWithNoCase(event.line, "TYPE A") ? std::optional(TransferType::Ascii)
                                                                     : std::nullopt;
                curlTypeUnset_ = false;
            }
        }
    }

    // Whether the last operation sent a command beginning with verb.
    bool Sent(std::string_view verb) const {
        return std::any_of(transcript_.begin(), transcript_.end(),
                           [&](const Event& event) { return event.sent && StartsWithNoCase(event.line, verb); });
    }

    // Whether any reply came from the server during the last operation.
    bool HeardServer() const {
        for (const auto& event : transcript_) {
            if (!event.sent) {
                return true;
            }
        }
        return false;
    }

    // The reply to the first command of the last operation that begins with verb.
    Reply ReplyTo(std::string_view verb) const {
        Reply reply;
        size_t i = 0;
        for (; i < transcript_.size(); ++i) {
            const auto& event = transcript_[i];
            if (event.sent && StartsWithNoCase(event.line, verb) &&
                (event.line.size() == verb.size() || event.line[verb.size()] == ' ')) {
                break;
            }
        }
        int openCode = 0;
        for (++i; i < transcript_.size(); ++i) {
            const auto& event = transcript_[i];
            if (event.sent) {
                break;
            }
            reply.lines.push_back(event.line);
            bool multi = false;
            int code = FtpReplyCode(event.line, &multi);
            if (openCode == 0) {
                if (code == 0) {
                    continue;
                }
                if (!multi) {
                    reply.code = code;
                    break;
                }
                openCode = code;
            } else if (code == openCode && !multi) {
                reply.code = code;
                break;
            }
        }
        return reply;
    }

    std::string LastReplyLine() const {
        for (auto it = transcript_.rbegin(); it != transcript_.rend(); ++it) {
            bool multi = false;
            if (!it->sent && FtpReplyCode(it->line, &multi) != 0 && !multi) {
                return it->line;
            }
        }
        return {};
    }

    int LastReplyCode() const {
        bool multi = false;
        return FtpReplyCode(LastReplyLine(), &multi);
    }

    // libcurl's message and the server's last reply when that is a refusal;
    // libcurl's error buffer is not used because it can hold an unrelated
    // text in active mode. A reply that accepted something (a CWD's 250, a
    // transfer's opening 150) says nothing about why the operation failed.
    std::string ErrorText(CURLcode code) const {
        std::string text = curl_easy_strerror(code);
        std::string reply = LastReplyLine();
        if (!reply.empty() && LastReplyCode() >= 400) {
            text += ": " + reply;
        }
        return text;
    }

    // A failed operation: false for a refusal, FtpError for a broken connection.
    bool Fail(CURLcode code) {
        lastError_ = ErrorText(code);
        curlDir_.reset();
        if (IsRefusal(code)) {
            return false;
        }
        throw FtpError(lastError_);
    }

    // Whether a data command may bypass libcurl (see ftp_direct.h): on a
    // plain, direct, passive connection that libcurl holds open and idle.
    bool MayGoDirect() {
        ForgetConnectionClosedByServer();
        return directOk_ && !tls_ && !useProxy_ && passive_ && !dropped_ && controlSocket_ != CURL_SOCKET_BAD &&
               !MustAbort();
    }

    DirectChannel Channel() {
        transcript_.clear();
        DirectChannel channel;
        channel.controlSocket = static_cast<int>(controlSocket_);
        channel.replyTimeoutSeconds = static_cast<int>(kServerResponseTimeoutSeconds);
        channel.stallSeconds = static_cast<int>(kLowSpeedTimeSeconds);
        channel.mustAbort = [this] { return MustAbort(); };
        channel.record = [this](bool sent, const std::string& line) { transcript_.push_back({sent, line}); };
        return channel;
    }

    // What a direct command's failure means for the connection: nothing for a
    // refusal; EPSV refused ends direct commands (libcurl falls back to PASV);
    // a cancel drops the connection as a cancelled libcurl operation does and
    // throws (an upload under way instead fails as cut short); a broken
    // connection is closed under libcurl, which opens a new one if asked
    // again, and throws, worded as a failed send for an upload and as a
    // failed receive otherwise (what breaks there is a reply or the data).
    void AfterDirect(const DirectResult& result, bool upload = false) {
        switch (result.outcome) {
            case DirectOutcome::Done:
            case DirectOutcome::Refused:
                return;
            case DirectOutcome::NotOffered:
                directOk_ = false;
                return;
            case DirectOutcome::Cut:
                dropped_ = true;
                shutdown(controlSocket_, SHUT_RDWR);
                if (!(upload && result.commandSent)) {
                    throw FtpError(ErrorText(CURLE_ABORTED_BY_CALLBACK));
                }
                return;
            case DirectOutcome::Broken:
                break;
        }
        DiscardConnection();
        if (result.closedBeforeStart) {
            return;  // the caller leaves the operation to libcurl, which logs in again
        }
        lastError_ = std::string(curl_easy_strerror(upload ? CURLE_SEND_ERROR : CURLE_RECV_ERROR)) + ": " + result.text;
        throw FtpError(lastError_);
    }

    // Whether the server is in binary mode as a direct transfer needs it,
    // without libcurl's idea of the type going wrong: libcurl's last TYPE
    // was I, or libcurl has sent none since its login (it sends one with its
    // first transfer) and TYPE I is sent here.
    bool BinaryForDirect() {
        if (curlType_ == TransferType::Binary || (curlTypeUnset_ && serverBinary_)) {
            return true;
        }
        if (!curlTypeUnset_) {
            return false;
        }
        const DirectResult typeSet = DirectCommand(Channel(), "TYPE I");
        AfterDirect(typeSet);
        serverBinary_ = typeSet.outcome == DirectOutcome::Done;
        return serverBinary_;
    }

    // A binary upload; nothing when libcurl has to send it.
    std::optional<bool> StoreDirectly(FILE* file, const std::string& localPath, const std::string& target,
                                      TransferType type) {
        if (type != TransferType::Binary || !MayGoDirect() || !BinaryForDirect()) {
            return std::nullopt;
        }
        const DirectResult result = DirectStore(Channel(), target, file);
        AfterDirect(result, true);
        if (result.closedBeforeStart) {
            return std::nullopt;
        }
        switch (result.outcome) {
            case DirectOutcome::Done:
                return true;
            case DirectOutcome::NotOffered:
                return std::nullopt;
            case DirectOutcome::Cut:
                // The server may keep a partial file, which looks newer than the local one.
                lastError_ = LoadString(kIdUploadCut);
                return false;
            default:
                lastError_ = result.localFailed
                                 ? FormatString(kIdLocalUnreadable, {localPath}) + ": " + result.text
                                 : std::string(curl_easy_strerror(CURLE_UPLOAD_FAILED)) + ": " + result.text;
                return false;
        }
    }

    // A binary download into sink; nothing when libcurl has to fetch it.
    std::optional<bool> RetrieveDirectly(const std::string& source, DownloadSink& sink, TransferType type,
                                         std::string& opening) {
        if (type != TransferType::Binary || !MayGoDirect() || !BinaryForDirect()) {
            return std::nullopt;
        }
        const DirectResult result = DirectReceive(Channel(), "RETR " + source, [&](const char* data, size_t size) {
            return WriteToFile(const_cast<char*>(data), 1, size, &sink) == size;
        });
        AfterDirect(result);
        if (result.closedBeforeStart || result.outcome == DirectOutcome::NotOffered) {
            return std::nullopt;
        }
        if (result.outcome != DirectOutcome::Done) {
            lastError_ =
                std::string(curl_easy_strerror(result.localFailed ? CURLE_WRITE_ERROR : CURLE_FTP_COULDNT_RETR_FILE)) +
                ": " + result.text;
            return false;
        }
        opening = result.opening;
        return true;
    }

    // An MLSD listing of dir by its path. MLSD sends its lines the same way
    // whatever the transfer type. False when libcurl has to list it, also
    // after a refusal.
    bool ListDirectly(const std::string& dir, FtpListing& listing) {
        if (!useMlst_ || !MayGoDirect()) {
            return false;
        }
        std::string body;
        const DirectResult result = DirectReceive(Channel(), "MLSD " + dir, [&](const char* data, size_t size) {
            body.append(data, size);
            return true;
        });
        AfterDirect(result);
        if (result.outcome != DirectOutcome::Done) {
            // Also a refusal: servers word a missing directory differently for
            // MLSD (501, 550); libcurl's CWD tells missing from refused.
            return false;
        }
        ParseMlsdListing(body, listing);
        listing.status = ListStatus::Ok;
        return true;
    }

    // The same command sent by the layer, without libcurl's CWD; its reply
    // then is in the transcript. False when libcurl has to send it.
    bool QuoteDirectly(const std::string& command) {
        if (!MayGoDirect()) {
            return false;
        }
        const DirectResult result = DirectCommand(Channel(), command);
        AfterDirect(result);
        return !result.closedBeforeStart;
    }

    // One command with an absolute path as a QUOTE on the directory libcurl is
    // already in, so that no CWD is needed.
    Reply Quote(const std::string& verb, const std::string& absPath) {
        if (!QuoteDirectly(verb + " " + absPath)) {
            std::string dir = curlDir_ ? *curlDir_ : cwd_;
            Prepare(DirUrl(dir));
            SetQuote("*" + verb + " " + absPath);
            curl_easy_setopt(handle_, CURLOPT_NOBODY, 1L);
            CURLcode code = Run();
            if (code == CURLE_OK) {
                curlDir_ = dir;
            } else {
                Fail(code);  // throws unless the failure was a refusal of libcurl's own CWD
            }
        }
        Reply reply = ReplyTo(verb);
        if (reply.code / 100 != 2 && reply.code != 0) {
            lastError_ = reply.Text();
        }
        return reply;
    }

    bool Command(const std::string& verb, const std::string& path) {
        if (Rejected(path)) {
            return false;
        }
        std::string target = Resolve(path);
        return Quote(verb, target).code / 100 == 2;
    }

    MlstAnswer Mlst(const std::string& absPath) override {
        const Reply reply = Quote("MLST", absPath);
        return {reply.code, reply.lines, reply.code != 0 ? reply.Text() : lastError_};
    }

    // Lists dir (MLSD or LIST), or with listName the output of "LIST <listName>" in dir.
    void ListInto(const std::string& dir, FtpListing& listing, const std::string* listName = nullptr) override {
        if (!listName && ListDirectly(dir, listing)) {
            return;
        }
        Prepare(DirUrl(dir));
        std::string body;
        std::string request = listName ? "LIST " + *listName : std::string();
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &AppendToString);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &body);
        if (listName) {
            curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, request.c_str());
        } else if (useMlst_) {
            curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, "MLSD");
        }
        CURLcode code = Run();
        if (code != CURLE_OK) {
            int replyCode = LastReplyCode();
            Fail(code);
            listing.status = replyCode == 550 ? ListStatus::Missing : ListStatus::Failed;
            listing.error = lastError_;
            return;
        }
        curlDir_ = dir;
        if (useMlst_ && !listName) {
            ParseMlsdListing(body, listing);
        } else {
            ParseListListing(body, static_cast<int64_t>(std::time(nullptr)), listing);
        }
        listing.status = ListStatus::Ok;
    }

    FtpConnectParams params_;
    std::string base_;  // "ftp://host:port"
    bool useProxy_ = false;
    bool passive_ = false;
    std::unique_ptr<TlsPeerCheck> tls_;
    bool useMlst_ = false;
    bool offersMdtm_ = false;
    CURL* handle_ = nullptr;
    CURLM* multi_ = nullptr;
    Slist quote_;
    std::string cwd_ = "/";
    // The directory libcurl's connection is in, when known.
    std::optional<std::string> curlDir_;
    std::vector<Event> transcript_;
    std::string lastError_;
    bool loggingIn_ = false;
    // Set when a cancel was first seen: the end of its grace.
    std::optional<std::chrono::steady_clock::time_point> cancelDeadline_;
    // The connection was dropped by a cancel.
    bool dropped_ = false;
    curl_socket_t controlSocket_ = CURL_SOCKET_BAD;
    std::optional<TransferType> curlType_;
    bool curlTypeUnset_ = false;  // libcurl logged in and has sent no TYPE since
    bool serverBinary_ = false;   // TYPE I was sent directly since that login
    // Data commands may bypass libcurl until the server refuses EPSV.
    bool directOk_ = true;
};

class CurlFtpFactory : public FtpClientFactory {
  public:
    std::unique_ptr<FtpConnection> Connect(const FtpConnectParams& params) override {
        auto connection = std::make_unique<CurlFtpConnection>(params);
        connection->Login();
        return connection;
    }
};

}  // namespace

std::unique_ptr<FtpClientFactory> MakeCurlFtpFactory() {
    return std::make_unique<CurlFtpFactory>();
}

}  // namespace kestrum
