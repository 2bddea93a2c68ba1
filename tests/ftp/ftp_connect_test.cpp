// Connecting, logging in, failures of the connection, the server's clock and
// the proxy tunnel, against the real test server.

#include <gtest/gtest.h>
#include <unistd.h>

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
#include "tests/support/process.h"
#include "tests/support/tinyproxy.h"

namespace kestrum::test {
namespace {

namespace fs = std::filesystem;

std::string ConnectError(const FtpConnectParams& params) {
    try {
        MakeFtpFactory()->Connect(params);
    } catch (const FtpError& error) {
        return error.what();
    }
    return {};
}

TEST(FtpConnectTest, ClosedPortAndRefusedLoginsFailAtConnect) {
    TestFtpServer server;
    const std::string closed = "127.0.0.1:" + std::to_string(UnusedLoopbackPort());
    for (const auto& [host, user, password, connectOptions, expected] :
         std::vector<std::tuple<std::string, std::string, std::string, bool, std::string>>{
             {closed, "user", "secret", true, "connect"},
             {closed, "user", "secret", false, "connect"},
             {server.hostWithPort(), "user", "wrong", true, "530"},
             {server.hostWithPort(), "nobody", "secret", true, "530"}}) {
        auto params = ParamsFor(server);
        params.host = host, params.user = user, params.password = password, params.connectOptions = connectOptions;
        const std::string error = ConnectError(params);
        EXPECT_NE(error.find(expected), std::string::npos) << host << " " << user << ": " << error;
    }
    EXPECT_EQ(server.countCommands("PASS"), 2);
    EXPECT_NO_THROW(ConnectTo(server));  // the right password afterwards works
}

TEST(FtpConnectTest, SlowLoginStillWorks) {
    TestFtpServer server({.loginDelaySeconds = 2.5});
    EXPECT_EQ(ConnectTo(server)->List("").status, ListStatus::Ok);
    EXPECT_EQ(server.countCommands("PASS"), 1);
}

TEST(FtpConnectTest, HostForms) {
    TestFtpServer server;
    WriteFile(server.home() + "/here", "x");
    auto params = ParamsFor(server);
    // The stored port applies through a proxy only; without one a port comes with the host.
    params.host = "localhost:" + std::to_string(server.port());
    params.port = 1;
    EXPECT_EQ(MakeFtpFactory()->Connect(params)->Lookup("here").status, ListStatus::Ok);

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
        TestFtpServer server({.mlsd = mlsd, .clockShiftSeconds = shift});
        const int64_t mtime = std::time(nullptr) - 86400 - 7;
        WriteFile(server.home() + "/dir/stored.txt", "x", mtime);
        auto connection = ConnectTo(server, true);
        const auto listed = [&](int64_t t) { return mlsd ? t : t - t % 60; };

        FtpListing listing = connection->List("dir");
        ASSERT_EQ(listing.entries.size(), 1u);
        EXPECT_EQ(listing.entries[0].lastWriteTime, listed(mtime + shift));
        EXPECT_EQ(LookedUp(*connection, "dir/stored.txt").lastWriteTime, listed(mtime + shift));

        // A file stored now carries the server's (shifted) clock.
        TempDir local;
        WriteFile(local / "new.txt", "new", 1000000000);
        ASSERT_TRUE(connection->PutFile(local / "new.txt", "dir/new.txt", TransferType::Binary));
        EXPECT_EQ(LookedUp(*connection, "dir/new.txt").lastWriteTime,
                  listed(FileMtime(server.home() + "/dir/new.txt") + shift));
    }
}

// The server killed once a transfer is under way: the transfer throws, a
// download leaves the old local file alone and no temporary file behind.
TEST(FtpConnectTest, ServerKilledMidTransferThrows) {
    for (const bool download : {true, false}) {
        SCOPED_TRACE(download ? "download" : "upload");
        TestFtpServer server({.transferBytesPerSecond = 64 * 1024});
        TempDir local;
        WriteFile((download ? server.home() : local.path()) + "/big.bin", std::string(4 * 1024 * 1024, 'n'));
        if (download)
            WriteFile(local / "big.bin", "the old copy");
        auto connection = ConnectTo(server);
        std::thread killer([&] {
            // Once the receiving side holds some bytes (a download's in a temporary file).
            const std::string receiving = download ? local.path() : server.home();
            PollUntil([&] {
                std::error_code ec;
                for (const auto& name : NamesIn(receiving))
                    if (!(download && name == "big.bin") && fs::file_size(receiving + "/" + name, ec) > 0 && !ec)
                        return true;
                return false;
            });
            server.kill();
        });
        if (download)
            EXPECT_THROW(connection->GetFile("big.bin", local / "big.bin", TransferType::Binary), FtpError);
        else
            EXPECT_THROW(connection->PutFile(local / "big.bin", "big.bin", TransferType::Binary), FtpError);
        killer.join();
        EXPECT_FALSE(connection->LastError().empty());
        if (download) {
            EXPECT_EQ(ReadFile(local / "big.bin"), "the old copy");
            EXPECT_EQ(NamesIn(local.path()), std::vector<std::string>{"big.bin"});
            EXPECT_THROW(connection->List(""), FtpError);  // the next operation fails as a connection failure too
        }
    }
}

TEST(FtpConnectTest, ThroughAnHttpProxy) {
    if (access(Tinyproxy::kBinary, X_OK) != 0)
        GTEST_SKIP() << "tinyproxy is not installed";
    TestFtpServer server;
    TempDir local;
    Tinyproxy proxy(local.path());
    WriteFile(server.home() + "/remote.txt", "through the tunnel");
    WriteFile(local / "up.txt", "up the tunnel");

    auto params = ParamsFor(server);
    params.accessType = 3;
    params.proxyName = "127.0.0.1:" + std::to_string(proxy.port());
    // HOST without a port: the stored port is used through a proxy.
    params.host = "127.0.0.1";
    params.port = static_cast<uint16_t>(server.port());
    auto connection = MakeFtpFactory()->Connect(params);
    ASSERT_TRUE(connection->GetFile("remote.txt", local / "down.txt", TransferType::Binary)) << connection->LastError();
    EXPECT_EQ(ReadFile(local / "down.txt"), "through the tunnel");
    ASSERT_TRUE(connection->PutFile(local / "up.txt", "up.txt", TransferType::Ascii)) << connection->LastError();
    EXPECT_EQ(ReadFile(server.home() + "/up.txt"), "up the tunnel");
    EXPECT_EQ(connection->List("/").entries.size(), 2u);
    connection->Close();
    // Every connection, the data connections included, went through the proxy
    // in passive mode (active mode cannot cross the tunnel).
    EXPECT_GE(proxy.connectCount(), 4);
    EXPECT_EQ(server.countCommands("PORT") + server.countCommands("EPRT"), 0);
    EXPECT_EQ(server.countCommands("PASS"), 1);

    // A proxy that is not there fails at connect.
    for (const std::string& proxyName : {"127.0.0.1:" + std::to_string(UnusedLoopbackPort()), std::string()}) {
        params.proxyName = proxyName;
        EXPECT_FALSE(ConnectError(params).empty()) << proxyName;
    }
}

}  // namespace
}  // namespace kestrum::test
