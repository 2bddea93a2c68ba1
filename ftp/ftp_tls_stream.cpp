#include "ftp/ftp_tls_stream.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ftp/ftp_wait.h"

namespace kestrum {

namespace {

bool IsAddress(const std::string& host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// OpenSSL's reason for the last failure, or the system's.
std::string Reason() {
    if (const unsigned long code = ERR_peek_last_error(); code != 0) {
        if (const char* reason = ERR_reason_error_string(code))
            return reason;
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        return text;
    }
    return errno != 0 ? std::strerror(errno) : "the connection ended";
}

}  // namespace

TlsClient::TlsClient(TlsPeerCheck& check, Versions versions) : check_(check) {
    context_ = SSL_CTX_new(TLS_client_method());
    if (context_ == nullptr)
        throw StreamError(StreamError::Kind::Failed, "TLS: " + Reason());
    SSL_CTX_set_min_proto_version(context_, versions == Versions::Tls13 ? TLS1_3_VERSION : TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context_, versions == Versions::Tls12 ? TLS1_2_VERSION : TLS1_3_VERSION);
    SSL_CTX_set_default_verify_paths(context_);
    check_.Install(context_);
    // Sessions are kept here, not in OpenSSL's cache: only the control
    // connection's are resumed.
    SSL_CTX_set_session_cache_mode(context_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context_, &TlsClient::OnNewSession);
}

TlsClient::~TlsClient() {
    SSL_SESSION_free(session_);
    SSL_CTX_free(context_);
}

bool TlsClient::HasSession() const {
    std::lock_guard lock(mutex_);
    return session_ != nullptr;
}

SSL_SESSION* TlsClient::SessionCopy() const {
    // A copy for each data connection: OpenSSL resumes a TLS 1.3 session only
    // once, then marks it spent; the control connection's stays resumable.
    std::lock_guard lock(mutex_);
    return session_ != nullptr ? SSL_SESSION_dup(session_) : nullptr;
}

int TlsClient::OnNewSession(SSL* ssl, SSL_SESSION* session) {
    // Only a control connection carries its client as application data.
    auto* self = static_cast<TlsClient*>(SSL_get_app_data(ssl));
    if (self == nullptr || SSL_SESSION_is_resumable(session) != 1)
        return 0;
    std::lock_guard lock(self->mutex_);
    SSL_SESSION_free(self->session_);
    self->session_ = session;
    return 1;  // the reference is ours now
}

TlsStream::TlsStream(std::shared_ptr<TlsClient> client, int fd) : client_(std::move(client)), fd_(fd) {}

TlsStream::~TlsStream() {
    Close();
}

std::unique_ptr<TlsStream> TlsStream::Connect(std::shared_ptr<TlsClient> client, int fd, const std::string& host,
                                              Role role, const Wait& wait) {
    std::unique_ptr<TlsStream> stream(new TlsStream(client, fd));
    SSL* ssl = stream->ssl_ = SSL_new(client->context_);
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1)
        throw StreamError(StreamError::Kind::Failed, "TLS: " + Reason());
    if (!IsAddress(host))
        SSL_set_tlsext_host_name(ssl, host.c_str());
    if (role == Role::Control) {
        SSL_set_app_data(ssl, client.get());
    } else if (SSL_SESSION* copy = client->SessionCopy()) {
        SSL_set_session(ssl, copy);
        SSL_SESSION_free(copy);
    }
    try {
        for (;;) {
            ERR_clear_error();
            errno = 0;
            const int result = SSL_connect(ssl);
            const Step step = stream->Check(result, wait, "TLS handshake");
            if (step == Step::Done)
                break;
            if (step == Step::End)
                throw StreamError(StreamError::Kind::Closed, "TLS handshake: the server closed the connection");
        }
    } catch (const StreamError&) {
        if (SSL_get_verify_result(ssl) == X509_V_ERR_CERT_REJECTED) {
            if (auto refused = client->check().Refused())
                throw TlsCertificateRefused(std::move(*refused));
        }
        throw;
    }
    return stream;
}

TlsStream::Step TlsStream::Check(int result, const Wait& wait, const char* what) {
    const int error = SSL_get_error(ssl_, result);
    switch (error) {
        case SSL_ERROR_NONE:
            return Step::Done;
        case SSL_ERROR_WANT_READ:
            WaitForSocket(fd_, POLLIN, wait);
            return Step::Retry;
        case SSL_ERROR_WANT_WRITE:
            WaitForSocket(fd_, POLLOUT, wait);
            return Step::Retry;
        case SSL_ERROR_ZERO_RETURN:
            return Step::End;
        default:
            break;
    }
    broken_ = true;
    const unsigned long code = ERR_peek_last_error();
    const bool closed =
        (error == SSL_ERROR_SYSCALL && (errno == 0 || errno == EPIPE || errno == ECONNRESET)) ||
        (ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
    throw StreamError(closed ? StreamError::Kind::Closed : StreamError::Kind::Failed,
                      std::string(what) + ": " + Reason());
}

size_t TlsStream::ReadSome(char* buffer, size_t size, const Wait& wait) {
    if (ssl_ == nullptr)
        throw StreamError(StreamError::Kind::Failed, "TLS read: the stream is closed");
    for (;;) {
        ERR_clear_error();
        errno = 0;
        size_t got = 0;
        const int result = SSL_read_ex(ssl_, buffer, size, &got);
        if (result == 1)
            return got;
        if (Check(result, wait, "TLS read") == Step::End)
            return 0;
    }
}

void TlsStream::WriteAll(const char* data, size_t size, const Wait& wait) {
    if (ssl_ == nullptr)
        throw StreamError(StreamError::Kind::Failed, "TLS write: the stream is closed");
    while (size > 0) {
        ERR_clear_error();
        errno = 0;
        size_t written = 0;
        const int result = SSL_write_ex(ssl_, data, size, &written);
        if (result == 1) {
            data += written;
            size -= written;
        } else if (Check(result, wait, "TLS write") == Step::End) {
            throw StreamError(StreamError::Kind::Closed, "TLS write: the server closed the connection");
        }
    }
}

bool TlsStream::Readable() {
    if (ssl_ == nullptr)
        return false;
    if (SSL_pending(ssl_) > 0)
        return true;
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, 0) <= 0)
        return false;
    // What arrived may be a record without application data (a session
    // ticket): only OpenSSL can tell.
    ERR_clear_error();
    char byte;
    size_t got = 0;
    const int result = SSL_peek_ex(ssl_, &byte, 1, &got);
    if (result == 1)
        return true;
    const int error = SSL_get_error(ssl_, result);
    return error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
}

void TlsStream::Close() {
    if (ssl_ != nullptr && !broken_ && SSL_is_init_finished(ssl_)) {
        const Wait grace = Wait::For(std::chrono::milliseconds(500));
        try {
            // Ours first; then read up to the peer's, dropping what it still sends.
            for (int result = 0;;) {
                ERR_clear_error();
                errno = 0;
                result = SSL_shutdown(ssl_);
                if (result == 1)
                    break;
                if (result == 0) {
                    char scratch[4096];
                    size_t got = 0;
                    for (;;) {
                        ERR_clear_error();
                        errno = 0;
                        result = SSL_read_ex(ssl_, scratch, sizeof scratch, &got);
                        if (result != 1 && Check(result, grace, "TLS close") == Step::End)
                            break;
                    }
                    break;
                }
                if (Check(result, grace, "TLS close") != Step::Retry)
                    break;
            }
        } catch (const StreamError&) {
            // The peer did not answer in time, or the connection broke: it ends anyway.
        }
    }
    SSL_free(ssl_);
    ssl_ = nullptr;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void TlsStream::Abort() {
    broken_ = true;
    Close();
}

bool TlsStream::Resumed() const {
    return ssl_ != nullptr && SSL_session_reused(ssl_) == 1;
}

std::string TlsStream::Version() const {
    return ssl_ != nullptr ? SSL_get_version(ssl_) : "";
}

}  // namespace kestrum
