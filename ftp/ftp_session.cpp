#include "ftp/ftp_session.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "ftp/ftp_listing.h"
#include "ftp/ftp_paths.h"
#include "ftp/ftp_tunnel.h"
#include "ftp/ftp_wait.h"
#include "ftp/protocol_trace.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

constexpr std::chrono::seconds kConnectTimeout{180};
constexpr std::chrono::seconds kUnlimitedConnectTimeout{300};  // without connectOptions
constexpr int kConnectRetries = 2;
constexpr std::chrono::seconds kReplyTimeout{60};
constexpr std::chrono::seconds kStallTimeout{60};  // a data connection that moves nothing this long has stalled
constexpr std::chrono::milliseconds kCancelGrace{1000};
constexpr std::chrono::milliseconds kQuitWait{1000};
// How long a greeting may take before an explicit-TLS login looks for
// implicit TLS at the port (and how long that look may take).
constexpr std::chrono::milliseconds kQuietGreeting{3000};
constexpr size_t kBlock = 64 * 1024;

// The quoted directory of a PWD reply ("257 "/a ""b"" c" is current"), quotes doubled inside.
std::optional<std::string> QuotedPath(const std::string& line) {
    const size_t open = line.find('"');
    if (open == std::string::npos) {
        return std::nullopt;
    }
    std::string path;
    for (size_t i = open + 1; i < line.size(); ++i) {
        if (line[i] != '"') {
            path += line[i];
        } else if (i + 1 < line.size() && line[i + 1] == '"') {
            path += '"';
            ++i;
        } else {
            return path;
        }
    }
    return std::nullopt;
}

// The time of an MDTM reply, "213 YYYYMMDDHHMMSS[.sss]".
std::optional<int64_t> MdtmTime(const Reply& reply) {
    if (reply.code != 213 || reply.lines.empty() || reply.lines.back().size() <= 4) {
        return std::nullopt;
    }
    return ParseTimeVal(std::string_view(reply.lines.back()).substr(4));
}

std::string FirstLine(const Reply& reply) {
    return reply.lines.empty() ? std::string() : reply.lines.front();
}

}  // namespace

FtpSession::FtpSession(const FtpConnectParams& params)
    : params_(params),
      dataProven_(params.passiveWorks ? params.passiveWorks : std::make_shared<std::atomic<bool>>(false)) {
    if (HasLineBreakOrNul(params.user) || HasLineBreakOrNul(params.password)) {
        throw FtpError(LoadString(msg::kCredentialsHaveLineBreak));
    }
    auto endpoint = HasLineBreakOrNul(params.host) ? std::nullopt : ParseFtpHost(params.host);
    if (!endpoint) {
        throw FtpError(FormatString(msg::kBadHostName, {PrintableName(params.host)}));
    }
    useProxy_ = params.accessType == 3;
    if (useProxy_) {
        const auto proxy = ParseProxyName(params.proxyName);
        if (!proxy) {
            throw FtpError(LoadString(msg::kNoProxyName));
        }
        proxyHost_ = proxy->host;
        proxyPort_ = proxy->port;
    }
    host_ = Unbracketed(endpoint->urlHost);
    const bool implicitTls = params.security == FtpSecurity::Implicit;
    port_ = endpoint->port != 0 ? endpoint->port : useProxy_ && params.port != 0 ? params.port : implicitTls ? 990 : 21;
    if (params.security != FtpSecurity::Plain) {
        using Mode = TlsPeerCheck::Mode;
        const Mode mode = params.fetchCertificateOnly ? Mode::FetchOnly
                          : params.pinnedKey.empty()  ? Mode::Verify
                                                      : Mode::Pinned;
        check_ = std::make_unique<TlsPeerCheck>(mode, host_, params.pinnedKey);
        try {
            tls_ = std::make_shared<TlsClient>(*check_);
        } catch (const StreamError& error) {
            throw FtpError(error.what());
        }
    }
    route_.tls = tls_;
    route_.tlsHost = host_;
    if (useProxy_) {
        route_.connect = [this](int port, const Wait& wait) { return ConnectRoute(host_, port, wait); };
    }
    // Active mode cannot cross a tunnel.
    modes_.passive = params.passive || useProxy_;
}

FtpSession::~FtpSession() {
    Close();
}

// Runs an operation on the connection: what breaks it drops the connection
// and throws FtpError.
template <typename Operation>
auto FtpSession::Guarded(Operation operation, bool repeatable) {
    EnsureUsable();
    try {
        try {
            return operation();
        } catch (const FtpSessionClosed& closed) {
            // The server ended the session (421, or a close) before the
            // operation sent anything, or during one that reads and may be
            // done again (no rename in flight): log in again and do it once more.
            const bool renaming = std::any_of(posted_.begin(), posted_.end(),
                                              [](const Held& held) { return held.kind == Held::Kind::Rename; });
            if (!(closed.commandNotSent() || (repeatable && !renaming)) || loggingIn_ || MustAbort()) {
                throw;
            }
            LogInAgain();
            return operation();
        }
    } catch (const TlsCertificateRefused& refused) {
        CertificateRefused(refused);
    } catch (const StreamError& error) {
        using Kind = StreamError::Kind;
        const std::string what = error.kind() == Kind::Cancelled  ? std::string("Operation was cancelled")
                                 : error.kind() == Kind::TimedOut ? "Timeout while " + step_
                                                                  : "Failure while " + step_ + ": " + error.what();
        Drop(what);
        throw FtpError(*dropped_);
    } catch (const FtpCertificateError& error) {
        Drop(error.what());
        throw;
    } catch (const FtpError& error) {
        Drop(step_.empty() ? std::string(error.what()) : "Failure while " + step_ + ": " + error.what());
        throw FtpError(*dropped_);
    }
}

void FtpSession::LogInAgain() {
    EndTrace(LoadString(msg::kTraceLoggingInAgain));
    // Checks and directories whose replies were lost go out again.
    held_.insert(held_.begin(), std::make_move_iterator(posted_.begin()), std::make_move_iterator(posted_.end()));
    posted_.clear();
    const std::string cwd = cwd_;
    channel_.reset();
    stream_.reset();
    serverDir_.reset();
    type_.reset();
    Login();
    cwd_ = cwd;
}

void FtpSession::Login() {
    // Nothing of a login is worth finishing after a cancel.
    loggingIn_ = true;
    const auto timeout = params_.connectOptions ? kConnectTimeout : kUnlimitedConnectTimeout;
    const int attempts = params_.connectOptions ? 1 + kConnectRetries : 1;
    std::unique_ptr<PlainStream> plain;
    const std::string& target = useProxy_ ? proxyHost_ : host_;
    const int targetPort = useProxy_ ? proxyPort_ : port_;
    for (int attempt = 1; !plain; ++attempt) {
        try {
            plain = ConnectTcp(target, targetPort, Wait::For(timeout, [this] { return MustAbort(); }));
        } catch (const StreamError& error) {
            if (error.kind() != StreamError::Kind::Cancelled && attempt < attempts) {
                continue;
            }
            Drop(std::string("Couldn't connect to server: ") + error.what());
            throw FtpError(*dropped_);
        }
    }
    stream_ = std::move(plain);
    if (params_.trace) {
        traceNumber_ = params_.trace->NewConnection();
        const std::string port = std::to_string(port_);
        TraceNote(useProxy_ ? FormatString(msg::kTraceConnectedThroughProxy,
                                           {proxyHost_, std::to_string(proxyPort_), host_, port})
                            : FormatString(msg::kTraceConnected, {host_, port}));
    }
    Guarded([&] {
        if (useProxy_) {
            step_ = "connecting through the proxy";
            HttpConnectTunnel(stream_->Socket(), host_, static_cast<uint16_t>(port_), ReplyWait());
        }
        channel_ = std::make_unique<ControlChannel>(*stream_, Tracer());
        if (params_.security == FtpSecurity::Implicit) {
            StartTls(ReplyWait());
        }
        step_ = "logging in";
        if (params_.security == FtpSecurity::Explicit && ImplicitTlsAtPort()) {
            step_.clear();
            throw FtpError(LoadString(msg::kImplicitTlsPort));
        }
        const Reply greeting = channel_->ReadGreeting(ReplyWait());
        if (!greeting.Completed()) {
            throw FtpError("the server refused the connection: " + greeting.Text());
        }
        if (params_.security == FtpSecurity::Explicit) {
            // TLS before the user name: nothing of the login goes in clear.
            const Reply auth = channel_->Command("AUTH TLS", ReplyWait());
            if (auth.code != 234) {
                step_.clear();
                throw FtpError(LoadString(msg::kTlsNotOffered) + " " + auth.Text());
            }
            StartTls(ReplyWait());
            step_ = "logging in";
        }
        Reply login = channel_->Command("USER " + params_.user, ReplyWait());
        if (login.code == 331) {
            login = channel_->Command("PASS " + params_.password, ReplyWait());
        }
        if (login.code == 332) {
            throw FtpError("the server asks for an account, and none is given: " + login.Text());
        }
        if (!login.Completed()) {
            throw FtpError("Access denied to remote resource: " + login.Text());
        }
        // Commands whose replies do not decide what goes with them go in one write.
        if (tls_) {
            channel_->SendMany({"PBSZ 0", "PROT P", "FEAT"}, ReplyWait());
            channel_->Read(ReplyWait());
            // Every data connection under TLS too; a server that will not is left.
            const Reply prot = channel_->Read(ReplyWait());
            if (!prot.Completed()) {
                step_.clear();
                throw FtpError(LoadString(msg::kTlsNotOffered) + " " + prot.Text());
            }
        } else {
            channel_->Send("FEAT", ReplyWait());
        }
        bool utf8 = false;
        const Reply feat = channel_->Read(ReplyWait());
        if (feat.code == 211) {
            for (size_t i = 1; i + 1 < feat.lines.size(); ++i) {
                std::string_view text = feat.lines[i];
                while (!text.empty() && text[0] == ' ') {
                    text.remove_prefix(1);
                }
                useMlst_ = useMlst_ || StartsWithNoCase(text, "MLST");
                offersMdtm_ = offersMdtm_ || StartsWithNoCase(text, "MDTM");
                utf8 = utf8 || StartsWithNoCase(text, "UTF8");
            }
        }
        // PWD after OPTS UTF8 ON: the reply names the directory in the names'
        // encoding. TYPE I for the copies to come (listings do not mind it).
        std::vector<std::string> rest = {"PWD", "TYPE I"};
        if (utf8) {
            rest.insert(rest.begin(), "OPTS UTF8 ON");
        }
        channel_->SendMany(rest, ReplyWait());
        if (utf8) {
            channel_->Read(ReplyWait());  // a refusal changes nothing
        }
        const Reply pwd = channel_->Read(ReplyWait());
        if (channel_->Read(ReplyWait()).Completed()) {
            type_ = TransferType::Binary;
        }
        const std::optional<std::string> home = pwd.code == 257 ? QuotedPath(FirstLine(pwd)) : std::nullopt;
        if (home && !home->empty() && (*home)[0] == '/') {
            cwd_ = NormaliseServerPath("/", *home);
            serverDir_ = cwd_;
        }
    });
    loggingIn_ = false;
}

// A server that speaks TLS from the first byte sends no greeting, and waits
// for ours. After a few quiet seconds a second connection tries a handshake:
// a certificate there means that port wants implicit TLS.
bool FtpSession::ImplicitTlsAtPort() {
    try {
        WaitForSocket(stream_->Socket(), POLLIN, Wait::For(kQuietGreeting, [this] { return MustAbort(); }));
        return false;
    } catch (const StreamError& error) {
        if (error.kind() != StreamError::Kind::TimedOut) {
            throw;
        }
    }
    TlsPeerCheck fetch(TlsPeerCheck::Mode::FetchOnly, host_, {});
    try {
        const auto client = std::make_shared<TlsClient>(fetch);
        const Wait wait = Wait::For(kQuietGreeting, [this] { return MustAbort(); });
        std::unique_ptr<PlainStream> plain = ConnectRoute(host_, port_, wait);
        TlsStream::Connect(client, plain->Release(), host_, TlsStream::Role::Control, wait);
    } catch (const TlsCertificateRefused&) {
        return true;
    } catch (const StreamError& error) {
        if (error.kind() == StreamError::Kind::Cancelled) {
            throw;
        }
    }
    return false;
}

std::unique_ptr<PlainStream> FtpSession::ConnectRoute(const std::string& host, int port, const Wait& wait) {
    if (!useProxy_) {
        return ConnectTcp(host, port, wait);
    }
    std::unique_ptr<PlainStream> stream = ConnectTcp(proxyHost_, proxyPort_, wait);
    HttpConnectTunnel(stream->Socket(), host, static_cast<uint16_t>(port), wait);
    return stream;
}

void FtpSession::StartTls(const Wait& wait) {
    step_ = "starting TLS";
    channel_.reset();
    const int socket = static_cast<PlainStream&>(*stream_).Release();
    stream_.reset();
    stream_ = TlsStream::Connect(tls_, socket, host_, TlsStream::Role::Control, wait);
    TraceNote(LoadString(msg::kTraceTlsStarted));
    channel_ = std::make_unique<ControlChannel>(*stream_, Tracer());
}

ControlChannel::Trace FtpSession::Tracer() const {
    if (!params_.trace || traceNumber_ == 0) {
        return {};
    }
    return [trace = params_.trace, number = traceNumber_](const TraceEvent& event) { trace->Record(number, event); };
}

void FtpSession::TraceNote(const std::string& text) {
    if (params_.trace && traceNumber_ != 0) {
        params_.trace->Note(traceNumber_, text);
    }
}

void FtpSession::EndTrace(const std::string& text) {
    TraceNote(text);
    traceNumber_ = 0;
}

// The handshake stopped at the server's certificate: thrown with it, of the
// kind the check's mode calls for.
void FtpSession::CertificateRefused(const TlsCertificateRefused& refused) {
    using Kind = FtpCertificateError::Kind;
    const Kind kind = check_->mode() == TlsPeerCheck::Mode::FetchOnly ? Kind::Fetched
                      : check_->mode() == TlsPeerCheck::Mode::Pinned  ? Kind::KeyChanged
                                                                      : Kind::Untrusted;
    const std::string text = LoadString(msg::kTlsCertificateRefused);
    Drop(text);
    throw FtpCertificateError(kind, refused.certificate(), text);
}

bool FtpSession::Rejected(const std::string& path) {
    if (std::optional<std::string> why = PathRefusal(path)) {
        lastError_ = std::move(*why);
        return true;
    }
    return false;
}

std::string FtpSession::Resolve(const std::string& path) const {
    return NormaliseServerPath(cwd_, path);
}

// Whether the run's cancel flag is set; the grace starts when it is first seen.
bool FtpSession::CancelSeen() {
    if (!cancelDeadline_ && params_.cancel != nullptr && params_.cancel->load() != 0) {
        cancelDeadline_ = Clock::now() + kCancelGrace;
    }
    return cancelDeadline_.has_value();
}

// Whether the operation in flight must stop now.
bool FtpSession::MustAbort() {
    if (loggingIn_ && params_.abandonLogin != nullptr && params_.abandonLogin->load() != 0) {
        return true;
    }
    return CancelSeen() && (loggingIn_ || Clock::now() >= *cancelDeadline_);
}

Wait FtpSession::ReplyWait() {
    return Wait::For(kReplyTimeout, [this] { return MustAbort(); });
}

// Also ends at a data command's refusal while its data moves.
Wait FtpSession::StallWait() {
    return Wait::For(kStallTimeout, [this] { return MustAbort() || EarlyAnswer(); });
}

void FtpSession::EnsureUsable() {
    if (closed_) {
        throw FtpError(LoadString(msg::kConnectionClosed));
    }
    if (!dropped_ && MustAbort()) {
        Drop("Operation was cancelled");
    }
    if (dropped_) {
        throw FtpError(*dropped_);
    }
}

// Closes the connection without QUIT; every later operation throws why.
void FtpSession::Drop(const std::string& why) {
    if (!dropped_) {
        dropped_ = why;
    }
    lastError_ = *dropped_;
    if (stream_) {
        EndTrace(FormatString(msg::kTraceDropped, {*dropped_}));
    }
    channel_.reset();
    stream_.reset();
}

void FtpSession::Post(const std::vector<std::string>& commands, bool renames) {
    std::vector<std::string> batch;
    std::vector<Held> kept;
    for (Held& held : held_) {
        if (held.kind == Held::Kind::Mkd) {
            batch.push_back("MKD " + held.source);
        } else if (held.kind == Held::Kind::Mlst) {
            batch.push_back("MLST " + held.source);
        } else if (held.kind == Held::Kind::SizeAndTime) {
            batch.push_back("SIZE " + held.source);
            if (offersMdtm_) {
                batch.push_back("MDTM " + held.source);
            }
        } else if (!renames) {
            kept.push_back(std::move(held));
            continue;
        } else {
            if (held.outcome.mode >= 0) {
                char octal[8];
                std::snprintf(octal, sizeof octal, "%o", static_cast<unsigned>(held.outcome.mode) & 07777U);
                batch.push_back("SITE CHMOD " + std::string(octal) + " " + held.source);
            }
            batch.push_back("RNFR " + held.source);
            batch.push_back("RNTO " + held.target);
        }
        posted_.push_back(std::move(held));
    }
    held_ = std::move(kept);
    batch.insert(batch.end(), commands.begin(), commands.end());
    step_ = "waiting for the server's reply";
    if (!batch.empty()) {
        channel_->SendMany(batch, ReplyWait());
    }
}

Reply FtpSession::FinalReply(std::string* opening) {
    Reply reply;
    for (;;) {
        reply = channel_->Read(ReplyWait());
        if (!reply.Preliminary()) {
            return reply;
        }
        if (opening != nullptr) {
            *opening = FirstLine(reply);
        }
    }
}

// A refused RNFR leaves RNTO refused too; both replies are read, so that
// neither is taken for a later command's.
void FtpSession::ReadAhead() {
    while (!posted_.empty()) {
        Held& held = posted_.front();
        RenameOutcome& outcome = held.outcome;
        if (held.kind == Held::Kind::Mkd) {
            static_cast<void>(FinalReply());  // in the trace; a failure shows in what is put there
        } else if (held.kind == Held::Kind::Mlst) {
            const Reply reply = FinalReply();
            checked_.push_back({outcome.from, EntryFromMlst({reply.code, reply.lines, reply.Text()}, held.source)});
        } else if (held.kind == Held::Kind::SizeAndTime) {
            const Reply size = FinalReply();
            const std::optional<Reply> time = offersMdtm_ ? std::optional<Reply>(FinalReply()) : std::nullopt;
            checked_.push_back({outcome.from, SizedEntry(held.source, size, time ? &*time : nullptr)});
            if (checked_.back().found.status != ListStatus::Ok) {
                relook_.push_back(checked_.size() - 1);
            }
        } else {
            if (outcome.mode >= 0) {
                outcome.modeSet = FinalReply().Completed();
            }
            const Reply from = FinalReply();
            const Reply to = FinalReply();
            outcome.renamed = from.code == 350 && to.Completed();
            outcome.sourceRefused = from.code != 350;
            if (!outcome.renamed) {
                outcome.error = (outcome.sourceRefused ? from : to).Text();
            }
            renamed_.push_back(std::move(outcome));
        }
        posted_.pop_front();
    }
}

Reply FtpSession::Ask(const std::string& command) {
    Post({command});
    ReadAhead();
    return FinalReply();
}

Reply FtpSession::Command(const std::string& command) {
    const Reply reply = Ask(command);
    if (!reply.Completed()) {
        lastError_ = reply.Text();
    }
    return reply;
}

std::vector<Reply> FtpSession::AskMany(const std::vector<std::string>& commands) {
    Post(commands);
    ReadAhead();
    std::vector<Reply> replies;
    for (size_t i = 0; i < commands.size(); ++i) {
        replies.push_back(FinalReply());
    }
    return replies;
}
bool FtpSession::Simple(const std::string& verb, const std::string& path) {
    if (Rejected(path)) {
        return false;
    }
    const std::string target = Resolve(path);
    return Guarded([&] { return Command(verb + " " + target).Completed(); });
}

bool FtpSession::SetCurrentDirectory(const std::string& path) {
    if (Rejected(path)) {
        return false;
    }
    const std::string dir = Resolve(path);
    if (serverDir_ == dir) {
        cwd_ = dir;  // already there (PWD said so, or the last CWD)
        return true;
    }
    return Guarded([&] {
        if (!Command("CWD " + dir).Completed()) {
            return false;
        }
        cwd_ = dir;
        serverDir_ = dir;
        return true;
    });
}

bool FtpSession::CreateDirectory(const std::string& path) {
    return Simple("MKD", path);
}

void FtpSession::CreateDirectorySoon(const std::string& path) {
    if (Rejected(path)) {
        return;
    }
    EnsureUsable();
    RenameOutcome outcome;
    outcome.from = path;
    held_.push_back({Held::Kind::Mkd, std::move(outcome), Resolve(path), {}});
}

bool FtpSession::RemoveDirectory(const std::string& path) {
    const bool removed = Simple("RMD", path);
    if (removed) {
        serverDir_.reset();  // the server may have been in it
    }
    return removed;
}

bool FtpSession::Remove(const std::string& path) {
    return Simple("DELE", path);
}

bool FtpSession::Rename(const std::string& from, const std::string& to) {
    if (Rejected(from) || Rejected(to)) {
        return false;
    }
    const std::string source = Resolve(from);
    const std::string target = Resolve(to);
    if (source == "/" || target == "/") {
        lastError_ = FormatString(msg::kServerPathBlocked, {source == "/" ? from : to});
        return false;
    }
    // Both go out at once; a refused RNFR leaves RNTO refused too (its reply
    // is still read, so that it is not taken for the next command's).
    return Guarded([&] {
        Post({"RNFR " + source, "RNTO " + target});
        ReadAhead();
        const Reply first = FinalReply();
        const Reply second = FinalReply();
        if (first.code != 350) {
            lastError_ = first.Text();
            return false;
        }
        if (!second.Completed()) {
            lastError_ = second.Text();
            return false;
        }
        return true;
    });
}

void FtpSession::RenameSoon(const std::string& from, const std::string& to, int mode) {
    RenameOutcome outcome{from, to, false, false, {}, mode, false};
    const std::string source = Resolve(from);
    const std::string target = Resolve(to);
    if (Rejected(from) || Rejected(to) || source == "/" || target == "/" || mode > 07777) {
        outcome.error = lastError_;
        outcome.sourceRefused = true;
        renamed_.push_back(std::move(outcome));
        return;
    }
    EnsureUsable();
    held_.push_back({Held::Kind::Rename, std::move(outcome), source, target});
}

// Deferred where the check is one command (MLST) or two (SIZE and MDTM of a
// dot name on a server whose listings may hide it); a listing is not.
void FtpSession::StoredSoon(const std::string& path) {
    if (Rejected(path)) {
        FtpListing refused;
        refused.error = lastError_;
        checked_.push_back({path, std::move(refused)});
        return;
    }
    const std::string target = Resolve(path);
    if (!useMlst_ && !ServerBaseNameOf(target).starts_with('.')) {
        FtpConnection::StoredSoon(path);
        return;
    }
    EnsureUsable();
    RenameOutcome outcome;
    outcome.from = path;
    held_.push_back({useMlst_ ? Held::Kind::Mlst : Held::Kind::SizeAndTime, std::move(outcome), target, {}});
}

// A dot file that SIZE did not answer (some servers refuse it in ASCII
// mode) may still be listed.
std::vector<StoredCheck> FtpSession::TakeChecked() {
    std::vector<StoredCheck> checks = std::exchange(checked_, {});
    for (const size_t i : std::exchange(relook_, {})) {
        checks[i].found = Lookup(checks[i].path);
    }
    return checks;
}

std::vector<std::string> FtpSession::WithdrawHeld() {
    std::vector<std::string> withdrawn;
    std::vector<Held> kept;
    for (Held& held : held_) {
        if (held.kind == Held::Kind::Mkd) {
            kept.push_back(std::move(held));
        } else {
            withdrawn.push_back(std::move(held.outcome.from));
        }
    }
    held_ = std::move(kept);
    return withdrawn;
}

void FtpSession::SendHeld() {
    if (!held_.empty() || !posted_.empty()) {
        Guarded([&] {
            Post({}, true);
            ReadAhead();
        });
    }
}

bool FtpSession::KeepAlive() {
    return Guarded([&] { return Command("NOOP").Completed(); }, true);
}

bool FtpSession::SetMode(const std::string& path, int mode) {
    if (Rejected(path) || mode < 0 || mode > 07777) {
        return false;
    }
    char octal[8];
    std::snprintf(octal, sizeof octal, "%o", static_cast<unsigned>(mode));
    return Simple("SITE CHMOD " + std::string(octal), path);
}

bool FtpSession::EnsureType(TransferType type) {
    if (type_ == type) {
        return true;
    }
    type_.reset();
    if (!Command(type == TransferType::Binary ? "TYPE I" : "TYPE A").Completed()) {
        return false;
    }
    type_ = type;
    return true;
}

// Once a passive data connection of the session worked, the next one is
// asked for (EPSV or PASV) in the same write as its data command, and
// connected only when both are read by the server: some servers drop a data
// connection whose bytes arrive before its command. (In active mode some
// servers answer EPRT only once connected, after a refusal of the command
// that follows it: EPRT waits for its own reply.) The data then moves at
// once, without waiting for the opening reply, so that a copy costs one round
// trip; a refusal that arrives meanwhile ends the data connection
// (EarlyAnswer).
Reply FtpSession::Transfer(const std::string& command, const Mover& move, std::string& opening, bool& commandSent,
                           bool renames) {
    step_ = "opening the data connection";
    opening_.clear();
    early_.reset();
    std::unique_ptr<DataLink> link;
    if (dataProven_->load() && modes_.passive) {
        std::string ask;
        link = OfferData(stream_->Socket(), modes_, route_, ask);
        Post({ask, command}, renames);
        commandSent = true;
        ReadAhead();
        const Reply offer = FinalReply();
        if (!TakeOffer(*link, offer, stream_->Socket(), route_, ReplyWait())) {
            // The command's reply says whether the server now waits for a
            // connection that cannot be made; a refusal leaves it to the
            // fallbacks of a data connection asked for by itself.
            dataProven_->store(false);
            const Reply reply = FinalReply(&opening_);
            if (reply.code < 400) {
                throw FtpError("the server's data connection cannot be made: " + offer.Text());
            }
            link.reset();
        }
    }
    if (!link) {
        link = PrepareData([this](const std::string& ask) { return Ask(ask); }, stream_->Socket(), modes_, route_,
                           ReplyWait());
        Post({command}, renames);
        commandSent = true;
        opening_.clear();
        if (modes_.passive) {
            // Connected before the server read the command: nothing goes
            // out before its opening reply.
            step_ = "waiting for the server's reply";
            ReadAhead();
            Reply reply = channel_->Read(ReplyWait());
            if (reply.Preliminary()) {
                opening_ = FirstLine(reply);
            } else {
                early_ = std::move(reply);
            }
        }
    }
    if (early_) {
        // Answered before any data: a refusal (or a server that had nothing to send).
        link.reset();
        opening = opening_;
        if (!early_->Completed()) {
            lastError_ = early_->Text();
        }
        return *early_;
    }
    watchReplies_ = true;
    struct Unwatch {
        bool& flag;
        ~Unwatch() { flag = false; }
    } unwatch{watchReplies_};
    try {
        step_ = "opening the data connection";
        ByteStream& data = link->Open(StallWait());
        dataProven_->store(true);
        move(data, *link);
        link->Finish();  // the end of the data, for an upload
    } catch (const StreamError& error) {
        watchReplies_ = false;
        if (error.kind() == StreamError::Kind::Cancelled && MustAbort()) {
            throw;
        }
        if (!early_ || early_->code < 400) {
            // The data connection failed: a refusal on the control connection
            // makes it this item's failure, anything else the connection's.
            step_ = "waiting for the server's reply";
            ReadAhead();
            if (!early_) {
                early_ = FinalReply();
            }
            if (early_->code < 400) {
                throw;
            }
        }
        link->Reset();
    }
    watchReplies_ = false;
    link.reset();
    step_ = "waiting for the server's reply";
    ReadAhead();
    Reply reply = early_ ? *early_ : FinalReply(&opening_);
    opening = opening_;
    if (!reply.Completed()) {
        lastError_ = reply.Text();
    }
    return reply;
}

bool FtpSession::EarlyAnswer() {
    if (!watchReplies_) {
        return false;
    }
    while (!early_ && channel_->ReplyArriving()) {
        if (!posted_.empty()) {
            ReadAhead();
            continue;
        }
        Reply reply = channel_->Read(ReplyWait());
        if (reply.Preliminary()) {
            opening_ = FirstLine(reply);
        } else {
            early_ = std::move(reply);
        }
    }
    return early_ && early_->code >= 400;
}

bool FtpSession::PutFile(const std::string& localPath, const std::string& serverPath, TransferType type,
                         UploadCount* sent) {
    if (Rejected(serverPath)) {
        return false;
    }
    const std::string target = Resolve(serverPath);
    if (target == "/") {
        lastError_ = FormatString(msg::kServerPathBlocked, {serverPath});
        return false;
    }
    EnsureUsable();
    FILE* file = std::fopen(localPath.c_str(), "rbe");
    struct stat st {};
    if (!file || fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = file ? EISDIR : errno;
        if (file) {
            std::fclose(file);
        }
        lastError_ = FormatString(msg::kLocalFileUnreadable, {localPath}) + ": " + std::strerror(error);
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> closer(file, std::fclose);
    std::optional<TextUploadReader> text;
    if (type == TransferType::Ascii) {
        text.emplace(file);
    }
    // What went out, however the upload ends.
    struct Counted {
        FILE* file;
        const std::optional<TextUploadReader>& text;
        UploadCount* sent;
        ~Counted() {
            if (sent != nullptr) {
                const long position = std::ftell(file);
                *sent = text ? text->count() : UploadCount{position > 0 ? position : 0, 0};
            }
        }
    } counted{file, text, sent};

    int readError = 0;
    const Mover send = [&](ByteStream& data, DataLink& link) {
        step_ = "sending data";
        std::vector<char> in(kBlock), out(2 * kBlock);
        for (;;) {
            long n = 0;
            const char* bytes = in.data();
            if (text) {
                n = text->Read(in.data(), in.size());
                if (n > 0) {
                    // Every LF goes out as CR LF.
                    size_t w = 0;
                    for (long i = 0; i < n; ++i) {
                        if (in[i] == '\n') {
                            out[w++] = '\r';
                        }
                        out[w++] = in[i];
                    }
                    bytes = out.data();
                    n = static_cast<long>(w);
                }
            } else {
                n = static_cast<long>(std::fread(in.data(), 1, in.size(), file));
                if (n == 0 && std::ferror(file)) {
                    n = -1;
                }
            }
            if (n < 0) {
                readError = errno ? errno : EIO;
                link.Reset();  // so that the server does not take a part as the whole file
                return;
            }
            if (n == 0) {
                return;
            }
            data.WriteAll(bytes, static_cast<size_t>(n), StallWait());
        }
    };
    return Guarded([&] {
        if (!EnsureType(type)) {
            return false;
        }
        std::string opening;
        bool commandSent = false;
        try {
            const Reply reply = Transfer("STOR " + target, send, opening, commandSent, true);
            if (readError != 0) {
                lastError_ = FormatString(msg::kLocalFileUnreadable, {localPath}) + ": " + std::strerror(readError);
                return false;
            }
            return reply.Completed();
        } catch (const StreamError& error) {
            if (error.kind() != StreamError::Kind::Cancelled || !commandSent) {
                throw;
            }
            // Reported as this copy's failure: the server may keep a partial
            // file, which looks newer than the local one.
            Drop("Operation was cancelled");
            lastError_ = LoadString(msg::kUploadCutByCancel);
            return false;
        }
    });
}

bool FtpSession::GetFile(const std::string& serverPath, const std::string& localPath, TransferType type,
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
    int64_t received = 0;
    int writeError = 0;
    const Mover receive = [&](ByteStream& data, DataLink& link) {
        step_ = "receiving data";
        std::vector<char> in(kBlock);
        bool heldCr = false;  // text mode: a CR at the end of the last block
        for (;;) {
            size_t n = data.ReadSome(in.data(), in.size(), StallWait());
            std::string_view bytes(in.data(), n);
            std::string converted;
            if (type == TransferType::Ascii) {
                // CR LF becomes LF.
                converted.reserve(n + 1);
                for (size_t i = 0; i < n; ++i) {
                    if (heldCr && in[i] != '\n') {
                        converted += '\r';
                    }
                    heldCr = in[i] == '\r';
                    if (!heldCr) {
                        converted += in[i];
                    }
                }
                if (n == 0 && heldCr) {
                    converted += '\r';
                }
                bytes = converted;
            }
            if (!bytes.empty()) {
                const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), temp.file());
                received += static_cast<int64_t>(written);
                if (written < bytes.size()) {
                    writeError = errno ? errno : EIO;
                    link.Reset();
                    return;
                }
            }
            if (n == 0) {
                return;
            }
        }
    };
    return Guarded([&] {
        if (!EnsureType(type)) {
            return false;
        }
        std::string opening;
        bool commandSent = false;
        const Reply reply = Transfer("RETR " + source, receive, opening, commandSent);
        if (writeError != 0) {
            lastError_ = std::string("Failed writing received data to disk: ") + std::strerror(writeError);
            return false;
        }
        // An ASCII transfer changes line ends, so only a binary one must match.
        return reply.Completed() && (type != TransferType::Binary || SizeAsExpected(opening, listedSize, received)) &&
               temp.Commit(target, lastError_);
    });
}

// Whether a binary download got the size its opening reply announced or,
// when that announces none, the size the listing gave (if any): a server
// that ends a cut transfer with a success reply is not believed.
bool FtpSession::SizeAsExpected(const std::string& opening, int64_t listedSize, int64_t received) {
    int64_t expected = AnnouncedSize(opening);
    if (expected < 0) {
        expected = listedSize;
    }
    if (expected >= 0 && expected != received) {
        lastError_ = FormatString(msg::kDownloadSizeMismatch, {std::to_string(expected), std::to_string(received)});
        return false;
    }
    return true;
}

// Enters dir (a refusal there tells a missing directory from another
// failure), then lists it: MLSD, or LIST, or "LIST <listName>".
void FtpSession::ListInto(const std::string& dir, FtpListing& listing, const std::string* listName) {
    const auto failed = [&](const Reply& reply) {
        listing.status = reply.code == 550 ? ListStatus::Missing : ListStatus::Failed;
        listing.error = lastError_ = reply.Text();
    };
    if (serverDir_ != dir) {
        const Reply cwd = Command("CWD " + dir);
        if (!cwd.Completed()) {
            failed(cwd);
            return;
        }
        serverDir_ = dir;
    }
    const bool mlsd = useMlst_ && !listName;
    const std::string command = listName ? "LIST " + *listName : mlsd ? "MLSD" : "LIST";
    std::string body;
    std::string opening;
    bool commandSent = false;
    const Reply reply = Transfer(
        command,
        [&](ByteStream& data, DataLink&) {
            step_ = "receiving a listing";
            char block[kBlock];
            while (const size_t n = data.ReadSome(block, sizeof block, StallWait())) {
                body.append(block, n);
            }
        },
        opening, commandSent);
    if (!reply.Completed()) {
        failed(reply);
        return;
    }
    if (mlsd) {
        ParseMlsdListing(body, listing);
    } else {
        ParseListListing(body, static_cast<int64_t>(std::time(nullptr)), listing);
    }
    listing.status = ListStatus::Ok;
}

FtpSession::MlstAnswer FtpSession::Mlst(const std::string& absPath) {
    const Reply reply = Command("MLST " + absPath);
    return {reply.code, reply.lines, reply.Text()};
}

FtpListing FtpSession::SizeAndTime(const std::string& absPath) {
    std::vector<std::string> commands = {"SIZE " + absPath};
    if (offersMdtm_) {
        commands.push_back("MDTM " + absPath);
    }
    const std::vector<Reply> replies = AskMany(commands);
    return SizedEntry(absPath, replies[0], replies.size() > 1 ? &replies[1] : nullptr);
}

FtpListing FtpSession::SizedEntry(const std::string& absPath, const Reply& size, const Reply* time) {
    FtpListing listing;
    const std::optional<int64_t> bytes =
        size.lines.empty() ? std::nullopt : SizeFromReply(size.code, size.lines.back());
    if (!bytes) {
        listing.error = lastError_ = size.Text();
        return listing;
    }
    FtpEntry entry;
    entry.name = ServerBaseNameOf(absPath);
    entry.hidden = true;
    entry.size = *bytes;
    entry.lastWriteTime = kUnknownServerTime;
    if (const std::optional<int64_t> seconds = time ? MdtmTime(*time) : std::nullopt) {
        entry.lastWriteTime = *seconds;
        entry.byMdtm = true;
    }
    listing.status = ListStatus::Ok;
    listing.entries.push_back(std::move(entry));
    return listing;
}

FtpListing FtpSession::Stored(const std::string& path) {
    if (Rejected(path)) {
        FtpListing refused;
        refused.error = lastError_;
        return refused;
    }
    const std::string target = Resolve(path);
    if (useMlst_ || target.substr(target.rfind('/') + 1).rfind('.', 0) != 0) {
        return Lookup(path);
    }
    FtpListing sized = Guarded([&] { return SizeAndTime(target); }, true);
    // SIZE refused (some servers refuse it in ASCII mode): the listing may still show it.
    return sized.status == ListStatus::Ok ? sized : Lookup(path);
}

FtpListing FtpSession::List(const std::string& directory) {
    FtpListing listing;
    if (Rejected(directory)) {
        listing.error = lastError_;
        return listing;
    }
    const std::string dir = Resolve(directory);
    Guarded(
        [&] {
            listing = {};
            ListInto(dir, listing, nullptr);
        },
        true);
    return listing;
}

FtpListing FtpSession::Lookup(const std::string& path) {
    if (Rejected(path)) {
        FtpListing refused;
        refused.error = lastError_;
        return refused;
    }
    const std::string target = Resolve(path);
    FtpListing result = Guarded([&] { return LookupEntry(*this, target, useMlst_); }, true);
    if (result.status != ListStatus::Ok && !result.error.empty()) {
        lastError_ = result.error;
    }
    return result;
}

std::optional<int64_t> FtpSession::ModificationTime(const std::string& path) {
    if (!offersMdtm_ || Rejected(path)) {
        return std::nullopt;
    }
    const std::string target = Resolve(path);
    return MdtmTime(Guarded([&] { return Command("MDTM " + target); }, true));
}

std::optional<int64_t> FtpSession::Size(const std::string& path) {
    if (Rejected(path)) {
        return std::nullopt;
    }
    const std::string target = Resolve(path);
    const Reply reply = Guarded([&] { return Command("SIZE " + target); }, true);
    return reply.lines.empty() ? std::nullopt : SizeFromReply(reply.code, reply.lines.back());
}

void FtpSession::Close() {
    if (closed_) {
        return;
    }
    // Renames still held back go out first: the server's state is then as
    // the caller meant it, whether or not it takes their outcomes.
    if (!held_.empty() && !dropped_ && channel_) {
        try {
            SendHeld();
        } catch (const std::exception&) {
        }
    }
    closed_ = true;
    // QUIT, its reply briefly waited for; after a cancel, not waited for at all.
    if (channel_ && !dropped_ && channel_->state() == ControlChannel::State::Open && channel_->waiting() == 0) {
        try {
            channel_->Send("QUIT", Wait::For(kQuitWait));
            if (quitReplyWanted_ && !CancelSeen()) {
                channel_->Read(Wait::For(kQuitWait));
            }
        } catch (const std::exception&) {
            // Closed either way.
        }
    }
    if (stream_) {
        EndTrace(LoadString(msg::kTraceClosed));
    }
    channel_.reset();
    stream_.reset();
}

void FtpSession::Leave() {
    quitReplyWanted_ = false;
    Close();
}

namespace {

class OwnFtpFactory : public FtpClientFactory {
  public:
    std::unique_ptr<FtpConnection> Connect(const FtpConnectParams& params) override {
        auto session = std::make_unique<FtpSession>(params);
        session->Login();
        return session;
    }
};

}  // namespace

std::unique_ptr<FtpClientFactory> MakeFtpFactory() {
    return std::make_unique<OwnFtpFactory>();
}

}  // namespace kestrum
