#include "sftp/sftp_session.h"

#include <libssh/libssh.h>
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <type_traits>

#include "ftp/ftp_control.h"
#include "ftp/ftp_listing.h"
#include "ftp/ftp_paths.h"
#include "ftp/ftp_shared.h"
#include "ftp/ftp_socket.h"
#include "ftp/protocol_trace.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(60);
constexpr auto kReplyTimeout = std::chrono::seconds(60);
constexpr int kReadSliceMs = 100;
// The largest packet accepted from the server: a READ's data and its header.
constexpr size_t kLongestPacket = 256 * 1024;
// Bytes per WRITE and READ, and how many go out before the first reply is awaited.
constexpr uint32_t kBlock = 32 * 1024;
constexpr size_t kInFlight = 16;

std::string SshError(ssh_session session) {
    return ssh_get_error(session);
}

}  // namespace

template <typename Step>
int SftpSession::Pump(Step step, int again) {
    const auto deadline = Clock::now() + kReplyTimeout;
    for (;;) {
        const int result = step();
        if (result != again) {
            return result;
        }
        WaitForServer(deadline);
    }
}

template <typename Step>
int SftpSession::PumpAuth(Step step) {
    return Pump(step, SSH_AUTH_AGAIN);
}

SftpSession::SftpSession(const FtpConnectParams& params) : params_(params) {
    if (HasLineBreakOrNul(params.user) || HasLineBreakOrNul(params.password)) {
        throw FtpError("the user name or the password holds a line break");
    }
    const auto endpoint = HasLineBreakOrNul(params.host) ? std::nullopt : ParseFtpHost(params.host);
    if (!endpoint) {
        throw FtpError("bad host name: " + params.host);
    }
    host_ = Unbracketed(endpoint->urlHost);
    port_ = endpoint->port != 0 ? endpoint->port : 22;
    if (params.accessType == 3) {
        proxy_ = ParseProxyName(params.proxyName);
        if (!proxy_) {
            throw FtpError(LoadString(msg::kNoProxyName));
        }
    }
}

SftpSession::~SftpSession() {
    Close();
}

void SftpSession::Login() {
    std::unique_ptr<PlainStream> socket;
    try {
        const Wait wait = Wait::For(std::chrono::duration_cast<std::chrono::milliseconds>(kConnectTimeout),
                                    [this] { return CancelSeen(); });
        socket = ConnectTcp(proxy_ ? proxy_->host : host_, proxy_ ? proxy_->port : port_, wait);
        if (proxy_) {
            HttpConnectTunnel(socket->Socket(), host_, static_cast<uint16_t>(port_), wait);
        }
    } catch (const StreamError& error) {
        Drop(std::string("Couldn't connect to server: ") + error.what());
    }
    if (params_.trace) {
        traceNumber_ = params_.trace->NewConnection();
        const std::string port = std::to_string(port_);
        Trace('*', proxy_ ? FormatString(msg::kTraceConnectedThroughProxy,
                                         {proxy_->host, std::to_string(proxy_->port), host_, port})
                          : FormatString(msg::kTraceConnected, {host_, port}));
    }
    ssh_ = ssh_new();
    if (ssh_ == nullptr) {
        Drop("libssh could not make a session");
    }
    const int fd = socket->Release();
    const bool no = false;
    const long timeout = static_cast<long>(kReplyTimeout.count());
    ssh_options_set(ssh_, SSH_OPTIONS_PROCESS_CONFIG, &no);
    ssh_options_set(ssh_, SSH_OPTIONS_HOST, host_.c_str());
    ssh_options_set(ssh_, SSH_OPTIONS_PORT, &port_);
    ssh_options_set(ssh_, SSH_OPTIONS_USER, params_.user.c_str());
    ssh_options_set(ssh_, SSH_OPTIONS_TIMEOUT, &timeout);
    ssh_options_set(ssh_, SSH_OPTIONS_FD, &fd);
    // Non-blocking, so that every wait is this class's own, in slices that
    // see a cancel.
    ssh_set_blocking(ssh_, 0);
    // The user's known_hosts under $HOME, as ssh reads it (libssh would take
    // the account's home from the password database).
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        const std::string knownHosts = std::string(home) + "/.ssh/known_hosts";
        ssh_options_set(ssh_, SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str());
    }
    if (Pump([this] { return ssh_connect(ssh_); }, SSH_AGAIN) != SSH_OK) {
        Drop("SSH: " + SshError(ssh_));
    }
    CheckHostKey();
    Authenticate();
    OpenSftp();
}

// Nothing secret has gone out yet: the key is decided before any login.
void SftpSession::CheckHostKey() {
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(ssh_, &key) != SSH_OK) {
        Drop("SSH: " + SshError(ssh_));
    }
    unsigned char* hash = nullptr;
    size_t length = 0;
    const int hashed = ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length);
    ServerCertificate presented;
    presented.hostKey = true;
    presented.subject = ssh_key_type_to_char(ssh_key_type(key));
    ssh_key_free(key);
    if (hashed != SSH_OK) {
        Drop("SSH: the server's host key cannot be read");
    }
    char* fingerprint = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
    ssh_clean_pubkey_hash(&hash);
    presented.fingerprint = fingerprint;
    presented.keyPin = fingerprint;
    ssh_string_free_char(fingerprint);
    if (!params_.pinnedKey.empty() && !params_.fetchCertificateOnly) {
        if (params_.pinnedKey == presented.keyPin) {
            return;
        }
        presented.problem = LoadString(msg::kHostKeyDiffersFromPinned);
        const FtpCertificateError error(FtpCertificateError::Kind::KeyChanged, presented, presented.problem);
        Close();
        throw error;
    }
    const ssh_known_hosts_e known = ssh_session_is_known_server(ssh_);
    if (known == SSH_KNOWN_HOSTS_OK && !params_.fetchCertificateOnly) {
        return;
    }
    presented.problem = known == SSH_KNOWN_HOSTS_OK        ? ""
                        : known == SSH_KNOWN_HOSTS_CHANGED ? LoadString(msg::kHostKeyDiffersFromKnownHosts)
                                                           : LoadString(msg::kHostKeyNotKnown);
    const auto kind = params_.fetchCertificateOnly       ? FtpCertificateError::Kind::Fetched
                      : known == SSH_KNOWN_HOSTS_CHANGED ? FtpCertificateError::Kind::KeyChanged
                                                         : FtpCertificateError::Kind::Untrusted;
    const FtpCertificateError error(kind, presented, presented.problem);
    Close();
    throw error;
}

void SftpSession::Authenticate() {
    int result = PumpAuth([this] { return ssh_userauth_none(ssh_, nullptr); });
    if (result == SSH_AUTH_SUCCESS) {
        return;
    }
    const int offered = ssh_userauth_list(ssh_, nullptr);
    if (result != SSH_AUTH_SUCCESS && !params_.sshKeyFile.empty() && (offered & SSH_AUTH_METHOD_PUBLICKEY) != 0) {
        ssh_key key = nullptr;
        if (ssh_pki_import_privkey_file(params_.sshKeyFile.c_str(), params_.password.c_str(), nullptr, nullptr, &key) !=
            SSH_OK) {
            Drop("the private key file cannot be read (or its passphrase is wrong): " + params_.sshKeyFile);
        }
        result = PumpAuth([&] { return ssh_userauth_publickey(ssh_, nullptr, key); });
        ssh_key_free(key);
    }
    if (result != SSH_AUTH_SUCCESS && (offered & SSH_AUTH_METHOD_PUBLICKEY) != 0 && std::getenv("SSH_AUTH_SOCK")) {
        result = PumpAuth([this] { return ssh_userauth_agent(ssh_, nullptr); });
    }
    if (result != SSH_AUTH_SUCCESS && (offered & SSH_AUTH_METHOD_PASSWORD) != 0) {
        result = PumpAuth([this] { return ssh_userauth_password(ssh_, nullptr, params_.password.c_str()); });
    }
    if (result != SSH_AUTH_SUCCESS && (offered & SSH_AUTH_METHOD_INTERACTIVE) != 0) {
        result = PumpAuth([this] { return ssh_userauth_kbdint(ssh_, nullptr, nullptr); });
        // One prompt, answered by the password; a second round of prompts is refused.
        for (int round = 0; result == SSH_AUTH_INFO && round < 2; ++round) {
            const int prompts = ssh_userauth_kbdint_getnprompts(ssh_);
            if (prompts > 1) {
                break;
            }
            if (prompts == 1) {
                ssh_userauth_kbdint_setanswer(ssh_, 0, params_.password.c_str());
            }
            result = PumpAuth([this] { return ssh_userauth_kbdint(ssh_, nullptr, nullptr); });
        }
    }
    if (result != SSH_AUTH_SUCCESS) {
        Drop("Access denied to remote resource: " + SshError(ssh_));
    }
}

void SftpSession::OpenSftp() {
    channel_ = ssh_channel_new(ssh_);
    if (channel_ == nullptr || Pump([this] { return ssh_channel_open_session(channel_); }, SSH_AGAIN) != SSH_OK ||
        Pump([this] { return ssh_channel_request_subsystem(channel_, "sftp"); }, SSH_AGAIN) != SSH_OK) {
        Drop("the server offers no SFTP: " + SshError(ssh_));
    }
    const std::string init = sftp::Writer::Init(3).Bytes();
    Trace('>', sftp::Describe(std::string_view(init).substr(4)));
    WriteAll(init);
    const std::string answer = ReadPacket();
    Trace('<', sftp::Describe(answer));
    const auto version = sftp::ParseVersion(answer);
    if (!version || version->first < 3) {
        Drop("the server's SFTP version cannot be used");
    }
    for (const auto& [name, data] : version->second) {
        posixRename_ = posixRename_ || (name == "posix-rename@openssh.com" && data == "1");
    }
    const uint32_t id = Send(Request(sftp::Type::Realpath).Str("."));
    const sftp::Reply home = Await(id);
    if (home.type == sftp::Type::Name && home.names.size() == 1 && !home.names[0].name.empty() &&
        home.names[0].name[0] == '/') {
        cwd_ = NormaliseServerPath("/", home.names[0].name);
    }
}

// The channel takes what the server's window allows; while it is full, what
// the server sends is read (its window adjustments, replies kept for later).
void SftpSession::WriteAll(const std::string& bytes) {
    const auto deadline = Clock::now() + kReplyTimeout;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int wrote = ssh_channel_write(channel_, bytes.data() + sent, static_cast<uint32_t>(bytes.size() - sent));
        if (wrote == SSH_ERROR) {
            Drop("SSH: " + SshError(ssh_));
        }
        sent += static_cast<size_t>(wrote);
        if (sent == bytes.size()) {
            break;
        }
        if (wrote == 0) {
            WaitForServer(deadline);
            char chunk[64 * 1024];
            const int got = ssh_channel_read_nonblocking(channel_, chunk, sizeof chunk, 0);
            if (got == SSH_ERROR || (got == 0 && ssh_channel_is_eof(channel_) != 0)) {
                Drop("the server closed the SFTP channel");
            }
            if (got > 0) {
                arrived_.append(chunk, static_cast<size_t>(got));
            }
        }
    }
}

void SftpSession::WaitForServer(Clock::time_point deadline) {
    if (CancelSeen()) {
        Drop("Operation was cancelled");
    }
    if (Clock::now() >= deadline) {
        Drop("Timeout while waiting for the server's reply");
    }
    pollfd watch{ssh_get_fd(ssh_), POLLIN, 0};
    if ((ssh_get_poll_flags(ssh_) & SSH_WRITE_PENDING) != 0) {
        watch.events |= POLLOUT;
    }
    poll(&watch, 1, kReadSliceMs);
}

void SftpSession::Trace(char marker, const std::string& line) {
    if (traceNumber_ == 0) {
        return;
    }
    if (marker == '*') {
        params_.trace->Note(traceNumber_, line);
        return;
    }
    const auto direction = marker == '>' ? TraceEvent::Direction::Sent : TraceEvent::Direction::Received;
    params_.trace->Record(traceNumber_, {direction, line, std::chrono::steady_clock::now()});
}

uint32_t SftpSession::Send(const sftp::Writer& request, bool renames) {
    std::string bytes = PostHeld(renames);
    const std::string own = request.Bytes();
    Trace('>', sftp::Describe(std::string_view(own).substr(4)));
    bytes += own;
    WriteAll(bytes);
    return request.id();
}

std::string SftpSession::PostHeld(bool renames) {
    std::string bytes;
    auto add = [&](Held& held, const sftp::Writer& request) {
        const std::string packet = request.Bytes();
        Trace('>', sftp::Describe(std::string_view(packet).substr(4)));
        bytes += packet;
        held.ids.push_back(request.id());
    };
    std::vector<Held> kept;
    for (Held& held : held_) {
        if (held.kind == Held::Kind::Mkdir) {
            add(held, Request(sftp::Type::Mkdir).Str(held.source).U32(0));
        } else if (held.kind == Held::Kind::Check) {
            add(held, Request(sftp::Type::Stat).Str(held.source));
        } else if (!renames) {
            kept.push_back(std::move(held));
            continue;
        } else {
            if (held.outcome.mode >= 0) {
                sftp::Attributes attributes;
                attributes.permissions = static_cast<uint32_t>(held.outcome.mode);
                add(held, Request(sftp::Type::Setstat).Str(held.source).Attrs(attributes));
            }
            add(held, Request(sftp::Type::Extended).Str("posix-rename@openssh.com").Str(held.source).Str(held.target));
        }
        posted_.push_back(std::move(held));
    }
    held_ = std::move(kept);
    return bytes;
}

void SftpSession::ReadAhead() {
    while (!posted_.empty()) {
        Held& held = posted_.front();
        RenameOutcome& outcome = held.outcome;
        if (held.kind == Held::Kind::Mkdir) {
            static_cast<void>(Await(held.ids[0]));  // a failure shows in what is put there
        } else if (held.kind == Held::Kind::Check) {
            checked_.push_back({outcome.from, Found(held.source, Await(held.ids[0]))});
        } else {
            if (outcome.mode >= 0) {
                outcome.modeSet = StatusOk(Await(held.ids[0]));
            }
            const sftp::Reply renamed = Await(held.ids.back());
            outcome.renamed = StatusOk(renamed);
            if (!outcome.renamed) {
                outcome.error = lastError_;
                outcome.sourceRefused = renamed.type == sftp::Type::Status && renamed.code == sftp::Code::NoSuchFile;
            }
            renamed_.push_back(std::move(outcome));
        }
        posted_.pop_front();
    }
}

void SftpSession::CreateDirectorySoon(const std::string& path) {
    if (Rejected(path)) {
        return;
    }
    EnsureUsable();
    RenameOutcome outcome;
    outcome.from = path;
    held_.push_back({Held::Kind::Mkdir, std::move(outcome), Resolve(path), {}, {}});
}

// Held where the server renames over an existing file in one request.
void SftpSession::RenameSoon(const std::string& from, const std::string& to, int mode) {
    if (!posixRename_) {
        FtpConnection::RenameSoon(from, to, mode);
        return;
    }
    RenameOutcome outcome{from, to, false, false, {}, mode, false};
    if (Rejected(from) || Rejected(to) || mode > 07777) {
        outcome.error = lastError_;
        outcome.sourceRefused = true;
        renamed_.push_back(std::move(outcome));
        return;
    }
    EnsureUsable();
    held_.push_back({Held::Kind::Rename, std::move(outcome), Resolve(from), Resolve(to), {}});
}

void SftpSession::StoredSoon(const std::string& path) {
    if (Rejected(path)) {
        FtpListing refused;
        refused.error = lastError_;
        checked_.push_back({path, std::move(refused)});
        return;
    }
    EnsureUsable();
    RenameOutcome outcome;
    outcome.from = path;
    held_.push_back({Held::Kind::Check, std::move(outcome), Resolve(path), {}, {}});
}

void SftpSession::OpenSoon(const std::string& serverPath) {
    announced_.reset();
    if (PathRefusal(serverPath)) {
        return;
    }
    announced_ = Resolve(serverPath);
}

sftp::Writer SftpSession::OpenForWriting(const std::string& absPath) {
    return std::move(
        Request(sftp::Type::Open).Str(absPath).U32(sftp::kOpenWrite | sftp::kOpenCreate | sftp::kOpenTruncate).U32(0));
}

void SftpSession::DiscardPreopened() {
    if (!preopened_) {
        return;
    }
    const Opened unused = *std::exchange(preopened_, std::nullopt);
    const sftp::Reply opened = Await(unused.id);
    if (opened.type == sftp::Type::Handle) {
        const uint32_t close = Send(Request(sftp::Type::Close).Str(opened.bytes));
        const uint32_t remove = Send(Request(sftp::Type::Remove).Str(unused.path));
        Await(close);
        Await(remove);
    }
}

// Also the file opened ahead, whose removal is left to the caller (its
// handle closes with the connection).
std::vector<std::string> SftpSession::WithdrawHeld() {
    std::vector<std::string> withdrawn;
    announced_.reset();
    if (preopened_) {
        withdrawn.push_back(std::exchange(preopened_, std::nullopt)->path);
    }
    std::vector<Held> kept;
    for (Held& held : held_) {
        if (held.kind == Held::Kind::Mkdir) {
            kept.push_back(std::move(held));
        } else {
            withdrawn.push_back(std::move(held.outcome.from));
        }
    }
    held_ = std::move(kept);
    return withdrawn;
}

std::string SftpSession::ReadPacket() {
    const auto deadline = Clock::now() + kReplyTimeout;
    for (;;) {
        bool tooLong = false;
        if (std::optional<std::string> body = sftp::NextPacket(arrived_, kLongestPacket, tooLong)) {
            return *body;
        }
        if (tooLong) {
            Drop("the server sent an SFTP packet longer than any reply");
        }
        if (CancelSeen()) {
            Drop("Operation was cancelled");
        }
        if (Clock::now() >= deadline) {
            Drop("Timeout while waiting for the server's reply");
        }
        char chunk[64 * 1024];
        const int got = ssh_channel_read_timeout(channel_, chunk, sizeof chunk, 0, kReadSliceMs);
        if (got == SSH_ERROR || (got == 0 && ssh_channel_is_eof(channel_) != 0)) {
            Drop("the server closed the SFTP channel");
        }
        if (got > 0) {
            arrived_.append(chunk, static_cast<size_t>(got));
        }
    }
}

sftp::Reply SftpSession::Await(uint32_t id) {
    for (;;) {
        if (const auto found = early_.find(id); found != early_.end()) {
            sftp::Reply reply = std::move(found->second);
            early_.erase(found);
            return reply;
        }
        const std::string packet = ReadPacket();
        Trace('<', sftp::Describe(packet));
        std::optional<sftp::Reply> reply = sftp::ParseReply(packet);
        if (!reply) {
            Drop("the server sent an SFTP reply that cannot be read");
        }
        if (reply->id == id) {
            return std::move(*reply);
        }
        // Replies may come in any order; one nobody asked for is dropped.
        if (reply->id < nextId_) {
            early_.emplace(reply->id, std::move(*reply));
        }
    }
}

bool SftpSession::StatusOk(const sftp::Reply& reply) {
    if (reply.type == sftp::Type::Status && reply.code == sftp::Code::Ok) {
        return true;
    }
    lastError_ = reply.type != sftp::Type::Status ? "an unexpected reply"
                 : reply.message.empty()          ? "status " + std::to_string(static_cast<uint32_t>(reply.code))
                                                  : reply.message;
    return false;
}

void SftpSession::Drop(const std::string& why) {
    if (!dropped_) {
        dropped_ = why;
        Trace('*', FormatString(msg::kTraceDropped, {why}));
        traceNumber_ = 0;
    }
    lastError_ = *dropped_;
    Release(false);
    throw FtpError(*dropped_);
}

void SftpSession::EnsureUsable() const {
    if (dropped_) {
        throw FtpError(*dropped_);
    }
    if (closed_ || channel_ == nullptr) {
        throw FtpError("the connection is closed");
    }
}

template <typename Operation>
auto SftpSession::Guarded(Operation operation) {
    EnsureUsable();
    if constexpr (std::is_void_v<decltype(operation())>) {
        operation();
        ReadAhead();
    } else {
        auto result = operation();
        ReadAhead();
        return result;
    }
}

void SftpSession::SendHeld() {
    if (held_.empty() && posted_.empty()) {
        return;
    }
    Guarded([&] {
        if (std::string bytes = PostHeld(true); !bytes.empty()) {
            WriteAll(bytes);
        }
        ReadAhead();
    });
}

bool SftpSession::Rejected(const std::string& path) {
    if (std::optional<std::string> why = PathRefusal(path)) {
        lastError_ = std::move(*why);
        return true;
    }
    return false;
}

std::string SftpSession::Resolve(const std::string& path) const {
    return NormaliseServerPath(cwd_, path);
}

bool SftpSession::CancelSeen() const {
    return params_.cancel != nullptr && params_.cancel->load() != 0;
}

sftp::Reply SftpSession::StatOf(const std::string& absPath) {
    return Ask(Request(sftp::Type::Stat).Str(absPath));
}

FtpEntry SftpSession::EntryOf(const std::string& name, const sftp::Attributes& attributes) const {
    FtpEntry entry;
    entry.name = name;
    entry.isDirectory = attributes.IsDirectory();
    entry.hidden = !name.empty() && name[0] == '.';
    entry.size = attributes.size && !entry.isDirectory ? static_cast<int64_t>(*attributes.size) : -1;
    entry.lastWriteTime = attributes.mtime ? static_cast<int64_t>(*attributes.mtime) : kUnknownServerTime;
    entry.mode = attributes.permissions ? static_cast<int>(*attributes.permissions & 07777U) : -1;
    return entry;
}

bool SftpSession::SetCurrentDirectory(const std::string& path) {
    if (Rejected(path)) {
        return false;
    }
    const std::string dir = Resolve(path);
    return Guarded([&] {
        const sftp::Reply reply = StatOf(dir);
        if (reply.type != sftp::Type::Attrs || !reply.attributes.IsDirectory()) {
            lastError_ = reply.type == sftp::Type::Attrs ? "not a directory: " + dir : reply.message;
            return false;
        }
        cwd_ = dir;
        return true;
    });
}

// A request naming one path (MKDIR with no attributes set) whose reply is a status.
bool SftpSession::Simple(sftp::Type type, const std::string& path) {
    if (Rejected(path)) {
        return false;
    }
    const std::string target = Resolve(path);
    return Guarded([&] {
        sftp::Writer request = Request(type);
        request.Str(target);
        if (type == sftp::Type::Mkdir) {
            request.U32(0);
        }
        return StatusOk(Ask(request));
    });
}

bool SftpSession::CreateDirectory(const std::string& path) {
    return Simple(sftp::Type::Mkdir, path);
}

bool SftpSession::RemoveDirectory(const std::string& path) {
    return Simple(sftp::Type::Rmdir, path);
}

bool SftpSession::Remove(const std::string& path) {
    return Simple(sftp::Type::Remove, path);
}

// With posix-rename@openssh.com the target is replaced in one step; plain
// SFTP renames refuse an existing target, and the caller removes it first.
bool SftpSession::Rename(const std::string& from, const std::string& to) {
    if (Rejected(from) || Rejected(to)) {
        return false;
    }
    const std::string source = Resolve(from);
    const std::string target = Resolve(to);
    return Guarded([&] {
        if (posixRename_) {
            return StatusOk(Ask(Request(sftp::Type::Extended).Str("posix-rename@openssh.com").Str(source).Str(target)));
        }
        if (StatusOk(Ask(Request(sftp::Type::Rename).Str(source).Str(target)))) {
            return true;
        }
        // Plain SFTP refuses an existing target: remove it, then rename, when
        // the source is there to take its place.
        const std::string refused = lastError_;
        if (StatOf(source).type != sftp::Type::Attrs || StatOf(target).type != sftp::Type::Attrs ||
            !StatusOk(Ask(Request(sftp::Type::Remove).Str(target)))) {
            lastError_ = refused;
            return false;
        }
        return StatusOk(Ask(Request(sftp::Type::Rename).Str(source).Str(target)));
    });
}

bool SftpSession::KeepAlive() {
    return Guarded([&] { return StatOf(cwd_).type == sftp::Type::Attrs; });
}

bool SftpSession::SetMode(const std::string& path, int mode) {
    if (Rejected(path) || mode < 0 || mode > 07777) {
        return false;
    }
    const std::string file = Resolve(path);
    sftp::Attributes attributes;
    attributes.permissions = static_cast<uint32_t>(mode);
    return Guarded([&] { return StatusOk(Ask(Request(sftp::Type::Setstat).Str(file).Attrs(attributes))); });
}

bool SftpSession::CloseHandle(const std::string& handle) {
    return StatusOk(Ask(Request(sftp::Type::Close).Str(handle)));
}

// The writes go out kInFlight ahead of their replies. A file is written as
// it is, whatever the transfer type: SFTP has no text mode.
bool SftpSession::PutFile(const std::string& localPath, const std::string& serverPath, TransferType /*type*/,
                          UploadCount* sent) {
    if (Rejected(serverPath)) {
        return false;
    }
    const std::string target = Resolve(serverPath);
    EnsureUsable();
    FILE* file = std::fopen(localPath.c_str(), "rbe");
    struct stat st {};
    if (!file || fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = file ? EISDIR : errno;
        if (file) {
            std::fclose(file);
        }
        lastError_ = "the local file cannot be read: " + localPath + ": " + std::strerror(error);
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> closer(file, std::fclose);
    return Guarded([&] {
        // The file opened ahead with the previous upload's data, or now.
        uint32_t open = 0;
        if (preopened_ && preopened_->path == target) {
            open = std::exchange(preopened_, std::nullopt)->id;
        } else {
            DiscardPreopened();
            open = Send(OpenForWriting(target), true);
        }
        const std::optional<std::string> following = std::exchange(announced_, std::nullopt);
        const sftp::Reply opened = Await(open);
        if (opened.type != sftp::Type::Handle) {
            StatusOk(opened);
            return false;
        }
        std::deque<uint32_t> writes;
        bool written = true;
        int readError = 0;
        uint64_t offset = 0;
        std::vector<char> block(kBlock);
        for (;;) {
            const size_t n = std::fread(block.data(), 1, block.size(), file);
            if (n == 0 && std::ferror(file)) {
                readError = errno ? errno : EIO;
            }
            if (n == 0) {
                break;
            }
            writes.push_back(
                Send(Request(sftp::Type::Write).Str(opened.bytes).U64(offset).Str(std::string_view(block.data(), n))));
            offset += n;
            if (writes.size() >= kInFlight) {
                written = StatusOk(Await(writes.front())) && written;
                writes.pop_front();
            }
        }
        // The CLOSE goes right behind the last WRITE: the server answers a
        // handle's requests in order, and the check that follows a copy
        // finds any that it did not.
        const uint32_t close = Send(Request(sftp::Type::Close).Str(opened.bytes));
        if (following && *following != target) {
            preopened_ = Opened{*following, Send(OpenForWriting(*following), true)};
        }
        while (!writes.empty()) {
            written = StatusOk(Await(writes.front())) && written;
            writes.pop_front();
        }
        if (sent != nullptr) {
            *sent = UploadCount{static_cast<int64_t>(offset), 0};
        }
        const bool closed = StatusOk(Await(close));
        if (readError != 0) {
            lastError_ = "the local file cannot be read: " + localPath + ": " + std::strerror(readError);
            return false;
        }
        return written && closed;
    });
}

// Reads go out kInFlight ahead; the file must bring the size its open handle
// reports (or the listing gave), so that a cut transfer is not believed.
bool SftpSession::GetFile(const std::string& serverPath, const std::string& localPath, TransferType /*type*/,
                          int64_t listedSize) {
    if (Rejected(serverPath)) {
        return false;
    }
    const std::string source = Resolve(serverPath);
    EnsureUsable();
    const std::string target = DownloadTarget(localPath);
    TempDownload temp(params_.partials);
    if (!temp.Create(target, lastError_)) {
        return false;
    }
    return Guarded([&] {
        const sftp::Reply opened = Await(Send(Request(sftp::Type::Open).Str(source).U32(sftp::kOpenRead).U32(0)));
        if (opened.type != sftp::Type::Handle) {
            StatusOk(opened);
            return false;
        }
        const sftp::Reply stat = Ask(Request(sftp::Type::Fstat).Str(opened.bytes));
        const int64_t expected = stat.type == sftp::Type::Attrs && stat.attributes.size
                                     ? static_cast<int64_t>(*stat.attributes.size)
                                     : listedSize;
        std::deque<std::pair<uint32_t, uint64_t>> reads;  // id and offset
        uint64_t next = 0;
        int64_t received = 0;
        bool atEnd = false;
        bool failed = false;
        while (!failed && (!atEnd || !reads.empty())) {
            while (!atEnd && reads.size() < kInFlight) {
                reads.emplace_back(Send(Request(sftp::Type::Read).Str(opened.bytes).U64(next).U32(kBlock)), next);
                next += kBlock;
            }
            const auto [id, offset] = reads.front();
            reads.pop_front();
            const sftp::Reply data = Await(id);
            if (data.type == sftp::Type::Status && data.code == sftp::Code::Eof) {
                atEnd = true;
                continue;
            }
            if (data.type != sftp::Type::Data) {
                StatusOk(data);
                failed = true;
                break;
            }
            // A short read leaves a gap a later read does not fill: read in order only.
            if (static_cast<int64_t>(offset) != received) {
                lastError_ = "the server's data came out of order";
                failed = true;
                break;
            }
            if (std::fwrite(data.bytes.data(), 1, data.bytes.size(), temp.file()) < data.bytes.size()) {
                lastError_ = std::string("Failed writing received data to disk: ") + std::strerror(errno);
                failed = true;
                break;
            }
            received += static_cast<int64_t>(data.bytes.size());
            if (data.bytes.size() < kBlock) {
                atEnd = true;
            }
        }
        while (!reads.empty()) {
            Await(reads.front().first);
            reads.pop_front();
        }
        const bool closed = CloseHandle(opened.bytes);
        if (failed || !closed) {
            return false;
        }
        if (expected >= 0 && received != expected) {
            lastError_ =
                "the server announced " + std::to_string(expected) + " bytes and sent " + std::to_string(received);
            return false;
        }
        return temp.Commit(target, lastError_);
    });
}

FtpListing SftpSession::List(const std::string& directory) {
    FtpListing listing;
    if (Rejected(directory)) {
        listing.error = lastError_;
        return listing;
    }
    const std::string dir = Resolve(directory);
    Guarded([&] {
        const sftp::Reply opened = Ask(Request(sftp::Type::Opendir).Str(dir));
        if (opened.type != sftp::Type::Handle) {
            listing = Found(dir, opened);
            return;
        }
        for (;;) {
            const sftp::Reply names = Ask(Request(sftp::Type::Readdir).Str(opened.bytes));
            if (names.type == sftp::Type::Status && names.code == sftp::Code::Eof) {
                listing.status = ListStatus::Ok;
                break;
            }
            if (names.type != sftp::Type::Name) {
                StatusOk(names);
                listing.error = lastError_;
                break;
            }
            for (const sftp::NameEntry& name : names.names) {
                const FtpEntry entry = EntryOf(name.name, name.attributes);
                AddListedEntry(listing, {entry.name, entry.isDirectory, entry.size, entry.lastWriteTime,
                                         TimePrecision::Second, entry.mode});
            }
        }
        CloseHandle(opened.bytes);
    });
    return listing;
}

FtpListing SftpSession::Lookup(const std::string& path) {
    FtpListing result;
    if (Rejected(path)) {
        result.error = lastError_;
        return result;
    }
    const std::string target = Resolve(path);
    Guarded([&] { result = Found(target, StatOf(target)); });
    return result;
}

// A reply other than ATTRS (a refused OPENDIR too): Missing or Failed, with the server's message.
FtpListing SftpSession::Found(const std::string& absPath, const sftp::Reply& reply) {
    FtpListing result;
    if (reply.type == sftp::Type::Attrs) {
        result.status = ListStatus::Ok;
        result.entries.push_back(EntryOf(ServerBaseNameOf(absPath), reply.attributes));
        return result;
    }
    StatusOk(reply);
    result.status = reply.code == sftp::Code::NoSuchFile ? ListStatus::Missing : ListStatus::Failed;
    result.error = lastError_;
    return result;
}

std::optional<int64_t> SftpSession::ModificationTime(const std::string& path) {
    const FtpListing found = Lookup(path);
    if (found.status != ListStatus::Ok || found.entries.front().lastWriteTime == kUnknownServerTime) {
        return std::nullopt;
    }
    return found.entries.front().lastWriteTime;
}

std::optional<int64_t> SftpSession::Size(const std::string& path) {
    const FtpListing found = Lookup(path);
    if (found.status != ListStatus::Ok || found.entries.front().size < 0) {
        return std::nullopt;
    }
    return found.entries.front().size;
}

void SftpSession::Close() {
    if (closed_) {
        return;
    }
    // A file opened ahead for an upload that did not come is not left behind.
    if (preopened_ && !dropped_ && channel_ != nullptr) {
        try {
            DiscardPreopened();
        } catch (const FtpError&) {
        }
    }
    closed_ = true;
    Trace('*', LoadString(msg::kTraceClosed));
    traceNumber_ = 0;
    Release(true);
}

void SftpSession::Release(bool politely) {
    if (channel_ != nullptr) {
        if (politely) {
            ssh_channel_send_eof(channel_);
            ssh_channel_close(channel_);
        }
        ssh_channel_free(channel_);
        channel_ = nullptr;
    }
    if (ssh_ != nullptr) {
        ssh_disconnect(ssh_);
        ssh_free(ssh_);
        ssh_ = nullptr;
    }
}

namespace {

class SftpFactory : public FtpClientFactory {
  public:
    std::unique_ptr<FtpConnection> Connect(const FtpConnectParams& params) override {
        auto session = std::make_unique<SftpSession>(params);
        session->Login();
        return session;
    }
};

class TransportFactory : public FtpClientFactory {
  public:
    std::unique_ptr<FtpConnection> Connect(const FtpConnectParams& params) override {
        return (params.security == FtpSecurity::Sftp ? sftp_ : ftp_)->Connect(params);
    }

  private:
    std::unique_ptr<FtpClientFactory> ftp_ = MakeFtpFactory();
    std::unique_ptr<FtpClientFactory> sftp_ = MakeSftpFactory();
};

}  // namespace

std::unique_ptr<FtpClientFactory> MakeSftpFactory() {
    return std::make_unique<SftpFactory>();
}

std::unique_ptr<FtpClientFactory> MakeTransportFactory() {
    return std::make_unique<TransportFactory>();
}

}  // namespace kestrum
