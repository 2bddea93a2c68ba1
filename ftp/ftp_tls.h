#pragma once
// The server's side of a TLS handshake, as OpenSSL shows it to the client: the
// certificate is described for the user and accepted when the system's trust
// store and the host name vouch for it, or, with a pinned key, only when it
// carries that key. The decision is taken inside the handshake, so a refused
// server never sees a command sent under TLS.

#include <mutex>
#include <optional>
#include <string>

#include "ftp/ftp_client.h"

struct ssl_ctx_st;

namespace kestrum {

class TlsPeerCheck {
  public:
    enum class Mode { Verify, Pinned, FetchOnly };
    // host: the name or address the user gave (no port, no brackets).
    TlsPeerCheck(Mode mode, std::string host, std::string pinnedKey);

    // Has every handshake of context decided by this object, which must
    // outlive the context.
    void Install(ssl_ctx_st* context);

    // The certificate of the last full handshake refused, if any.
    std::optional<ServerCertificate> Refused() const;
    Mode mode() const { return mode_; }

  private:
    static int Verify(void* store, void* self);

    Mode mode_;
    std::string host_;
    std::string pinnedKey_;
    mutable std::mutex mutex_;
    std::optional<ServerCertificate> refused_;
};

}  // namespace kestrum
