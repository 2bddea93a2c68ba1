// Mirroring deletions, and no deletion where either side could not be listed.
#include <gtest/gtest.h>

#include "res/codepage.h"
#include "tests/engine/phase_session.h"

namespace kestrum {
namespace {

using test::Fmt;
using test::FtpServerOptions;
using test::PhaseSession;
using test::TestFtpServer;
using test::WriteFile;

// The real disk, except that directories of one name cannot be listed.
class UnlistableDirFs : public test::PassThroughFs {
  public:
    explicit UnlistableDirFs(std::string name) : suffix_("/" + std::move(name)) {}
    bool ListDirectory(const std::string& d, std::vector<LocalDirEntry>& e) override {
        if (d.size() >= suffix_.size() && d.compare(d.size() - suffix_.size(), suffix_.size(), suffix_) == 0) {
            return false;
        }
        return PosixFileSystem().ListDirectory(d, e);
    }

  private:
    std::string suffix_;
};

class Mirroring : public test::ListingTest {
  protected:
    // Scan, plan, transfer and delete as an upload-only mirroring run does.
    static void RunPhases(PhaseSession& p) {
        p.settings().upload = 1;
        p.settings().mirrorFiles = 1;
        p.ScanLocal();
        ASSERT_EQ(ScanServerTreeForMirroring(p.ctx(), p.conn()), PhaseOutcome::Done);
        ASSERT_EQ(PlanUploadsMirroring(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
        ASSERT_EQ(TransferFiles(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
    }
};

TEST_P(Mirroring, DeletesUnmatchedFilesThenTheDirectoriesLeftHeadFirst) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    test::WriteFiles(server.home(),
                     {"alpha/a.txt", "Beta/b.txt", "gamma/g.txt", "gamma/sub/s.txt", "old.txt", "KEEP.txt"}, t);

    PhaseSession p(server);
    p.settings().mirrorDirs = 1;
    WriteFile(p.LocalPath("keep.txt"), "k", t);
    RunPhases(p);
    std::vector<std::string> expected;
    for (const FileEntry& e : p.state().results.serverFiles) {
        if (!e.matched)
            expected.push_back(Fmt(57703, {e.name}));
    }
    ASSERT_EQ(expected.size(), 5u);
    for (const std::string& d : p.state().results.serverDirectories) {
        if (d == "GAMMA")
            expected.push_back(Fmt(57704, {"gamma/sub"}));  // nested ones first
        expected.push_back(Fmt(57704, {d}));
    }
    std::vector<std::string> listedDirs;
    for (const FtpEntry& e : p.conn().List("").entries) {
        if (e.isDirectory)
            listedDirs.push_back(UpperAscii(e.name));
    }
    // The last-listed directory goes first.
    EXPECT_EQ(std::vector<std::string>(p.state().results.serverDirectories.begin(),
                                       p.state().results.serverDirectories.end()),
              std::vector<std::string>(listedDirs.rbegin(), listedDirs.rend()));

    const size_t from = p.lineCount();
    DeleteMirroredServerFiles(p.ctx(), p.conn());
    EXPECT_EQ(p.linesSince(from), expected);
    // Emptied directories go under their own names, nested ones first.
    EXPECT_TRUE(test::Exists(server.home() + "/KEEP.txt"));
    EXPECT_FALSE(test::Exists(server.home() + "/old.txt"));
    EXPECT_FALSE(test::Exists(server.home() + "/alpha"));
    EXPECT_FALSE(test::Exists(server.home() + "/Beta"));
    EXPECT_FALSE(test::Exists(server.home() + "/gamma"));

    // Without mirroring of directories every directory stays.
    WriteFile(server.home() + "/delta/d.txt", "d", t);
    PhaseSession q(server);
    WriteFile(q.LocalPath("keep.txt"), "k", t);
    RunPhases(q);
    const size_t from2 = q.lineCount();
    DeleteMirroredServerFiles(q.ctx(), q.conn());
    EXPECT_EQ(q.linesSince(from2), (std::vector<std::string>{Fmt(57703, {"delta/d.txt"})}));
    EXPECT_TRUE(test::IsDirectory(server.home() + "/delta"));
}

TEST_P(Mirroring, NothingIsDeletedBelowALocalDirectoryThatCouldNotBeListed) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    test::WriteFiles(server.home(), {"private/x.txt", "private/deep/y.txt", "gone.txt"}, t);

    UnlistableDirFs fs("private");
    PhaseSession p(server, fs);
    WriteFile(p.LocalPath("private/x.txt"), "x", t);
    p.settings().mirrorDirs = 1;
    RunPhases(p);
    EXPECT_EQ(p.state().results.unlistedLocalDirs, (std::vector<std::string>{"private"}));

    const size_t from = p.lineCount();
    DeleteMirroredServerFiles(p.ctx(), p.conn());
    auto lines = p.linesSince(from);
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected = {Fmt(57703, {"gone.txt"}), Fmt(60005, {"private", "private/x.txt"}),
                                         Fmt(60005, {"private", "private/deep/y.txt"}),
                                         Fmt(60006, {"private", "private"})};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(test::Exists(server.home() + "/private/x.txt"));
    EXPECT_TRUE(test::Exists(server.home() + "/private/deep/y.txt"));
    EXPECT_FALSE(test::Exists(server.home() + "/gone.txt"));
}

// A listed server directory that refuses its listing: nothing new goes in, not removed.
TEST_P(Mirroring, AServerDirectoryThatCouldNotBeListedIsLeftAlone) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    test::WriteFiles(server.home(), {"bad\xff/precious.txt", "ok/gone.txt"}, t);

    PhaseSession p(server);
    p.settings().mirrorDirs = 1;
    RunPhases(p);
    ASSERT_EQ(p.state().results.unknownServerDirs.size(), 1u);
    const std::string bad = p.state().results.unknownServerDirs[0];
    const size_t from = p.lineCount();
    DeleteMirroredServerFiles(p.ctx(), p.conn());
    const auto lines = p.linesSince(from);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), Fmt(57703, {"ok/gone.txt"})), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), Fmt(57704, {"OK"})), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), Fmt(60007, {bad})), 1) << testing::PrintToString(lines);
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_TRUE(test::Exists(server.home() + "/bad\xff/precious.txt"));
    EXPECT_FALSE(test::Exists(server.home() + "/ok"));

    // A local file in a directory of that (shown) name is not uploaded as new by
    // the mirroring form (the both-directions form:
    // SyncRuns.AnUnknownServerDirectoryIsNotOverwrittenByABothDirectionsRun).
    PhaseSession q(server);
    WriteFile(q.LocalPath(bad + "/new.txt"), "n", t);
    q.ScanLocal();
    ASSERT_EQ(ScanServerTreeForMirroring(q.ctx(), q.conn()), PhaseOutcome::Done);
    const size_t from2 = q.lineCount();
    ASSERT_EQ(PlanUploadsMirroring(q.ctx(), q.conn(), q.transfer, 0), PhaseOutcome::Done);
    EXPECT_TRUE(q.transfer.empty());
    EXPECT_EQ(q.linesSince(from2), (std::vector<std::string>{Fmt(60003, {bad, bad + "/new.txt"})}));
}

TEST_P(Mirroring, ARefusedDeletionIsAFailedItemWithTheServersReply) {
    FtpServerOptions o = Options();
    o.refuse = "DELE,RMD";
    TestFtpServer server(o);
    WriteFile(server.home() + "/dir/gone.txt", "g", test::RecentMinute());

    PhaseSession p(server);
    p.settings().mirrorDirs = 1;
    RunPhases(p);
    const size_t from = p.lineCount();
    DeleteMirroredServerFiles(p.ctx(), p.conn());
    const std::string reply = "\t550 Not allowed by this server.";
    EXPECT_EQ(p.linesSince(from),
              (std::vector<std::string>{Fmt(60011, {"dir/gone.txt"}), reply, Fmt(60012, {"dir"}), reply}));
    EXPECT_EQ(p.state().flags.failedItems, 2);
    EXPECT_TRUE(test::Exists(server.home() + "/dir/gone.txt"));
}

INSTANTIATE_TEST_SUITE_P(Listing, Mirroring, ::testing::Bool(), test::ListingName);

}  // namespace
}  // namespace kestrum
