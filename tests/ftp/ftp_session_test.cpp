// What the own engine does beyond the layer's contract, against the real
// test server: the fallbacks of its data connections, pipelined renames.

#include <gtest/gtest.h>

#include "ftp/ftp_client.h"
#include "tests/ftp/ftp_test_util.h"
#include "tests/support/ftp_server.h"

namespace kestrum::test {
namespace {

std::unique_ptr<FtpConnection> OwnConnection(const TestFtpServer& server, bool passive) {
    return MakeFtpFactory()->Connect(ParamsFor(server, passive));
}

// An upload, a listing and a download: three data connections.
void ThreeTransfers(FtpConnection& connection, const TestFtpServer& server) {
    TempDir local;
    WriteFile(local / "up", "some bytes");
    ASSERT_TRUE(connection.PutFile(local / "up", "up.bin", TransferType::Binary)) << connection.LastError();
    EXPECT_NE(FindEntry(connection.List(""), "up.bin"), nullptr) << connection.LastError();
    ASSERT_TRUE(connection.GetFile("up.bin", local / "down", TransferType::Binary)) << connection.LastError();
    EXPECT_EQ(ReadFile(local / "down"), "some bytes");
    EXPECT_EQ(ReadFile(server.home() + "/up.bin"), "some bytes");
}

TEST(FtpSessionTest, RefusedEpsvFallsBackToPasvForTheSession) {
    TestFtpServer server({.refuse = "EPSV"});
    auto connection = OwnConnection(server, true);
    ThreeTransfers(*connection, server);
    EXPECT_EQ(server.countCommands("EPSV"), 1);
    EXPECT_EQ(server.countCommands("PASV"), 3);
}

TEST(FtpSessionTest, ActiveModeOffersEprtThenPort) {
    for (const std::string refuse : {"", "EPRT"}) {
        SCOPED_TRACE("refusing " + refuse);
        TestFtpServer server({.refuse = refuse});
        auto connection = OwnConnection(server, false);
        ThreeTransfers(*connection, server);
        EXPECT_EQ(server.countCommands("EPRT"), refuse.empty() ? 3 : 1);
        EXPECT_EQ(server.countCommands("PORT"), refuse.empty() ? 0 : 3);
        EXPECT_EQ(server.countCommands("EPSV") + server.countCommands("PASV"), 0);
    }
}

TEST(FtpSessionTest, RenameSendsBothCommandsAndReadsBothReplies) {
    TestFtpServer server;
    WriteFile(server.home() + "/old", "x");
    auto connection = OwnConnection(server, true);
    // A refused RNFR: the rename fails with its reply, and RNTO's refusal is
    // not taken for the next command's reply.
    EXPECT_FALSE(connection->Rename("missing", "new"));
    EXPECT_EQ(connection->LastError().rfind("550", 0), 0u) << connection->LastError();
    EXPECT_EQ(server.countCommands("RNTO"), 1);
    EXPECT_TRUE(connection->SetCurrentDirectory("/"));
    EXPECT_TRUE(connection->Rename("old", "new")) << connection->LastError();
    EXPECT_EQ(ReadFile(server.home() + "/new"), "x");
    EXPECT_EQ(server.countCommands("OPTS UTF8 ON"), 1);  // the test server offers UTF8
}

}  // namespace
}  // namespace kestrum::test
