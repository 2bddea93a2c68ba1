// What the own engine does beyond the layer's contract, against the real
// test server: the fallbacks of its data connections, pipelined renames.

#include <gtest/gtest.h>

#include "ftp/ftp_client.h"
#include "tests/ftp/ftp_test_util.h"
#include "tests/support/ftp_server.h"
#include "tests/support/scripted_server.h"

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

// A 421 in reply to a lookup: the session logs in again and looks once more.
TEST(FtpSessionTest, A421DuringALookupLogsInAgainAndLooksOnceMore) {
    using S = ScriptStep;
    const std::vector<ScriptStep> login = {S::Send("220 Hi\r\n"),
                                           S::Expect("USER u"),
                                           S::Send("331 Pass\r\n"),
                                           S::Expect("PASS p"),
                                           S::Send("230 In\r\n"),
                                           S::Expect("FEAT"),
                                           S::Send("211-Features\r\n MLST size*;modify*;type*;\r\n211 End\r\n"),
                                           S::Expect("PWD"),
                                           S::Expect("TYPE I"),
                                           S::Send("257 \"/\"\r\n200 I\r\n")};
    std::vector<ScriptStep> script = login;
    script.insert(script.end(), {S::Expect("MLST /f"), S::Send("421 Going down\r\n"), S::Accept()});
    script.insert(script.end(), login.begin(), login.end());
    script.insert(script.end(),
                  {S::Expect("MLST /f"), S::Send("250-f\r\n type=file;size=3;modify=20260102030405; /f\r\n250 End\r\n"),
                   S::Expect("QUIT"), S::Send("221 Bye\r\n")});
    ScriptedServer server(script);
    FtpConnectParams params;
    params.host = "127.0.0.1:" + std::to_string(server.port());
    params.user = "u";
    params.password = "p";
    auto connection = MakeFtpFactory()->Connect(params);
    const FtpListing found = connection->Lookup("/f");
    ASSERT_EQ(found.status, ListStatus::Ok) << connection->LastError();
    EXPECT_EQ(found.entries.at(0).size, 3);
    connection->Close();
    EXPECT_EQ(server.Finish(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kestrum::test
