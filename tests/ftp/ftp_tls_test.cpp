// FTP over TLS against vsftpd: round trips in both TLS forms and both modes,
// and every way a connection must stop before the password is sent.
#include <gtest/gtest.h>

#include <memory>

#include "ftp/ftp_client.h"
#include "tests/support/ftp_server.h"
#include "tests/support/vsftpd_server.h"

namespace kestrum::test {
namespace {

using Tls = VsftpdOptions::Tls;

FtpConnectParams TlsParams(const TestVsftpd& server, FtpSecurity security, bool passive = true) {
    FtpConnectParams params;
    params.host = server.hostWithPort();
    params.user = TestVsftpd::kUser;
    params.password = TestVsftpd::kPassword;
    params.security = security;
    params.passive = passive;
    return params;
}

// The certificate the server presents, fetched without logging in.
ServerCertificate Fetch(FtpConnectParams params) {
    params.fetchCertificateOnly = true;
    try {
        MakeCurlFtpFactory()->Connect(params);
    } catch (const FtpCertificateError& e) {
        EXPECT_EQ(e.kind(), FtpCertificateError::Kind::Fetched);
        return e.certificate();
    }
    ADD_FAILURE() << "no certificate";
    return {};
}

class FtpTls : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = TestVsftpd::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
    }
};

TEST_F(FtpTls, UploadsAndDownloadsOverEveryFormAndMode) {
    struct Case {
        Tls tls;
        FtpSecurity security;
        bool passive;
    };
    // Active mode over TLS falls back to passive (the platform's libcurl
    // cannot do it); against the same server without TLS it is active.
    for (const Case c :
         {Case{Tls::Explicit, FtpSecurity::Explicit, true}, Case{Tls::Explicit, FtpSecurity::Explicit, false},
          Case{Tls::Implicit, FtpSecurity::Implicit, true}, Case{Tls::None, FtpSecurity::Plain, false},
          Case{Tls::None, FtpSecurity::Plain, true}}) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.security)) + (c.passive ? " passive" : " active"));
        TestVsftpd server({.tls = c.tls});
        TempDir local;
        FtpConnectParams params = TlsParams(server, c.security, c.passive);
        if (c.tls != Tls::None) {
            const ServerCertificate certificate = Fetch(params);
            ASSERT_EQ(certificate.keyPin.rfind("sha256//", 0), 0u);
            EXPECT_NE(certificate.subject.find("kestrum-test"), std::string::npos);
            EXPECT_FALSE(certificate.problem.empty());  // self-signed
            EXPECT_EQ(certificate.fingerprint.size(), 32u * 3 - 1);
            EXPECT_EQ(server.countCommands("USER"), 0);
            params.pinnedKey = certificate.keyPin;
        }
        auto connection = MakeCurlFtpFactory()->Connect(params);
        ASSERT_TRUE(connection->SetCurrentDirectory("/home"));
        WriteFile(local / "up.txt", "over TLS\n");
        ASSERT_TRUE(connection->PutFile(local / "up.txt", "up.txt", TransferType::Binary)) << connection->LastError();
        FtpListing listing = connection->List("");
        ASSERT_EQ(listing.status, ListStatus::Ok) << listing.error;
        ASSERT_EQ(listing.entries.size(), 1u);
        EXPECT_EQ(listing.entries[0].name, "up.txt");
        ASSERT_TRUE(connection->GetFile("up.txt", local / "down.txt", TransferType::Ascii)) << connection->LastError();
        connection->Close();
        EXPECT_EQ(ReadFile(server.home() + "/up.txt"), "over TLS\n");
        EXPECT_EQ(ReadFile(local / "down.txt"), "over TLS\n");
        const std::string log = server.commandLog();
        EXPECT_EQ(log.find("PROT P") != std::string::npos, c.tls != Tls::None) << log;
        EXPECT_EQ(log.find("AUTH TLS") != std::string::npos, c.tls == Tls::Explicit) << log;
        const bool passive = c.passive || c.tls != Tls::None;
        EXPECT_EQ(server.countCommands(passive ? "EPSV" : "EPRT"), 3) << log;
    }
}

TEST_F(FtpTls, StopsBeforeTheUserNameWhenTlsIsMissingOrTheKeyIsUnknownOrChanged) {
    {
        // A server without TLS: TLS is required, so nothing is sent in clear.
        TestVsftpd plain({.tls = Tls::None});
        try {
            MakeCurlFtpFactory()->Connect(TlsParams(plain, FtpSecurity::Explicit));
            ADD_FAILURE() << "connected without TLS";
        } catch (const FtpCertificateError&) {
            ADD_FAILURE() << "no certificate expected";
        } catch (const FtpError& e) {
            EXPECT_NE(std::string(e.what()).find("TLS"), std::string::npos) << e.what();
        }
        EXPECT_EQ(plain.countCommands("USER"), 0) << plain.commandLog();
        EXPECT_EQ(plain.countCommands("PASS"), 0);
    }
    TestVsftpd server;
    // Nothing vouches for a self-signed certificate.
    try {
        MakeCurlFtpFactory()->Connect(TlsParams(server, FtpSecurity::Explicit));
        ADD_FAILURE() << "an unknown certificate was accepted";
    } catch (const FtpCertificateError& e) {
        EXPECT_EQ(e.kind(), FtpCertificateError::Kind::Untrusted);
        EXPECT_FALSE(e.certificate().problem.empty());
    }
    EXPECT_EQ(server.countCommands("USER"), 0) << server.commandLog();

    // A pinned key works until the server's key changes.
    FtpConnectParams params = TlsParams(server, FtpSecurity::Explicit);
    params.pinnedKey = Fetch(params).keyPin;
    MakeCurlFtpFactory()->Connect(params)->Close();
    ASSERT_EQ(server.countCommands("PASS"), 1);
    server.ReplaceKey();
    try {
        MakeCurlFtpFactory()->Connect(params);
        ADD_FAILURE() << "a changed key was accepted";
    } catch (const FtpCertificateError& e) {
        EXPECT_EQ(e.kind(), FtpCertificateError::Kind::KeyChanged);
        EXPECT_NE(e.certificate().keyPin, params.pinnedKey);
    }
    EXPECT_EQ(server.countCommands("PASS"), 1) << server.commandLog();
}

}  // namespace
}  // namespace kestrum::test
