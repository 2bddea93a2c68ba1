#include "ftp/ftp_tls.h"

#include <arpa/inet.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>
#include <vector>

#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

std::string NameText(const X509_NAME* name) {
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    std::string text(data, size > 0 ? static_cast<size_t>(size) : 0);
    // Shown on one line of the log: no control characters.
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return FromUtf8(text);
}

std::string TimeText(const ASN1_TIME* time) {
    struct tm parts {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
    return text;
}

void Describe(X509* leaf, ServerCertificate& certificate) {
    certificate.subject = NameText(X509_get_subject_name(leaf));
    certificate.issuer = NameText(X509_get_issuer_name(leaf));
    certificate.notBefore = TimeText(X509_get0_notBefore(leaf));
    certificate.notAfter = TimeText(X509_get0_notAfter(leaf));
    EVP_PKEY* key = X509_get0_pubkey(leaf);
    const int length = key ? i2d_PUBKEY(key, nullptr) : -1;
    if (length <= 0)
        return;
    std::vector<unsigned char> der(static_cast<size_t>(length));
    unsigned char* out = der.data();
    i2d_PUBKEY(key, &out);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1)
        return;
    unsigned char base64[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int base64Length = EVP_EncodeBlock(base64, digest, static_cast<int>(digestLength));
    certificate.keyPin = "sha256//" + std::string(reinterpret_cast<char*>(base64), static_cast<size_t>(base64Length));
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned int i = 0; i < digestLength; ++i) {
        if (i > 0)
            certificate.fingerprint += ':';
        certificate.fingerprint += kHex[digest[i] >> 4];
        certificate.fingerprint += kHex[digest[i] & 15];
    }
}

bool HostMatches(X509* leaf, const std::string& host) {
    unsigned char address[16];
    if (inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1)
        return X509_check_ip_asc(leaf, host.c_str(), 0) == 1;
    return X509_check_host(leaf, host.data(), host.size(), 0, nullptr) == 1;
}

}  // namespace

TlsPeerCheck::TlsPeerCheck(Mode mode, std::string host, std::string pinnedKey)
    : mode_(mode), host_(std::move(host)), pinnedKey_(std::move(pinnedKey)) {}

void TlsPeerCheck::Install(SSL_CTX* context) {
    // Every mode decides in Verify, and a refusal there must end the
    // handshake even where the client asked OpenSSL not to verify.
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(
        context, [](X509_STORE_CTX* store, void* arg) { return TlsPeerCheck::Verify(store, arg); }, this);
}

int TlsPeerCheck::Verify(void* storeContext, void* selfPointer) {
    auto* store = static_cast<X509_STORE_CTX*>(storeContext);
    auto* self = static_cast<TlsPeerCheck*>(selfPointer);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf == nullptr)
        return 0;
    ServerCertificate certificate;
    Describe(leaf, certificate);
    // The chain is checked in every mode: a fetched certificate says whether
    // the system would have vouched for it.
    if (X509_verify_cert(store) != 1) {
        certificate.problem = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    } else if (!HostMatches(leaf, self->host_)) {
        certificate.problem = FormatString(msg::kTlsHostMismatch, {self->host_});
    }
    bool accepted = false;
    switch (self->mode_) {
        case Mode::Verify:
            accepted = certificate.problem.empty();
            break;
        case Mode::Pinned:
            accepted = !certificate.keyPin.empty() && certificate.keyPin == self->pinnedKey_;
            // Verified or not, a pinned key is the only one accepted.
            X509_STORE_CTX_set_error(store, accepted ? X509_V_OK : X509_V_ERR_CERT_REJECTED);
            break;
        case Mode::FetchOnly:
            break;
    }
    if (!accepted) {
        X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
        std::lock_guard lock(self->mutex_);
        self->refused_ = std::move(certificate);
    }
    return accepted ? 1 : 0;
}

std::optional<ServerCertificate> TlsPeerCheck::Refused() const {
    std::lock_guard lock(mutex_);
    return refused_;
}

}  // namespace kestrum
