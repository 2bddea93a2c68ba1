// Uploads as transactions: a copy reaches its name only whole and checked,
// whatever the server does with it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/engine/phase_session.h"

namespace kestrum {
namespace {

using test::Fmt;
using test::FtpServerOptions;
using test::ReadFile;
using test::RunHarness;
using test::SortedNames;
using test::TestFtpServer;
using test::WriteFile;

const int64_t kOld = 1'600'000'000;

// The names in dir that are uploads' temporary files.
std::vector<std::string> UploadTemps(const std::string& dir) {
    std::vector<std::string> temps;
    for (const std::string& name : SortedNames(dir)) {
        if (IsUploadTempName(name))
            temps.push_back(name);
    }
    return temps;
}

int ModeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// A server that keeps part of a copy, or drops the session during one: the
// old server file stays as it was, under its name, and the run says why.
TEST(UploadTransaction, ACopyTheServerDidNotKeepWholeNeverTakesTheName) {
    const std::string content(256 * 1024, 'n');
    const struct {
        const char* what;
        FtpServerOptions options;
        int exitStatus;
        std::string reason;    // the failed copy's reason line; "" when the connection broke
        bool inPlace = false;  // UPLOAD_TEMP=0: the file itself is written, and still checked
    } cases[] = {
        {"confirmed, 3 bytes kept (MLSD)",
         {.storeKeep = 3},
         4,
         "\t" + Fmt(60730, {"3", std::to_string(content.size())})},
        {"confirmed, nothing kept (LIST)",
         {.mlsd = false, .storeKeep = 0},
         4,
         "\t" + Fmt(60730, {"0", std::to_string(content.size())})},
        {"session closed halfway", {.storeCut = 100 * 1024}, 1, ""},
        {"in place, 3 bytes kept", {.storeKeep = 3}, 4, "\t" + Fmt(60730, {"3", std::to_string(content.size())}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestFtpServer server(c.options);
        RunHarness h;
        WriteFile(server.home() + "/page.html", "old page", kOld);
        WriteFile(h.localDir + "/page.html", content);
        h.MakeProfile("p", server);
        ASSERT_TRUE(h.store.WriteProfileValues("p", {{"UPLOAD_TEMP", int32_t{c.inPlace ? 0 : 1}}}));
        EXPECT_EQ(h.Run(), c.exitStatus);
        EXPECT_EQ(ReadFile(server.home() + "/page.html"), c.inPlace ? content.substr(0, 3) : "old page");
        EXPECT_EQ(h.count(Fmt(42819, {"page.html"})), c.reason.empty() ? 0 : 1);
        if (!c.reason.empty()) {
            EXPECT_EQ(h.count(c.reason), 1);
            // Its temporary file went with the failure.
            EXPECT_EQ(UploadTemps(server.home()), std::vector<std::string>{});
        }
        // Never stamped: the next run sends it again.
        EXPECT_NE(test::FileMtime(h.localDir + "/page.html"), kOld);
    }
}

// Servers that refuse a rename over a file, every rename, or a mode change
// still end with every file replaced, and the log says what differed.
TEST(UploadTransaction, ServersThatRefuseRenamesOrModesStillGetEveryFile) {
    const struct {
        const char* what;
        FtpServerOptions options;
        int said;          // the line said once for the run; 0 none
        int modeAfter;     // the replaced script's mode
        bool modeNotKept;  // its line that says so
    } cases[] = {
        {"renames over a file refused", {.refuseRenameOver = true}, 60731, 0755, false},
        {"renames refused", {.refuse = "RNFR"}, 60732, 0755, false},
        {"mode changes refused", {.refuse = "SITE_CHMOD"}, 0, 0644, true},
        {"everything allowed", {}, 0, 0755, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestFtpServer server(c.options);
        RunHarness h;
        for (const char* name : {"run.cgi", "b.txt"}) {
            WriteFile(server.home() + "/" + name, "old", kOld);
            WriteFile(h.localDir + "/" + name, std::string("new ") + name);
        }
        chmod((server.home() + "/run.cgi").c_str(), 0755);
        h.MakeProfile("p", server);
        EXPECT_EQ(h.Run(), 0);
        EXPECT_EQ(ReadFile(server.home() + "/run.cgi"), "new run.cgi");
        EXPECT_EQ(ReadFile(server.home() + "/b.txt"), "new b.txt");
        EXPECT_EQ(UploadTemps(server.home()), std::vector<std::string>{});
        if (c.said != 0) {
            EXPECT_EQ(h.count(Fmt(c.said)), 1);
        }
        EXPECT_EQ(ModeOf(server.home() + "/run.cgi"), c.modeAfter);
        EXPECT_EQ(h.count(Fmt(60734, {"run.cgi", "0755"})), c.modeNotKept ? 1 : 0);
    }
}

// What an earlier run left under a temporary name is never copied; it is
// removed once no upload can still be writing it.
TEST(UploadTransaction, LeftoverTemporaryUploadsGoOnlyWhenOld) {
    TestFtpServer server;
    RunHarness h;
    const std::string old = ".kestrum-upload-0123456789abcdef", fresh = ".kestrum-upload-fedcba9876543210";
    WriteFile(server.home() + "/" + old, "cut", std::time(nullptr) - 3600);
    WriteFile(server.home() + "/sub/" + old, "cut", std::time(nullptr) - 3600);
    WriteFile(server.home() + "/" + fresh, "being written");
    WriteFile(server.home() + "/.kestrum-upload-not-ours", "kept", kOld);
    h.MakeProfile("p", server, {.download = true, .upload = true});
    EXPECT_EQ(h.Run(), 0);
    EXPECT_EQ(SortedNames(server.home()), (std::vector<std::string>{fresh, ".kestrum-upload-not-ours", "sub"}));
    EXPECT_EQ(SortedNames(server.home() + "/sub"), std::vector<std::string>{});
    EXPECT_EQ(h.count(Fmt(60735, {old})), 1);
    EXPECT_EQ(h.count(Fmt(60735, {"sub/" + old})), 1);
    EXPECT_EQ(SortedNames(h.localDir), std::vector<std::string>{});
}

// The sync state tells an edit from a clock difference: a change made after
// the last copy, inside the time tolerance, is copied all the same; a change
// on both sides is left to the times and said.
TEST(SyncState, AChangeSinceTheLastCopyGoesWhateverTheTolerance) {
    const struct {
        const char* what;
        bool bothWays;
        bool editLocal, editServer;
        std::string serverAfter;  // the server file after the second run
        std::string localAfter;
        int bothChangedLines;
    } cases[] = {
        {"local edit after the upload", false, true, false, "local edit", "local edit", 0},
        {"local edit, both ways", true, true, false, "local edit", "local edit", 0},
        {"server edit after the copy", true, false, true, "server edit", "server edit", 0},
        {"both edited", true, true, true, "server edit", "local edit", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestFtpServer server;
        RunHarness h;
        WriteFile(h.localDir + "/page.html", "first");
        h.MakeProfile("p", server, {.download = c.bothWays, .upload = true});
        ASSERT_EQ(h.Run(), 0);
        ASSERT_EQ(ReadFile(server.home() + "/page.html"), "first");
        const long long stamped = test::FileMtime(h.localDir + "/page.html");
        // Each edit 30 seconds after the copy's time, well inside the 3 minutes.
        if (c.editLocal)
            WriteFile(h.localDir + "/page.html", "local edit", stamped + 30);
        if (c.editServer)
            WriteFile(server.home() + "/page.html", "server edit", test::FileMtime(server.home() + "/page.html") + 30);
        EXPECT_EQ(h.Run(), 0);
        EXPECT_EQ(ReadFile(server.home() + "/page.html"), c.serverAfter);
        EXPECT_EQ(ReadFile(h.localDir + "/page.html"), c.localAfter);
        EXPECT_EQ(h.count(Fmt(60738, {"page.html"})), c.bothChangedLines);
    }
}

// A server time the local file system cannot hold is kept as near as it can,
// said once, and the file is not copied again on every run for it.
TEST(SyncState, AServerTimeTheDiskCannotHoldIsCopiedOnce) {
    TestFtpServer server({.farFuture = "far.txt"});
    RunHarness h;
    WriteFile(server.home() + "/far.txt", "far");
    h.MakeProfile("p", server, {.download = true, .upload = true});
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EQ(h.Run(), 0);
        EXPECT_EQ(ReadFile(h.localDir + "/far.txt"), "far");
        EXPECT_EQ(server.countCommands("RETR"), 1);
    }
}

}  // namespace
}  // namespace kestrum
