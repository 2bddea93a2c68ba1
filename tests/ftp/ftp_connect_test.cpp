// Connecting, logging in, failures of the connection, the server's clock and
// the proxy tunnel, against the real test server.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ftp/ftp_client.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"
#include "tests/ftp/ftp_test_util.h"
#include "tests/support/ftp_server.h"

extern char** environ;

namespace kestrum::test {
namespace {

namespace fs = std::filesystem;

std::string ConnectError(const FtpConnectParams& params) {
    try {
        MakeCurlFtpFactory()->Connect(params);
    } catch (const FtpError& error) {
        return error.what();
    }
    return {};
}

// Waits until pred holds (or gives up after a generous while).
template <typename Pred>
bool WaitFor(Pred pred) {
    for (int i = 0; i < 3000; ++i) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(FtpConnectTest, ClosedPortFailsAtConnect) {
    FtpConnectParams params;
    params.host = "127.0.0.1:" + std::to_string(UnusedLoopbackPort());
    params.user = "user";
    params.password = "secret";
    for (bool connectOptions : {true, false}) {
        params.connectOptions = connectOptions;
        std::string error = ConnectError(params);
        EXPECT_NE(error.find("connect"), std::string::npos) << error;
    }
}

TEST(FtpConnectTest, WrongPasswordFailsAtConnect) {
    TestFtpServer server;
    auto params = ParamsFor(server);
    params.password = "wrong";
    std::string error = ConnectError(params);
    EXPECT_NE(error.find("530"), std::string::npos) << error;
    params = ParamsFor(server);
    params.user = "nobody";
    error = ConnectError(params);
    EXPECT_NE(error.find("530"), std::string::npos) << error;
    EXPECT_EQ(server.countCommands("PASS"), 2);
    // The right password afterwards works.
    EXPECT_NO_THROW(ConnectTo(server));
}

TEST(FtpConnectTest, SlowLoginStillWorks) {
    FtpServerOptions options;
    options.loginDelaySeconds = 2.5;
    TestFtpServer server(options);
    auto connection = ConnectTo(server);
    WriteFile(server.home() + "/f.txt", "slow");
    TempDir local;
    EXPECT_TRUE(connection->GetFile("f.txt", local / "f.txt", TransferType::Binary));
    EXPECT_EQ(ReadFile(local / "f.txt"), "slow");
    EXPECT_EQ(server.countCommands("PASS"), 1);
}

TEST(FtpConnectTest, HostForms) {
    TestFtpServer server;
    WriteFile(server.home() + "/here", "x");
    auto params = ParamsFor(server);
    // The stored port applies through a proxy only; without one a port comes with the host.
    params.host = "localhost:" + std::to_string(server.port());
    params.port = 1;
    auto connection = MakeCurlFtpFactory()->Connect(params);
    EXPECT_EQ(connection->Lookup("here").status, ListStatus::Ok);

    // A host the URL could not carry is refused before any lookup, not left to fail in DNS.
    for (const std::string bad : {"ho st", "host/path", "localhost:21\r\nDELE x"}) {
        params.host = bad;
        EXPECT_EQ(ConnectError(params), FormatString(msg::kBadHostName, {PrintableName(bad)})) << bad;
    }
}

TEST(FtpConnectTest, ServerClockShiftShowsInEveryTime) {
    const long shift = 7 * 3600 + 125;
    for (bool mlsd : {true, false}) {
        SCOPED_TRACE(mlsd ? "MLSD" : "LIST");
        FtpServerOptions options;
        options.mlsd = mlsd;
        options.clockShiftSeconds = shift;
        TestFtpServer server(options);
        const int64_t mtime = std::time(nullptr) - 86400 - 7;
        WriteFile(server.home() + "/dir/stored.txt", "x", mtime);
        auto connection = ConnectTo(server, true);
        auto listed = [&](int64_t t) { return mlsd ? t : t - t % 60; };

        FtpListing listing = connection->List("dir");
        ASSERT_EQ(listing.status, ListStatus::Ok);
        ASSERT_EQ(listing.entries.size(), 1u);
        EXPECT_EQ(listing.entries[0].lastWriteTime, listed(mtime + shift));
        FtpListing lookup = connection->Lookup("dir/stored.txt");
        ASSERT_EQ(lookup.status, ListStatus::Ok);
        EXPECT_EQ(lookup.entries[0].lastWriteTime, listed(mtime + shift));

        // A file stored now carries the server's (shifted) clock.
        TempDir local;
        WriteFile(local / "new.txt", "new", 1000000000);
        ASSERT_TRUE(connection->PutFile(local / "new.txt", "dir/new.txt", TransferType::Binary));
        FtpListing stored = connection->Lookup("dir/new.txt");
        ASSERT_EQ(stored.status, ListStatus::Ok);
        EXPECT_EQ(stored.entries[0].lastWriteTime, listed(FileMtime(server.home() + "/dir/new.txt") + shift));
    }
}

TEST(FtpConnectTest, ServerKilledMidDownloadLeavesTheOldFile) {
    FtpServerOptions options;
    options.transferBytesPerSecond = 64 * 1024;
    TestFtpServer server(options);
    WriteFile(server.home() + "/big.bin", std::string(4 * 1024 * 1024, 'n'));
    TempDir local;
    WriteFile(local / "big.bin", "the old copy");
    auto connection = ConnectTo(server);

    std::thread killer([&] {
        // Kill once the download has begun writing its temporary file.
        WaitFor([&] {
            for (const auto& name : NamesIn(local.path())) {
                if (name != "big.bin" && fs::file_size(local / name) > 0) {
                    return true;
                }
            }
            return false;
        });
        server.kill();
    });
    EXPECT_THROW(connection->GetFile("big.bin", local / "big.bin", TransferType::Binary), FtpError);
    killer.join();
    EXPECT_EQ(ReadFile(local / "big.bin"), "the old copy");
    EXPECT_EQ(NamesIn(local.path()), std::vector<std::string>{"big.bin"});
    EXPECT_FALSE(connection->LastError().empty());
    // The server is gone: the next operation fails as a connection failure too.
    EXPECT_THROW(connection->List(""), FtpError);
}

TEST(FtpConnectTest, ServerKilledMidUploadThrows) {
    FtpServerOptions options;
    options.transferBytesPerSecond = 64 * 1024;
    TestFtpServer server(options);
    TempDir local;
    WriteFile(local / "big.bin", std::string(8 * 1024 * 1024, 'u'));
    auto connection = ConnectTo(server);
    std::thread killer([&] {
        WaitFor([&] {
            std::error_code ec;
            return fs::file_size(server.home() + "/big.bin", ec) > 0 && !ec;
        });
        server.kill();
    });
    EXPECT_THROW(connection->PutFile(local / "big.bin", "big.bin", TransferType::Binary), FtpError);
    killer.join();
    EXPECT_FALSE(connection->LastError().empty());
}

TEST(FtpConnectTest, CloseSendsQuitOnce) {
    TestFtpServer server;
    auto connection = ConnectTo(server);
    EXPECT_EQ(connection->CurrentDirectory(), "/");
    connection->Close();
    connection->Close();
    EXPECT_EQ(server.countCommands("QUIT"), 1);
    EXPECT_THROW(connection->SetCurrentDirectory("/"), FtpError);
    connection.reset();
    EXPECT_EQ(server.countCommands("QUIT"), 1);
    // Destroying an open connection closes it too.
    ConnectTo(server).reset();
    EXPECT_EQ(server.countCommands("QUIT"), 2);
}

// A real HTTP proxy (tinyproxy) on loopback.
class Tinyproxy {
  public:
    explicit Tinyproxy(const std::string& dir) {
        port_ = UnusedLoopbackPort();
        std::ofstream(dir + "/tinyproxy.conf") << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 60\n"
                                               << "LogFile \"" << dir << "/tinyproxy.log\"\nLogLevel Connect\n"
                                               << "MaxClients 20\nAllow 127.0.0.1\n"
                                               << (geteuid() == 0 ? "User root\nGroup root\n" : "");
        std::string config = dir + "/tinyproxy.conf";
        std::vector<std::string> args = {"/usr/bin/tinyproxy", "-d", "-c", config};
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, (dir + "/tinyproxy.err").c_str(), O_WRONLY | O_CREAT, 0600);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        log_ = dir + "/tinyproxy.log";
        // Ready once it accepts connections.
        WaitFor([&] {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(port_));
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            close(fd);
            return ok || pid_ < 0;
        });
    }
    ~Tinyproxy() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    int port() const { return port_; }
    int connectCount() const {
        std::ifstream in(log_);
        std::string line;
        int count = 0;
        while (std::getline(in, line)) {
            if (line.find("CONNECT") != std::string::npos && line.find("Request") != std::string::npos) {
                ++count;
            }
        }
        return count;
    }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string log_;
};

TEST(FtpConnectTest, ThroughAnHttpProxy) {
    if (access("/usr/bin/tinyproxy", X_OK) != 0) {
        GTEST_SKIP() << "tinyproxy is not installed";
    }
    TestFtpServer server;
    TempDir dir;
    Tinyproxy proxy(dir.path());
    WriteFile(server.home() + "/remote.txt", "through the tunnel");
    TempDir local;
    WriteFile(local / "up.txt", "up the tunnel");

    auto params = ParamsFor(server);
    params.accessType = 3;
    params.proxyName = "127.0.0.1:" + std::to_string(proxy.port());
    // HOST without a port: the stored port is used through a proxy.
    params.host = "127.0.0.1";
    params.port = static_cast<uint16_t>(server.port());
    auto connection = MakeCurlFtpFactory()->Connect(params);
    ASSERT_TRUE(connection->GetFile("remote.txt", local / "down.txt", TransferType::Binary)) << connection->LastError();
    EXPECT_EQ(ReadFile(local / "down.txt"), "through the tunnel");
    ASSERT_TRUE(connection->PutFile(local / "up.txt", "up.txt", TransferType::Ascii)) << connection->LastError();
    EXPECT_EQ(ReadFile(server.home() + "/up.txt"), "up the tunnel");
    FtpListing listing = connection->List("/");
    EXPECT_EQ(listing.status, ListStatus::Ok);
    EXPECT_EQ(listing.entries.size(), 2u);
    connection->Close();
    // Every connection, the data connections included, went through the proxy
    // in passive mode (active mode cannot cross the tunnel).
    EXPECT_GE(proxy.connectCount(), 4);
    EXPECT_EQ(server.countCommands("PORT") + server.countCommands("EPRT"), 0);
    EXPECT_EQ(server.countCommands("PASS"), 1);

    // A proxy that is not there fails at connect.
    params.proxyName = "127.0.0.1:" + std::to_string(UnusedLoopbackPort());
    EXPECT_FALSE(ConnectError(params).empty());
    params.proxyName = "";
    EXPECT_FALSE(ConnectError(params).empty());
}

}  // namespace
}  // namespace kestrum::test
