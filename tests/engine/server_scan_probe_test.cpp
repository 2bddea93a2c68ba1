// The server tree scan and the clock probe, with MLSD and with LIST only.
#include <gtest/gtest.h>

#include "engine/run_log.h"
#include "res/message_ids.h"
#include "res/strings.h"
#include "tests/engine/phase_session.h"

namespace kestrum {
namespace {

using test::Fmt;
using test::FtpServerOptions;
using test::PhaseSession;
using test::TestFtpServer;
using test::WriteFile;

class ServerScan : public test::ListingTest {};

std::vector<std::string> Names(const FileList& list) {
    std::vector<std::string> names;
    for (const FileEntry& e : list)
        names.push_back(e.name);
    return names;
}

long IndexOf(const std::vector<std::string>& v, const std::string& s) {
    auto it = std::find(v.begin(), v.end(), s);
    return it == v.end() ? -1 : it - v.begin();
}

TEST_P(ServerScan, OwnFilesFirstThenSubdirectoriesWithSkips) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    WriteFile(server.home() + "/a.txt", "a", t);
    WriteFile(server.home() + "/b.txt", "b", t + 60);
    test::WriteFiles(
        server.home(),
        {"sub/c.txt", "sub/deep/d.txt", ".hidden", ".git/config", "old.bak", "sub/old.Bak", "..\\evil.txt"}, t);
    mkdir((server.home() + "/empty").c_str(), 0755);

    PhaseSession p(server);
    ParseExtensionList("BAK", p.settings().excludedExtensions);
    ASSERT_EQ(ScanServerTree(p.ctx(), p.conn(), ""), PhaseOutcome::Done);
    const auto names = Names(p.state().results.serverFiles);
    ASSERT_EQ(names.size(), 4u) << testing::PrintToString(names);
    // A directory's own files come first, each subdirectory's contents after them.
    EXPECT_LT(std::max(IndexOf(names, "a.txt"), IndexOf(names, "b.txt")), IndexOf(names, "sub/c.txt"));
    EXPECT_LT(IndexOf(names, "sub/c.txt"), IndexOf(names, "sub/deep/d.txt"));
    EXPECT_EQ(p.state().results.serverFiles[static_cast<size_t>(IndexOf(names, "a.txt"))].lastWriteTime, t);
    EXPECT_EQ(p.state().results.serverFiles[static_cast<size_t>(IndexOf(names, "b.txt"))].lastWriteTime, t + 60);
    // One line per file, in list order; the hostile name is reported and dropped.
    std::vector<std::string> expected;
    for (const std::string& n : names)
        expected.push_back("\t" + n);
    auto lines = p.lines();
    const long evil = IndexOf(lines, Fmt(60000, {"..\\evil.txt"}));
    ASSERT_GE(evil, 0) << testing::PrintToString(lines);
    lines.erase(lines.begin() + evil);
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(p.state().results.unknownServerDirs.empty());

    // Without the subdirectories flag only the home's own files, even when mirroring.
    PhaseSession flat(server);
    flat.settings().subdirs = 0;
    ASSERT_EQ(ScanServerTreeForMirroring(flat.ctx(), flat.conn()), PhaseOutcome::Done);
    auto top = Names(flat.state().results.serverFiles);
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"a.txt", "b.txt", "old.bak"}));
    EXPECT_TRUE(flat.state().results.serverDirectories.empty());

    // An empty home: nothing listed, -1, and nothing unknown.
    TestFtpServer emptyServer(Options());
    PhaseSession none(emptyServer);
    EXPECT_EQ(ScanServerTree(none.ctx(), none.conn(), ""), PhaseOutcome::NothingListed);
    EXPECT_TRUE(none.state().results.serverFiles.empty());
    EXPECT_TRUE(none.state().results.unknownServerDirs.empty());
}

TEST_P(ServerScan, CancelStopsBeforeTheNextEntryAndSkipsPendingDirectories) {
    TestFtpServer server(Options());
    test::WriteFiles(server.home(), {"a.txt", "b.txt", "c.txt", "d.txt", "sub/s.txt"});

    PhaseSession p(server);
    test::CancelAt c(p.h, [](std::string_view line) { return line.rfind("\t", 0) == 0; });
    EXPECT_EQ(ScanServerTree(c.ctx, p.conn(), ""), PhaseOutcome::Cancelled);
    EXPECT_EQ(p.state().results.serverFiles.size(), 1u);
    EXPECT_EQ(c.port.lines().size(), 1u);

    p.state().flags.cancelRequested = 1;
    p.state().results.serverFiles.clear();
    EXPECT_EQ(ScanServerTreeForMirroring(c.ctx, p.conn()), PhaseOutcome::Cancelled);
    EXPECT_TRUE(p.state().results.serverFiles.empty());
    EXPECT_TRUE(p.state().results.serverDirectories.empty());
}

TEST_P(ServerScan, StopsDescendingPastSixtyFourLevels) {
    TestFtpServer server(Options());
    std::string deep;
    for (int level = 1; level <= 70; ++level)
        deep += level == 1 ? "d" : "/d";
    WriteFile(server.home() + "/" + deep + "/a.txt", "a");
    WriteFile(server.home() + "/" + deep.substr(0, 64 * 2 - 1) + "/kept.txt", "k");

    PhaseSession p(server);
    ASSERT_EQ(ScanServerTree(p.ctx(), p.conn(), ""), PhaseOutcome::Done);
    const std::string level65 = deep.substr(0, 65 * 2 - 1);
    EXPECT_EQ(Names(p.state().results.serverFiles), std::vector<std::string>{deep.substr(0, 64 * 2 - 1) + "/kept.txt"});
    EXPECT_EQ(p.state().results.unknownServerDirs, std::vector<std::string>{level65});
    EXPECT_GE(IndexOf(p.lines(), Fmt(60010, {level65, "64"})), 0);
}

INSTANTIATE_TEST_SUITE_P(Listing, ServerScan, ::testing::Bool(), test::ListingName);

class ClockProbe : public test::ListingTest {};

TEST_P(ClockProbe, MeasuresTheServerClockAgainstTheLocalOne) {
    // MLSD gives seconds; LIST only minutes, so the offset may be up to a minute short.
    const int64_t slack = GetParam() ? 0 : 60;
    for (const long shift : {0L, 300L, -120L}) {
        FtpServerOptions o = Options();
        o.clockShiftSeconds = shift;
        TestFtpServer server(o);
        PhaseSession p(server);
        const int64_t offset = ProbeServerClock(p.ctx(), p.conn());
        EXPECT_GE(offset, shift - slack) << shift;
        EXPECT_LE(offset, shift + 3) << shift;
        // The probe leaves nothing on the server and logs nothing.
        EXPECT_FALSE(test::Exists(server.home() + "/dummy.txt"));
        EXPECT_TRUE(p.lines().empty());
        // The local probe file is made empty in the program directory and kept.
        EXPECT_EQ(test::ReadFile(p.h.programDir + "/dummy.txt"), "");
        // Where it cannot be made, there is no probe (offset 0).
        if (shift == 300) {
            p.settings().programDir = p.h.programDir + "/missing/deeper";
            EXPECT_EQ(ProbeServerClock(p.ctx(), p.conn()), 0);
            EXPECT_EQ(server.countCommands("STOR"), 1);
        }
    }
}

TEST_P(ClockProbe, NeverTouchesTheUsersFiles) {
    TestFtpServer server(Options());
    WriteFile(server.home() + "/dummy.txt", "the user's own file", 1'000'000'000);
    PhaseSession p(server);
    WriteFile(p.h.programDir + "/dummy.txt", "kept as it is");
    ProbeServerClock(p.ctx(), p.conn());
    EXPECT_EQ(test::ReadFile(server.home() + "/dummy.txt"), "the user's own file");
    EXPECT_EQ(test::FileMtime(server.home() + "/dummy.txt"), 1'000'000'000);
    EXPECT_FALSE(test::Exists(server.home() + "/dummy1.txt"));
    EXPECT_NE(server.commandLog().find("dummy1.txt"), std::string::npos);
    EXPECT_EQ(test::ReadFile(p.h.programDir + "/dummy.txt"), "kept as it is");

    // With dummy1.txt taken as well, the next free name.
    WriteFile(server.home() + "/dummy1.txt", "also the user's");
    const int64_t offset = ProbeServerClock(p.ctx(), p.conn());
    EXPECT_LE(std::abs(offset), GetParam() ? 3 : 63);
    EXPECT_EQ(test::ReadFile(server.home() + "/dummy1.txt"), "also the user's");
    EXPECT_FALSE(test::Exists(server.home() + "/dummy2.txt"));
    EXPECT_NE(server.commandLog().find("dummy2.txt"), std::string::npos);

    // A LIST line that cannot be read may hide a user's dummy.txt: nothing is
    // written and the clock is not measured.
    FtpServerOptions o = Options();
    o.mlsd = false;
    o.listLines = {{"dummy.txt", "this line means nothing"}};
    TestFtpServer unreadable(o);
    WriteFile(unreadable.home() + "/dummy.txt", "the user's own file");
    PhaseSession q(unreadable);
    EXPECT_EQ(ProbeServerClock(q.ctx(), q.conn()), 0);
    EXPECT_EQ(test::ReadFile(unreadable.home() + "/dummy.txt"), "the user's own file");
    EXPECT_EQ(unreadable.countCommands("STOR"), 0);
    EXPECT_EQ(q.lines(), std::vector<std::string>{LoadString(msg::kClockNotMeasuredHomeUnreadable)});
}

INSTANTIATE_TEST_SUITE_P(Listing, ClockProbe, ::testing::Bool(), test::ListingName);

}  // namespace
}  // namespace kestrum
