// FTP over TLS against vsftpd: round trips in both TLS forms and both modes,
// and every way a connection must stop before the password is sent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <tuple>

#include "ftp/ftp_client.h"
#include "tests/support/ftp_server.h"
#include "tests/support/tinyproxy.h"
#include "tests/support/vsftpd_server.h"

namespace kestrum::test {
namespace {

using Tls = VsftpdOptions::Tls;

FtpConnectParams TlsParams(const TestVsftpd& server, FtpSecurity security, bool passive = true) {
    return {.host = server.hostWithPort(),
            .user = TestVsftpd::kUser,
            .password = TestVsftpd::kPassword,
            .passive = passive,
            .security = security};
}

// Connects with params and gives the certificate error it fails with. It is a
// failure to connect, or to fail otherwise unless other takes that error's text.
std::optional<FtpCertificateError> CertificateErrorOf(const FtpConnectParams& params, std::string* other = nullptr) {
    try {
        MakeFtpFactory()->Connect(params)->Close();
        ADD_FAILURE() << "connected";
    } catch (const FtpCertificateError& e) {
        return e;
    } catch (const FtpError& e) {
        if (!other)
            ADD_FAILURE() << e.what();
        else
            *other = e.what();
    }
    return std::nullopt;
}

// The certificate the server presents, fetched without logging in.
ServerCertificate Fetch(FtpConnectParams params) {
    params.fetchCertificateOnly = true;
    const auto error = CertificateErrorOf(params);
    EXPECT_TRUE(error && error->kind() == FtpCertificateError::Kind::Fetched);
    return error ? error->certificate() : ServerCertificate{};
}

class FtpTls : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = TestVsftpd::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
    }
};

TEST_F(FtpTls, UploadsAndDownloadsOverEveryFormAndMode) {
    const std::tuple<Tls, FtpSecurity, bool> cases[] = {{Tls::Explicit, FtpSecurity::Explicit, true},
                                                        {Tls::Explicit, FtpSecurity::Explicit, false},
                                                        {Tls::Implicit, FtpSecurity::Implicit, true},
                                                        {Tls::None, FtpSecurity::Plain, false},
                                                        {Tls::None, FtpSecurity::Plain, true}};
    for (const auto& [tls, security, askPassive] : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(security)) + (askPassive ? " passive" : " active"));
        TestVsftpd server({.tls = tls});
        TempDir local;
        FtpConnectParams params = TlsParams(server, security, askPassive);
        if (tls != Tls::None) {
            const ServerCertificate certificate = Fetch(params);
            ASSERT_EQ(certificate.keyPin.rfind("sha256//", 0), 0u);
            EXPECT_NE(certificate.subject.find("kestrum-test"), std::string::npos);
            EXPECT_FALSE(certificate.problem.empty());  // self-signed
            EXPECT_EQ(certificate.fingerprint.size(), 32u * 3 - 1);
            EXPECT_EQ(server.countCommands("USER"), 0);
            params.pinnedKey = certificate.keyPin;
        }
        auto connection = MakeFtpFactory()->Connect(params);
        ASSERT_TRUE(connection->SetCurrentDirectory("/home"));
        WriteFile(local / "up.txt", "over TLS\n");
        ASSERT_TRUE(connection->PutFile(local / "up.txt", "up.txt", TransferType::Binary)) << connection->LastError();
        const FtpListing listing = connection->List("");
        ASSERT_EQ(listing.entries.size(), 1u) << listing.error;
        EXPECT_EQ(listing.entries[0].name, "up.txt");
        ASSERT_TRUE(connection->GetFile("up.txt", local / "down.txt", TransferType::Ascii)) << connection->LastError();
        connection->Close();
        EXPECT_EQ(ReadFile(server.home() + "/up.txt"), "over TLS\n");
        EXPECT_EQ(ReadFile(local / "down.txt"), "over TLS\n");
        const std::string log = server.commandLog();
        EXPECT_EQ(log.find("PROT P") != std::string::npos, tls != Tls::None) << log;
        EXPECT_EQ(log.find("AUTH TLS") != std::string::npos, tls == Tls::Explicit) << log;
        EXPECT_EQ(server.countCommands(askPassive ? "EPSV" : "EPRT"), 3) << log;
    }
}

TEST_F(FtpTls, StopsBeforeTheUserNameWhenTlsIsMissingOrTheKeyIsUnknownOrChanged) {
    {
        // A server without TLS: TLS is required, so nothing is sent in clear.
        TestVsftpd plain({.tls = Tls::None});
        std::string error;
        EXPECT_FALSE(CertificateErrorOf(TlsParams(plain, FtpSecurity::Explicit), &error));
        EXPECT_NE(error.find("TLS"), std::string::npos) << error;
        EXPECT_EQ(plain.countCommands("USER"), 0) << plain.commandLog();
        EXPECT_EQ(plain.countCommands("PASS"), 0);
    }
    TestVsftpd server;
    // Nothing vouches for a self-signed certificate.
    FtpConnectParams params = TlsParams(server, FtpSecurity::Explicit);
    const auto untrusted = CertificateErrorOf(params);
    ASSERT_TRUE(untrusted);
    EXPECT_EQ(untrusted->kind(), FtpCertificateError::Kind::Untrusted);
    EXPECT_FALSE(untrusted->certificate().problem.empty());
    EXPECT_EQ(server.countCommands("USER"), 0) << server.commandLog();

    // A pinned key works until the server's key changes.
    params.pinnedKey = Fetch(params).keyPin;
    MakeFtpFactory()->Connect(params)->Close();
    ASSERT_EQ(server.countCommands("PASS"), 1);
    server.ReplaceKey();
    const auto changed = CertificateErrorOf(params);
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->kind(), FtpCertificateError::Kind::KeyChanged);
    EXPECT_NE(changed->certificate().keyPin, params.pinnedKey);
    EXPECT_EQ(server.countCommands("PASS"), 1) << server.commandLog();
}

TEST_F(FtpTls, BothFormsThroughAnHttpProxyTunnel) {
    if (access(Tinyproxy::kBinary, X_OK) != 0)
        GTEST_SKIP() << "tinyproxy is not installed";
    for (const auto& [tls, security] :
         {std::pair{Tls::Explicit, FtpSecurity::Explicit}, std::pair{Tls::Implicit, FtpSecurity::Implicit}}) {
        SCOPED_TRACE(static_cast<int>(security));
        TestVsftpd server({.tls = tls});
        TempDir local;
        Tinyproxy proxy(local.path());
        FtpConnectParams params = TlsParams(server, security, false);
        params.accessType = 3;
        params.proxyName = "127.0.0.1:" + std::to_string(proxy.port());
        // The certificate check works inside the tunnel too.
        params.pinnedKey = Fetch(params).keyPin;
        ASSERT_FALSE(params.pinnedKey.empty());
        EXPECT_EQ(server.countCommands("USER"), 0);
        const int fetchTunnels = proxy.connectCount();
        EXPECT_GE(fetchTunnels, 1);

        auto connection = MakeFtpFactory()->Connect(params);
        ASSERT_TRUE(connection->SetCurrentDirectory("/home"));
        WriteFile(local / "up.txt", "through TLS in a tunnel\n");
        ASSERT_TRUE(connection->PutFile(local / "up.txt", "up.txt", TransferType::Binary)) << connection->LastError();
        ASSERT_TRUE(connection->GetFile("up.txt", local / "down.txt", TransferType::Binary)) << connection->LastError();
        EXPECT_EQ(connection->List("").entries.size(), 1u);
        connection->Close();
        EXPECT_EQ(ReadFile(server.home() + "/up.txt"), "through TLS in a tunnel\n");
        EXPECT_EQ(ReadFile(local / "down.txt"), "through TLS in a tunnel\n");
        // The control connection and its three data connections: each a tunnel of
        // its own, passive although active was asked for.
        EXPECT_EQ(proxy.connectCount() - fetchTunnels, 4);
        const std::string log = server.commandLog();
        EXPECT_NE(log.find("PROT P"), std::string::npos) << log;
        EXPECT_EQ(server.countCommands("EPSV"), 3) << log;
        EXPECT_EQ(server.countCommands("EPRT") + server.countCommands("PORT"), 0) << log;
    }
}

}  // namespace
}  // namespace kestrum::test
