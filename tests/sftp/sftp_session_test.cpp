// The SFTP connection against a real OpenSSH server on loopback.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <tuple>

#include "sftp/sftp_session.h"
#include "tests/support/ftp_server.h"
#include "tests/support/process.h"
#include "tests/support/sshd_server.h"
#include "tests/support/tinyproxy.h"

namespace kestrum::test {
namespace {

class SftpSessionTest : public testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = TestSshd::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        server_.emplace();
    }
    FtpConnectParams Params(const std::string& pinned) const {
        FtpConnectParams params;
        params.host = server_->hostWithPort();
        params.user = TestSshd::kUser;
        params.password = TestSshd::kPassword;
        params.security = FtpSecurity::Sftp;
        params.pinnedKey = pinned;
        return params;
    }
    std::optional<TestSshd> server_;
};

// Password, key and ssh-agent logins, direct and through an HTTP proxy;
// every operation a run uses.
TEST_F(SftpSessionTest, EveryOperationOfARun) {
    TempDir proxyDir;
    Tinyproxy proxy(proxyDir.path());
    // An agent holding a key the server accepts; only the "a" login may use it.
    const std::string agentSocket = proxyDir / "agent.sock";
    const ProcessResult agent = RunProcess({"/usr/bin/ssh-agent", "-a", agentSocket}, {});
    ASSERT_EQ(agent.status, 0) << agent.err;
    const std::string agentKey = server_->MakeClientKey("");
    ASSERT_EQ(RunProcess({"/usr/bin/ssh-add", agentKey}, {{"SSH_AUTH_SOCK", agentSocket}}).status, 0);
    struct AgentStop {
        pid_t pid;
        ~AgentStop() {
            kill(pid, SIGTERM);
            unsetenv("SSH_AUTH_SOCK");
        }
    } stopAgent{std::atoi(agent.out.substr(agent.out.find("SSH_AGENT_PID=") + 14).c_str())};
    ASSERT_GT(stopAgent.pid, 0) << agent.out;
    for (const auto& [login, proxied, name] :
         {std::tuple{'p', false, "p"}, {'k', false, "k"}, {'a', false, "a"}, {'p', true, "x"}}) {
        SCOPED_TRACE(name);
        FtpConnectParams params = Params(server_->hostKeyFingerprint());
        if (login == 'k') {
            params.sshKeyFile = server_->MakeClientKey("phrase");
            params.password = "phrase";
        }
        if (login == 'a') {
            params.password = "not the password";
            setenv("SSH_AUTH_SOCK", agentSocket.c_str(), 1);
        } else {
            unsetenv("SSH_AUTH_SOCK");
        }
        if (proxied) {
            params.accessType = 3;
            params.proxyName = "127.0.0.1:" + std::to_string(proxy.port());
        }
        const int tunnels = proxy.connectCount();
        auto connection = MakeTransportFactory()->Connect(params);
        EXPECT_EQ(proxy.connectCount(), tunnels + (proxied ? 1 : 0));
        EXPECT_TRUE(connection->KeepAlive());
        const std::string dir = server_->home() + "/" + name;
        TempDir local;
        const std::string big(300'000, 'b');  // several writes and reads in flight
        WriteFile(local / "up", big);
        ASSERT_TRUE(connection->CreateDirectory(dir)) << connection->LastError();
        ASSERT_TRUE(connection->PutFile(local / "up", dir + "/f.bin", TransferType::Binary)) << connection->LastError();
        ASSERT_TRUE(connection->PutFile(local / "up", dir + "/g.bin", TransferType::Binary));
        // Renamed over an existing file in one step.
        EXPECT_TRUE(connection->Rename(dir + "/g.bin", dir + "/f.bin")) << connection->LastError();
        EXPECT_TRUE(connection->SetMode(dir + "/f.bin", 0604));
        const FtpListing listed = connection->List(dir);
        ASSERT_EQ(listed.status, ListStatus::Ok);
        ASSERT_EQ(listed.entries.size(), 1U);
        EXPECT_EQ(listed.entries[0].name, "f.bin");
        EXPECT_EQ(listed.entries[0].size, 300'000);
        EXPECT_EQ(listed.entries[0].mode, 0604);
        EXPECT_EQ(listed.entries[0].lastWriteTime, FileMtime(dir + "/f.bin"));
        EXPECT_EQ(connection->Lookup(dir + "/none").status, ListStatus::Missing);
        ASSERT_TRUE(connection->GetFile(dir + "/f.bin", local / "down", TransferType::Binary))
            << connection->LastError();
        EXPECT_EQ(ReadFile(local / "down"), big);
        EXPECT_FALSE(connection->RemoveDirectory(dir));  // not empty
        EXPECT_TRUE(connection->Remove(dir + "/f.bin"));
        EXPECT_TRUE(connection->RemoveDirectory(dir));
        EXPECT_EQ(connection->Lookup(dir).status, ListStatus::Missing);
        connection->Close();
    }
}

}  // namespace
}  // namespace kestrum::test
