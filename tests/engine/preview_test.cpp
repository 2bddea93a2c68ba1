// The preview, and the guard on mass deletion by a mirroring run.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "engine/run_log.h"
#include "tests/engine/phase_session.h"

namespace kestrum {
namespace {

using test::Fmt;
using test::FtpServerOptions;
using test::ProfileSpec;
using test::RunHarness;
using test::TestFtpServer;
using test::WriteFile;

// Every file below dir with its contents and time.
std::map<std::string, std::string> Tree(const std::string& dir) {
    std::map<std::string, std::string> tree;
    if (!std::filesystem::exists(dir))
        return tree;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string path = e.path().string();
        tree[path.substr(dir.size())] =
            e.is_directory() ? "dir" : test::ReadFile(path) + "@" + std::to_string(test::FileMtime(path));
    }
    return tree;
}

void Profile(RunHarness& h, const TestFtpServer& server, bool upload, bool download, bool mirror) {
    h.MakeProfile("p", server, ProfileSpec{.download = download, .upload = upload});
    h.store.SaveDetailSettings("p",
                               {.timeLag = 3, .asciiTransfer = "TXT", .fileTransfer = "BAK", .mirrorFiles = mirror});
}

// Each kind of decision once, with its reason; nothing on either side changes.
TEST(Preview, LogsEveryDecisionWithItsReasonAndChangesNothing) {
    const struct {
        const char* what;
        bool upload, download, mirror;
        std::vector<std::string> lines;
        std::string summary;
    } cases[] = {
        {"both ways",
         true,
         true,
         false,
         {Fmt(60050, {"newer.txt", "12"}), Fmt(60054, {"same.txt", "3"}), Fmt(60051, {"behind.txt", "5"}),
          Fmt(60053, {"far/only-server.txt"}), Fmt(60052, {"sub/new.txt"}), Fmt(60056, {"x.bak"})},
         Fmt(60058, {"2", "2", "0", "1", "1", "0"})},
        {"mirroring",
         true,
         false,
         true,
         {Fmt(60050, {"newer.txt", "12"}), Fmt(60055, {"behind.txt"}), Fmt(60057, {"far/only-server.txt"}),
          Fmt(60052, {"sub/new.txt"})},
         Fmt(60058, {"2", "0", "1", "2", "1", "0"})},
    };
    for (const auto& c : cases) {
        TestFtpServer server;
        RunHarness h;
        const int64_t t = test::RecentMinute();
        test::WriteFiles(server.home(), {"newer.txt"}, t - 720);
        test::WriteFiles(server.home(), {"same.txt", "behind.txt", "far/only-server.txt"}, t);
        test::WriteFiles(h.localDir, {"newer.txt", "sub/new.txt", "x.bak"}, t);
        test::WriteFiles(h.localDir, {"same.txt"}, t - 60);
        test::WriteFiles(h.localDir, {"behind.txt"}, t - 300);
        Profile(h, server, c.upload, c.download, c.mirror);
        h.state.options.cacheSwitch = 1;
        h.state.options.dryRun = true;
        const auto localBefore = Tree(h.localDir), serverBefore = Tree(server.home());

        EXPECT_EQ(h.Run(), 0) << c.what;
        const std::string lines = testing::PrintToString(h.lines());
        for (const std::string& line : c.lines)
            EXPECT_EQ(h.count(line), 1) << c.what << line << lines;
        EXPECT_EQ(h.count(c.summary), 1) << c.what << lines;
        EXPECT_EQ(Tree(h.localDir), localBefore) << c.what;
        EXPECT_EQ(Tree(server.home()), serverBefore) << c.what;
        EXPECT_FALSE(std::filesystem::exists(h.programDir + "/CACHE")) << c.what;
        // The clock probe's own upload and removal only.
        EXPECT_EQ(server.countCommands("STOR"), 1) << c.what;
        EXPECT_EQ(server.countCommands("DELE"), 1) << c.what;
        EXPECT_EQ(server.countCommands("RETR") + server.countCommands("MKD"), 0) << c.what;
    }
}

// Beyond the limit, deletions need a confirmation, and a preview says so; the
// copies go ahead regardless. The automatic limit is a quarter of the server's
// files: 2 of 8, 0 of 3.
TEST(DeletionGuard, AMassDeletionWaitsForAConfirmation) {
    const struct {
        const char* what;
        int serverFiles, localFiles;  // f0.txt... on the server; the first ones also locally
        bool dryRun, mayAsk, answer, confirmed;
        int maxDelete;  // -1: the profile's (unset)
        bool deleted;
        int status;
        std::string line;  // the line that tells why nothing was deleted, or ""
        std::string question;
    } cases[] = {
        {"command line", 8, 0, false, false, false, false, -1, false, 4, Fmt(60714, {"8", "8", "2"})},
        {"command line --yes", 8, 0, false, false, false, true, -1, true, 0},
        {"command line --max-delete 8", 8, 0, false, false, false, false, 8, true, 0},
        {"command line --max-delete 7", 8, 0, false, false, false, false, 7, false, 4, Fmt(60062, {"8", "7"})},
        {"window, declined", 8, 0, false, true, false, false, -1, false, 0, Fmt(60063, {"8"})},
        {"window, confirmed", 8, 0, false, true, true, false, -1, true, 0},
        {"command line, 3 files", 3, 1, false, false, false, false, -1, false, 4, Fmt(60714, {"2", "3", "0"})},
        {"window, 3 files", 3, 2, false, true, false, false, -1, false, 0, Fmt(60063, {"1"}),
         Fmt(60713, {"1", "3", "0", "f2.txt\n"})},
        {"preview, command line", 8, 0, true, false, false, false, -1, false, 0, Fmt(60716, {"8", "8", "2"})},
        {"preview, window --max-delete 7", 8, 0, true, true, false, false, 7, false, 0, Fmt(60715, {"8", "7"})},
    };
    for (const auto& c : cases) {
        TestFtpServer server;
        RunHarness h;
        for (int i = 0; i < c.serverFiles; ++i)
            WriteFile(server.home() + "/f" + std::to_string(i) + ".txt", "s");
        for (int i = 0; i < c.localFiles; ++i)
            WriteFile(h.localDir + "/f" + std::to_string(i) + ".txt", "s");
        WriteFile(h.localDir + "/new.txt", "l");
        Profile(h, server, true, false, true);
        h.state.options.dryRun = c.dryRun;
        h.state.options.mayAskBeforeDeleting = c.mayAsk;
        h.state.options.deletesConfirmed = c.confirmed;
        h.state.options.maxDeleteOverride = c.maxDelete;
        h.port.setAnswerOk(c.answer);
        EXPECT_EQ(h.Run(), c.status) << c.what << testing::PrintToString(h.lines());
        const std::string last = server.home() + "/f" + std::to_string(c.serverFiles - 1) + ".txt";
        EXPECT_EQ(std::filesystem::exists(last), !c.deleted) << c.what;
        EXPECT_EQ(test::ReadFile(server.home() + "/new.txt", false), c.dryRun ? "" : "l") << c.what;
        EXPECT_EQ(h.port.questions().size(), c.mayAsk && !c.dryRun ? 1u : 0u) << c.what;
        if (!c.question.empty()) {
            EXPECT_EQ(h.port.questions(), std::vector<std::string>{c.question}) << c.what;
        }
        if (!c.line.empty()) {
            EXPECT_EQ(h.count(c.line), 1) << c.what << testing::PrintToString(h.lines());
        }
    }
}

}  // namespace
}  // namespace kestrum
