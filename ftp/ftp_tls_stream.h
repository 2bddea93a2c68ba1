#pragma once
// TLS through OpenSSL over a connected non-blocking socket: the client side
// of an FTP control connection and of its data connections.
//
// A TlsClient holds what those connections share: the protocol versions
// offered, the certificate check of every full handshake, and the latest
// session the control connection received. A data connection resumes that
// session, so that servers requiring the control connection's session on
// every data connection accept it. Under TLS 1.3 the server sends its session
// tickets after the handshake; they are kept as the control connection reads.

#include <memory>
#include <mutex>
#include <string>

#include "ftp/ftp_client.h"
#include "ftp/ftp_stream.h"
#include "ftp/ftp_tls.h"

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

namespace kestrum {

// The handshake stopped at the server's certificate: nothing was sent under
// TLS. The caller throws FtpCertificateError with it, of the kind its
// TlsPeerCheck's mode calls for.
class TlsCertificateRefused : public StreamError {
  public:
    explicit TlsCertificateRefused(ServerCertificate certificate)
        : StreamError(Kind::Failed, "the server's certificate was refused"), certificate_(std::move(certificate)) {}
    const ServerCertificate& certificate() const { return certificate_; }

  private:
    ServerCertificate certificate_;
};

class TlsClient {
  public:
    enum class Versions { Tls12Or13, Tls12, Tls13 };
    // check decides every full handshake's certificate; it must outlive this
    // client and every stream made with it. Throws StreamError (Failed).
    explicit TlsClient(TlsPeerCheck& check, Versions versions = Versions::Tls12Or13);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    TlsPeerCheck& check() const { return check_; }
    // Whether a control connection has received a session to resume.
    bool HasSession() const;

  private:
    friend class TlsStream;
    static int OnNewSession(ssl_st* ssl, ssl_session_st* session);
    // A new reference to a copy of the kept session, or null.
    ssl_session_st* SessionCopy() const;

    TlsPeerCheck& check_;
    ssl_ctx_st* context_ = nullptr;
    mutable std::mutex mutex_;
    ssl_session_st* session_ = nullptr;  // the control connection's latest
};

class TlsStream : public ByteStream {
  public:
    enum class Role {
        Control,  // its sessions are kept in the client for the data connections
        Data,     // resumes the client's session when it has one
    };
    // Takes ownership of fd (connected, non-blocking; closed here on failure
    // too) and runs the handshake as wait allows. host: the server's name or
    // address as the user gave it (no port, no brackets); a name is sent as
    // SNI. Throws TlsCertificateRefused when the certificate check refused the
    // server, else StreamError.
    static std::unique_ptr<TlsStream> Connect(std::shared_ptr<TlsClient> client, int fd, const std::string& host,
                                              Role role, const Wait& wait);
    ~TlsStream() override;

    size_t ReadSome(char* buffer, size_t size, const Wait& wait) override;
    void WriteAll(const char* data, size_t size, const Wait& wait) override;
    bool Readable() override;
    // Sends close_notify and waits at most half a second for the peer's.
    void Close() override;
    int Socket() const override { return fd_; }
    // Ends the connection at once, without close_notify.
    void Abort();

    // Whether the handshake resumed a session instead of a full handshake.
    bool Resumed() const;
    // The protocol negotiated: "TLSv1.2", "TLSv1.3".
    std::string Version() const;

  private:
    TlsStream(std::shared_ptr<TlsClient> client, int fd);
    enum class Step { Done, Retry, End };
    // Classifies the result of an SSL call: Retry after waiting for the
    // socket, End for an orderly close_notify; throws on a failure.
    Step Check(int result, const Wait& wait, const char* what);

    std::shared_ptr<TlsClient> client_;
    int fd_ = -1;
    ssl_st* ssl_ = nullptr;
    bool broken_ = false;  // a fatal error happened: no close_notify
};

}  // namespace kestrum
