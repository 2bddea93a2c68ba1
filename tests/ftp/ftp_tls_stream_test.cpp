// TLS streams and HTTP proxy tunnels against real peers: vsftpd (explicit and
// implicit TLS, data connections that must resume the control connection's
// session) and tinyproxy.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include "ftp/ftp_tls_stream.h"
#include "ftp/ftp_tunnel.h"
#include "tests/support/ftp_server.h"
#include "tests/support/tinyproxy.h"
#include "tests/support/vsftpd_server.h"

namespace kestrum::test {
namespace {

using Tls = VsftpdOptions::Tls;
using Mode = TlsPeerCheck::Mode;
constexpr const char* kName = "kestrum-test";  // the name the test certificates carry

Wait Soon() {
    return Wait::For(std::chrono::seconds(20));
}

int PortOf(const TestVsftpd& server) {
    const std::string host = server.hostWithPort();
    return std::stoi(host.substr(host.rfind(':') + 1));
}

// A non-blocking socket connected to a loopback port. With authTls, the
// server's greeting and its answer to AUTH TLS are read first, in clear.
int ConnectLoopback(int port, bool authTls = false) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
    if (authTls) {
        // Each reply is one line, sent alone: read up to its end and no further.
        const auto reply = [fd] {
            std::string line;
            for (char c = 0; c != '\n' && read(fd, &c, 1) == 1;)
                line += c;
            return line;
        };
        EXPECT_EQ(reply().substr(0, 4), "220 ");
        EXPECT_EQ(send(fd, "AUTH TLS\r\n", 10, MSG_NOSIGNAL), 10);
        EXPECT_EQ(reply().substr(0, 4), "234 ");
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// FTP commands and replies over a stream (replies of one line, as vsftpd's are).
class Control {
  public:
    explicit Control(ByteStream& stream) : stream_(stream) {}
    std::string Reply() {
        size_t end;
        while ((end = pending_.find("\r\n")) == std::string::npos) {
            char buffer[4096];
            const size_t got = stream_.ReadSome(buffer, sizeof buffer, Soon());
            if (got == 0)
                return "closed: " + pending_;
            pending_.append(buffer, got);
        }
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 2);
        return line;
    }
    std::string Command(const std::string& line) {
        stream_.WriteAll((line + "\r\n").data(), line.size() + 2, Soon());
        return Reply();
    }

  private:
    ByteStream& stream_;
    std::string pending_;
};

std::unique_ptr<TlsStream> Handshake(const std::shared_ptr<TlsClient>& client, int fd,
                                     TlsStream::Role role = TlsStream::Role::Control) {
    return TlsStream::Connect(client, fd, kName, role, Soon());
}

// The certificate refused by a handshake with check (nullopt: accepted).
std::optional<ServerCertificate> RefusedBy(TlsPeerCheck& check, const TestVsftpd& server, Tls tls = Tls::Implicit) {
    try {
        Handshake(std::make_shared<TlsClient>(check), ConnectLoopback(PortOf(server), tls == Tls::Explicit))->Close();
    } catch (const TlsCertificateRefused& refused) {
        return refused.certificate();
    }
    return std::nullopt;
}

std::string KeyOf(const TestVsftpd& server, Tls tls = Tls::Implicit) {
    TlsPeerCheck fetch(Mode::FetchOnly, kName, "");
    const auto certificate = RefusedBy(fetch, server, tls);
    return certificate ? certificate->keyPin : "";
}

class TlsStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = TestVsftpd::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
    }
};

TEST_F(TlsStreamTest, TheCertificateCheckDecidesInTheHandshake) {
    TestVsftpd server({.tls = Tls::Implicit});
    const std::string key = KeyOf(server);
    ASSERT_EQ(key.rfind("sha256//", 0), 0u) << key;
    const struct {
        Mode mode;
        std::string pin;
        bool accepted;
    } cases[] = {{Mode::Verify, "", false},  // self-signed
                 {Mode::Pinned, "sha256//" + std::string(43, 'A') + "=", false},
                 {Mode::Pinned, key, true},
                 {Mode::FetchOnly, "", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        TlsPeerCheck check(c.mode, kName, c.pin);
        const auto refused = RefusedBy(check, server);
        EXPECT_EQ(!refused, c.accepted);
        if (refused) {
            EXPECT_NE(refused->subject.find(kName), std::string::npos) << refused->subject;
            EXPECT_EQ(refused->keyPin, key);
            EXPECT_FALSE(refused->problem.empty());
        }
    }
}

TEST_F(TlsStreamTest, DataConnectionsResumeTheControlSession) {
    const struct {
        Tls tls;
        TlsClient::Versions versions;
        const char* version;
    } cases[] = {{Tls::Explicit, TlsClient::Versions::Tls12, "TLSv1.2"},
                 {Tls::Explicit, TlsClient::Versions::Tls13, "TLSv1.3"},
                 {Tls::Implicit, TlsClient::Versions::Tls12Or13, "TLSv1.3"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        // Requires the session reused on data connections, and uploads ended
        // by close_notify.
        TestVsftpd server({.tls = c.tls, .strictTlsEof = true});
        WriteFile(server.home() + "/listed.txt", "x");
        server.GiveHomeToServer();
        TlsPeerCheck check(Mode::Pinned, kName, KeyOf(server, c.tls));
        auto client = std::make_shared<TlsClient>(check, c.versions);
        auto control = Handshake(client, ConnectLoopback(PortOf(server), c.tls == Tls::Explicit));
        EXPECT_EQ(control->Version(), c.version);
        Control ftp(*control);
        if (c.tls == Tls::Implicit) {
            EXPECT_EQ(ftp.Reply().substr(0, 3), "220");
        }
        EXPECT_EQ(ftp.Command("PBSZ 0").substr(0, 3), "200");
        EXPECT_EQ(ftp.Command("PROT P").substr(0, 3), "200");
        EXPECT_EQ(ftp.Command(std::string("USER ") + TestVsftpd::kUser).substr(0, 3), "331");
        ASSERT_EQ(ftp.Command(std::string("PASS ") + TestVsftpd::kPassword).substr(0, 3), "230");
        EXPECT_TRUE(client->HasSession());

        // A download (the listing) and an upload, each on its own data connection.
        for (const std::string command : {"LIST /home", "STOR /home/up.txt"}) {
            const std::string passive = ftp.Command("EPSV");
            ASSERT_EQ(passive.substr(0, 3), "229") << passive;
            const int port = std::stoi(passive.substr(passive.find("|||") + 3));
            const std::string sent = command + "\r\n";
            control->WriteAll(sent.data(), sent.size(), Soon());
            auto data = Handshake(client, ConnectLoopback(port), TlsStream::Role::Data);
            EXPECT_TRUE(data->Resumed()) << command;
            EXPECT_EQ(ftp.Reply().substr(0, 3), "150");
            if (command[0] == 'L') {
                std::string listing;
                char buffer[4096];
                while (const size_t got = data->ReadSome(buffer, sizeof buffer, Soon()))
                    listing.append(buffer, got);
                EXPECT_NE(listing.find("listed.txt"), std::string::npos) << listing;
            } else {
                data->WriteAll("uploaded", 8, Soon());
            }
            data->Close();
            EXPECT_EQ(ftp.Reply().substr(0, 3), "226") << command;
        }
        EXPECT_EQ(ReadFile(server.home() + "/up.txt"), "uploaded");
        EXPECT_FALSE(control->Resumed());
        control->Close();
    }
}

TEST_F(TlsStreamTest, TlsThroughAnHttpProxyTunnel) {
    if (access(Tinyproxy::kBinary, X_OK) != 0)
        GTEST_SKIP() << "tinyproxy is not installed";
    TestVsftpd server({.tls = Tls::Implicit});
    TempDir dir;
    Tinyproxy proxy(dir.path(), {PortOf(server)});
    TlsPeerCheck check(Mode::Pinned, kName, KeyOf(server));
    const int otherPort = UnusedLoopbackPort();
    const struct {
        int port;
        std::string error;  // "": the tunnel opens
    } cases[] = {{PortOf(server), ""}, {otherPort, " 403 "}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        const int fd = ConnectLoopback(proxy.port());
        try {
            HttpConnectTunnel(fd, "127.0.0.1", static_cast<uint16_t>(c.port), Soon());
            EXPECT_EQ(c.error, "");
        } catch (const StreamError& e) {
            close(fd);
            const std::string error = e.what();
            EXPECT_EQ(error.rfind("the proxy answered: HTTP/1.", 0), 0u) << error;
            EXPECT_NE(c.error, "") << error;
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        // The tunnel's first byte is the server's: the TLS handshake.
        auto control = Handshake(std::make_shared<TlsClient>(check), fd);
        EXPECT_EQ(Control(*control).Reply().substr(0, 4), "220 ");
    }
    EXPECT_EQ(proxy.connectCount(), 2);
}

}  // namespace
}  // namespace kestrum::test
