// The three forms of upload planning, with MLSD and with LIST only.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "engine/run_log.h"
#include "tests/engine/phase_session.h"

namespace kestrum {
namespace {

using test::Fmt;
using test::FtpServerOptions;
using test::PhaseSession;
using test::TestFtpServer;
using test::WriteFile;

class UploadPlanning : public test::ListingTest {};

std::string Updated(const std::string& name) {
    return Fmt(42810, {name});
}
std::string Made(const std::string& dir) {
    return Fmt(42809, {dir});
}

TEST_P(UploadPlanning, UploadOnlyFormLooksUpEveryFile) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    WriteFile(server.home() + "/b", "a file where a directory is needed", t);
    mkdir((server.home() + "/d").c_str(), 0755);
    test::WriteFiles(server.home(), {"t1.txt", "t2.txt", "t3.txt"}, t);
    chmod((server.home() + "/t2.txt").c_str(), 0604);

    PhaseSession p(server);
    // x is probed again for x/q.txt, not made twice; b/a.txt is blocked by a server
    // file (planned all the same); d is a server directory (passed over).
    p.Local({"x/y/z.txt", "x/q.txt", "b/a.txt", "d"}, t);
    p.Local({"t1.txt"}, t + 180);
    p.Local({"t2.txt"}, t + 181);
    p.Local({"t3.txt"}, t - 3600);  // the server copy is newer: never replaced
    // "\\" is no separator here: the name would reach the server as another path.
    p.Local({"line\nbreak.txt", "back\\slash.txt", "e.txt"}, t);
    ASSERT_EQ(PlanUploads(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(p.lines(), (std::vector<std::string>{Made("x"), Made("x/y"), Updated("x/y/z.txt"), Updated("x/q.txt"),
                                                   Updated("b/a.txt"), Updated("t2.txt"),
                                                   // A name with a control byte is skipped, as one with "\\".
                                                   Fmt(60014, {"line?break.txt"}), Fmt(60008, {"back\\slash.txt"}),
                                                   Updated("e.txt")}));
    EXPECT_EQ(p.planned(), (std::vector<std::string>{"1:x/y/z.txt", "1:x/q.txt", "1:b/a.txt", "1:t2.txt", "1:e.txt"}));
    // An upload over a server file carries that file's listed permission bits; a new file has none.
    EXPECT_EQ(p.transfer[3].mode, 0604);
    EXPECT_EQ(p.transfer[4].mode, -1);
    EXPECT_TRUE(test::IsDirectory(server.home() + "/x/y"));
    EXPECT_FALSE(test::IsDirectory(server.home() + "/b"));

    // Offset +3600: a local 10:00 is 11:00 on the server; a copy listed 10:30 is older.
    PhaseSession q(server);
    q.Local({"t1.txt"}, t - 1800);
    ASSERT_EQ(PlanUploads(q.ctx(), q.conn(), q.transfer, 3600), PhaseOutcome::Done);
    EXPECT_EQ(q.planned(), (std::vector<std::string>{"1:t1.txt"}));
}

// A directory goes out with the next command; one the server refuses is
// asked for once, and the uploads into it fail.
TEST_P(UploadPlanning, ARefusedDirectoryIsAskedForOnceAndFailsItsUploads) {
    FtpServerOptions o = Options();
    o.refuse = "MKD";
    TestFtpServer server(o);
    PhaseSession p(server);
    for (const char* name : {"n/a.txt", "n/b.txt", "ok.txt"})
        WriteFile(p.LocalPath(name), name);
    p.Local({"n/a.txt", "n/b.txt", "ok.txt"}, test::RecentMinute());
    ASSERT_EQ(PlanUploads(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
    ASSERT_EQ(TransferFiles(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(server.countCommands("MKD"), 1);
    EXPECT_EQ(p.state().flags.failedItems, 2);
    EXPECT_TRUE(test::Exists(server.home() + "/ok.txt"));
}

TEST_P(UploadPlanning, OnlyFilesOnBothSidesPassesNewFilesOverSilently) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    WriteFile(server.home() + "/kept.txt", "server copy", t);
    mkdir((server.home() + "/d").c_str(), 0755);
    for (const bool mirroring : {false, true}) {
        PhaseSession p(server);
        p.settings().onlyBoth = 1;
        p.Local({"new/n.txt", "n2.txt", "n3.txt"}, t);
        p.Local({"kept.txt"}, t + 600);
        p.Local({"d"}, t);  // last in the list, a directory on the server: planning ends normally
        if (mirroring) {
            ASSERT_EQ(ScanServerTreeForMirroring(p.ctx(), p.conn()), PhaseOutcome::Done);
            const size_t from = p.lineCount();
            ASSERT_EQ(PlanUploadsMirroring(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
            EXPECT_EQ(p.linesSince(from), (std::vector<std::string>{Updated("kept.txt")}));
        } else {
            ASSERT_EQ(PlanUploads(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
            EXPECT_EQ(p.lines(), (std::vector<std::string>{Updated("kept.txt")}));
        }
        EXPECT_EQ(p.planned(), (std::vector<std::string>{"1:kept.txt"}));
        EXPECT_FALSE(test::Exists(server.home() + "/new"));
    }
}

TEST_P(UploadPlanning, MirroringFormMarksMatchesAndStrikesDirectories) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    // x: a file where a directory is needed.
    test::WriteFiles(server.home(),
                     {"x", "alpha/a.txt", "Beta/b.txt", "gamma/g.txt", "Readme.TXT", "Notes.TXT", "old.txt"}, t);
    chmod((server.home() + "/Notes.TXT").c_str(), 0640);

    PhaseSession p(server);
    p.Local({"x/a.txt", "q/b.txt", "Beta/new.txt"}, t);
    p.Local({"readme.txt"}, t + 100);                // differs in letter case only, inside the lag
    p.Local({"notes.txt", "alpha/a.txt"}, t + 181);  // notes.txt: letter case only, newer
    p.Local({"bad\ndir/f.txt"}, t);
    ASSERT_EQ(ScanServerTreeForMirroring(p.ctx(), p.conn()), PhaseOutcome::Done);
    const size_t from = p.lineCount();
    ASSERT_EQ(PlanUploadsMirroring(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(p.linesSince(from), (std::vector<std::string>{
                                      Fmt(57689, {"x", "x/a.txt"}),
                                      std::string("\t") + std::strerror(ENOTDIR),
                                      Made("q"),
                                      Updated("q/b.txt"),
                                      Updated("Beta/new.txt"),
                                      Updated("Notes.TXT"),
                                      Updated("alpha/a.txt"),
                                      Fmt(60014, {"bad?dir/f.txt"}),
                                  }));
    EXPECT_EQ(p.planned(), (std::vector<std::string>{"1:q/b.txt", "1:Beta/new.txt", "1:notes.txt", "1:alpha/a.txt"}));
    // The upload reaches the matched server copy under its own name.
    EXPECT_EQ(p.transfer[2].serverName, "Notes.TXT");
    EXPECT_EQ(p.transfer[2].mode, 0640);
    EXPECT_EQ(p.state().results.serverDirectories, (DirectoryList{"GAMMA"}));
    EXPECT_EQ(p.state().results.serverDirectoriesAsListed, (DirectoryList{"gamma"}));
    std::vector<std::string> unmatched;
    for (const FileEntry& e : p.state().results.serverFiles) {
        if (!e.matched)
            unmatched.push_back(e.name);
    }
    std::sort(unmatched.begin(), unmatched.end());
    EXPECT_EQ(unmatched, (std::vector<std::string>{"Beta/b.txt", "gamma/g.txt", "old.txt", "x"}));
}

TEST_P(UploadPlanning, BothDirectionsPlansServerFilesFirstThenLocalOnlyFiles) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    test::WriteFiles(server.home(), {"x", "s.txt", "up.txt"}, t);  // x: a file where a directory is needed
    test::WriteFiles(server.home(), {"both.txt"}, t + 600);
    chmod((server.home() + "/up.txt").c_str(), 0604);

    PhaseSession p(server);
    p.Local({"x/a.txt", "both.txt"}, t);
    p.Local({"up.txt"}, t + 600);
    p.Local({"l.txt", "m/l2.txt"}, t);
    p.settings().download = 1;
    p.settings().upload = 1;
    ASSERT_EQ(ScanServerTree(p.ctx(), p.conn(), ""), PhaseOutcome::Done);
    const size_t from = p.lineCount();
    PlanBothDirections(p.ctx(), p.conn(), p.transfer, 0);
    const auto planned = p.planned();
    ASSERT_EQ(planned.size(), 6u) << testing::PrintToString(planned);
    // The server-file pass in server-list order, then the local-only files in local order.
    std::vector<std::string> serverPass(planned.begin(), planned.begin() + 4);
    std::sort(serverPass.begin(), serverPass.end());
    EXPECT_EQ(serverPass, (std::vector<std::string>{"1:up.txt", "2:both.txt", "2:s.txt", "2:x"}));
    for (const FileEntry& e : p.transfer)
        EXPECT_EQ(e.mode, e.name == "up.txt" ? 0604 : -1) << e.name;
    EXPECT_EQ(std::vector<std::string>(planned.begin() + 4, planned.end()),
              (std::vector<std::string>{"1:l.txt", "1:m/l2.txt"}));
    const auto lines = p.linesSince(from);
    ASSERT_EQ(lines.size(), 9u) << testing::PrintToString(lines);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.end()),
              (std::vector<std::string>{Fmt(57689, {"x", "x/a.txt"}), std::string("\t") + std::strerror(ENOTDIR),
                                        Updated("l.txt"), Made("m"), Updated("m/l2.txt")}));

    // With "only files on both sides" the local-only files are left alone.
    PhaseSession q(server);
    q.settings().onlyBoth = 1;
    q.Local({"l.txt"}, t);
    q.Local({"up.txt"}, t + 600);
    ASSERT_EQ(ScanServerTree(q.ctx(), q.conn(), ""), PhaseOutcome::Done);
    PlanBothDirections(q.ctx(), q.conn(), q.transfer, 0);
    EXPECT_EQ(q.planned(), (std::vector<std::string>{"1:up.txt"}));
}

TEST_P(UploadPlanning, CancelWhileMakingDirectoriesAbortsOnce) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    PhaseSession p(server);
    p.Local({"first.txt", "x/y/z.txt", "later.txt"}, t);
    // The cancel arrives while the first directory is made.
    test::CancelAt c(p.h, Made("x"));
    EXPECT_EQ(PlanUploads(c.ctx, p.conn(), p.transfer, 0), PhaseOutcome::RunEnded);
    EXPECT_EQ(c.port.lines(), (std::vector<std::string>{Updated("first.txt"), Made("x"), Fmt(42800)}));
    EXPECT_EQ(c.port.completions(), 1);
    EXPECT_EQ(c.port.progress(), (std::vector<int>{95}));
    EXPECT_TRUE(p.transfer.empty());
    EXPECT_FALSE(test::Exists(server.home() + "/x/y"));

    // A cancel before the first file: the mirroring form leaves the abort to the driver.
    PhaseSession q(server);
    q.Local({"first.txt"}, t);
    q.state().flags.cancelRequested = 1;
    EXPECT_EQ(PlanUploadsMirroring(q.ctx(), q.conn(), q.transfer, 0), PhaseOutcome::Cancelled);
    EXPECT_TRUE(q.transfer.empty());
    EXPECT_EQ(q.h.port.completions(), 0);
}

INSTANTIATE_TEST_SUITE_P(Listing, UploadPlanning, ::testing::Bool(), test::ListingName);

}  // namespace
}  // namespace kestrum
