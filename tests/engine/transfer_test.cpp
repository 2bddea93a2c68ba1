// The transfer step against the test server.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "engine/run_log.h"
#include "tests/engine/phase_session.h"

namespace kestrum {
namespace {

using test::Fmt;
using test::FtpServerOptions;
using test::PhaseSession;
using test::ReadFile;
using test::TestFtpServer;
using test::WriteFile;

class Transfer : public test::ListingTest {
  protected:
    // The time the server lists for a file it stored at `mtime`.
    int64_t Listed(int64_t mtime) const { return GetParam() ? mtime : mtime / 60 * 60; }
};

FileEntry Entry(const std::string& name, int direction) {
    return FileEntry{name, 0, static_cast<Direction>(direction)};
}

// The TYPE in force when the server received `verb` for a path ending in
// name; a STOR also counts for the name its file was then renamed to.
std::string TypeOf(const std::string& commandLog, const std::string& verb, const std::string& name) {
    std::istringstream in(commandLog);
    std::string line, type, renamedFrom;
    std::map<std::string, std::string> storedWith;  // STOR path -> type
    while (std::getline(in, line)) {
        if (line.rfind("TYPE ", 0) == 0)
            type = line.substr(5);
        if (line.rfind("STOR ", 0) == 0)
            storedWith[line.substr(5)] = type;
        if (line.rfind("RNFR ", 0) == 0)
            renamedFrom = line.substr(5);
        const bool named =
            line.size() >= name.size() && line.compare(line.size() - name.size(), name.size(), name) == 0;
        if (line.rfind(verb + " ", 0) == 0 && named)
            return type;
        if (verb == "STOR" && line.rfind("RNTO ", 0) == 0 && named)
            return storedWith[renamedFrom];
    }
    return "?";
}

// Fails every time setting; everything else is the real disk.
class NoTimesFs : public test::PassThroughFs {
  public:
    bool SetLastWriteTime(const std::string&, int64_t) override {
        errno = EPERM;
        return false;
    }
};

const std::string kBinary("\x00\x01\r\n\xff\n", 6);

TEST_P(Transfer, AsciiAndBinaryCopiesAreLoggedStampedAndCounted) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    WriteFile(server.home() + "/down.txt", "x\r\ny\r\n", t);
    WriteFile(server.home() + "/sub/down.bin", kBinary, t + 60);

    PhaseSession p(server);
    ParseExtensionList("txt,HTML", p.settings().asciiExtensions);
    WriteFile(p.LocalPath("up.txt"), "l1\nl2\n", t - 7200);
    WriteFile(p.LocalPath("up.bin"), kBinary, t - 7200);
    mkdir(p.LocalPath("sub").c_str(), 0755);
    p.transfer = {Entry("up.txt", 1), Entry("up.bin", 1), Entry("down.txt", 2), Entry("sub/down.bin", 2),
                  Entry("ignored", 0)};
    ASSERT_EQ(TransferFiles(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
    EXPECT_TRUE(p.transfer.empty());
    EXPECT_EQ(p.lines(), (std::vector<std::string>{
                             Fmt(57699, {"up.txt"}), Fmt(57678, {"up.txt"}),              //
                             Fmt(42808, {"up.bin"}), Fmt(57678, {"up.bin"}),              //
                             Fmt(57700, {"down.txt"}), Fmt(57678, {"down.txt"}),          //
                             Fmt(57676, {"sub/down.bin"}), Fmt(57678, {"sub/down.bin"}),  //
                         }));
    // ASCII mode carries text in the server's line ends (this server stores LF);
    // binary mode keeps every byte, CR LF included.
    const std::string log = server.commandLog();
    EXPECT_EQ(TypeOf(log, "STOR", "up.txt"), "A") << log;
    EXPECT_EQ(TypeOf(log, "STOR", "up.bin"), "I");
    EXPECT_EQ(TypeOf(log, "RETR", "down.txt"), "A");
    EXPECT_EQ(TypeOf(log, "RETR", "down.bin"), "I");
    EXPECT_EQ(ReadFile(server.home() + "/up.txt"), "l1\nl2\n");
    EXPECT_EQ(ReadFile(server.home() + "/up.bin"), kBinary);
    EXPECT_EQ(ReadFile(p.LocalPath("down.txt")), "x\ny\n");
    EXPECT_EQ(ReadFile(p.LocalPath("sub/down.bin")), kBinary);
    // Every local copy carries the time the server lists for it.
    EXPECT_EQ(test::FileMtime(p.LocalPath("down.txt")), t);
    EXPECT_EQ(test::FileMtime(p.LocalPath("sub/down.bin")), t + 60);
    EXPECT_EQ(test::FileMtime(p.LocalPath("up.txt")), Listed(test::FileMtime(server.home() + "/up.txt")));
    EXPECT_EQ(test::FileMtime(p.LocalPath("up.bin")), Listed(test::FileMtime(server.home() + "/up.bin")));
    EXPECT_EQ(p.h.port.counters(), (std::vector<std::string>{"0 / 5", "1 / 5", "2 / 5", "3 / 5", "4 / 5"}));
    EXPECT_EQ(p.h.port.progress(), (std::vector<int>{5, 23, 41, 59, 77}));
    // No temporary file is left beside the downloads.
    EXPECT_EQ(test::SortedNames(p.h.localDir), (std::vector<std::string>{"down.txt", "sub", "up.bin", "up.txt"}));
    EXPECT_EQ(test::SortedNames(p.LocalPath("sub")), (std::vector<std::string>{"down.bin"}));

    // The offset brings the server's time to the local clock.
    p.transfer = {Entry("down.txt", 2)};
    ASSERT_EQ(TransferFiles(p.ctx(), p.conn(), p.transfer, 300), PhaseOutcome::Done);
    EXPECT_EQ(test::FileMtime(p.LocalPath("down.txt")), t - 300);
}

TEST_P(Transfer, FailedCopiesAreLoggedSkippedAndNotCounted) {
    TestFtpServer server(Options());
    PhaseSession p(server);
    for (const char* n : {"a.txt", "b.txt", "c.txt"})
        WriteFile(p.LocalPath(n), n);
    WriteFile(p.LocalPath("keep.txt"), "good local copy", 1'000'000'000);
    p.transfer = {Entry("a.txt", 1),    Entry("gone1", 1), Entry("b.txt", 1), Entry("gone.txt", 2),
                  Entry("keep.txt", 2), Entry("gone2", 1), Entry("c.txt", 1)};
    ASSERT_EQ(TransferFiles(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
    const auto lines = p.lines();
    for (const std::string& failed :
         {Fmt(42819, {"gone1"}), Fmt(42819, {"gone2"}), Fmt(57677, {"gone.txt"}), Fmt(57677, {"keep.txt"})})
        EXPECT_EQ(std::count(lines.begin(), lines.end(), failed), 1) << failed;
    // Each failure line is followed by the server's reply.
    EXPECT_EQ(lines.size(), 3u * 2 + 4 * 2);
    // 3 of 7: the bar stands at 5 + 270 / 7.
    EXPECT_EQ(p.h.port.counters().back(), "3 / 7");
    EXPECT_EQ(p.h.port.progress().back(), 43);
    // A failed download leaves the local file as it was.
    EXPECT_EQ(ReadFile(p.LocalPath("keep.txt")), "good local copy");
    EXPECT_EQ(test::FileMtime(p.LocalPath("keep.txt")), 1'000'000'000);
    EXPECT_FALSE(test::Exists(p.LocalPath("gone.txt")));
    EXPECT_EQ(test::SortedNames(p.h.localDir), (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "keep.txt"}));

    // An empty list: 0 of 0, the bar at 5, no line.
    PhaseSession q(server);
    ASSERT_EQ(TransferFiles(q.ctx(), q.conn(), q.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(q.h.port.counters(), (std::vector<std::string>{"0 / 0"}));
    EXPECT_EQ(q.h.port.progress(), (std::vector<int>{5}));
    EXPECT_TRUE(q.lines().empty());
}

TEST_P(Transfer, ATimeThatCannotBeSetIsReportedAndTheRunGoesOn) {
    TestFtpServer server(Options());
    WriteFile(server.home() + "/d.bin", "d");
    NoTimesFs fs;
    PhaseSession p(server, fs);
    WriteFile(p.LocalPath("u.bin"), "u");
    p.transfer = {Entry("u.bin", 1), Entry("d.bin", 2)};
    ASSERT_EQ(TransferFiles(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
    const std::string reason = std::string("\t") + std::strerror(EPERM);
    EXPECT_EQ(p.lines(),
              (std::vector<std::string>{Fmt(42808, {"u.bin"}), Fmt(57673, {"u.bin"}), reason, Fmt(57678, {"u.bin"}),
                                        Fmt(57676, {"d.bin"}), Fmt(57673, {"d.bin"}), reason, Fmt(57678, {"d.bin"})}));
    EXPECT_EQ(p.h.port.counters().back(), "2 / 2");
}

TEST_P(Transfer, CancelTakesEffectBeforeTheNextEntry) {
    TestFtpServer server(Options());
    PhaseSession p(server);
    for (const char* n : {"1.bin", "2.bin", "3.bin", "4.bin", "5.bin"})
        WriteFile(p.LocalPath(n), n);
    // 1.bin is logged once its rename is read, with the store of 3.bin.
    test::CancelAt c(p.h, Fmt(57678, {"1.bin"}));
    p.transfer = {Entry("1.bin", 1), Entry("2.bin", 1), Entry("3.bin", 1), Entry("4.bin", 1), Entry("5.bin", 1)};
    EXPECT_EQ(TransferFiles(c.ctx, p.conn(), p.transfer, 0), PhaseOutcome::RunEnded);
    // The next entry aborts, once; the stores whose checks or renames were
    // not sent yet never take their names, and nothing else is left behind.
    EXPECT_EQ(c.port.lines(), (std::vector<std::string>{Fmt(42808, {"1.bin"}), Fmt(57678, {"1.bin"}), Fmt(42800)}));
    EXPECT_EQ(c.port.completions(), 1);
    EXPECT_TRUE(p.transfer.empty());
    EXPECT_EQ(test::SortedNames(server.home()), (std::vector<std::string>{"1.bin"}));

    // A cancel during the last copy leaves the abort to the driver.
    PhaseSession q(server);
    WriteFile(q.LocalPath("last.bin"), "l");
    test::CancelAt c2(q.h, Fmt(57678, {"last.bin"}));
    q.transfer = {Entry("last.bin", 1)};
    EXPECT_EQ(TransferFiles(c2.ctx, q.conn(), q.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(c2.port.completions(), 0);
    EXPECT_EQ(q.state().flags.cancelRequested, 1);
}

// Stamping a file edited during its upload would hide the edit from every later run.
TEST_P(Transfer, AFileEditedDuringItsUploadIsNotStampedAndStaysChanged) {
    struct EditingFs : test::PassThroughFs {
        int looks = 0;
        std::string path;
        std::optional<LocalStatus> GetStatus(const std::string& p) override {
            if (p == path && ++looks == 2)
                WriteFile(p, "edited meanwhile");
            return PosixFileSystem().GetStatus(p);
        }
    } fs;
    FtpServerOptions o = Options();
    o.clockShiftSeconds = 3600;  // a stamp would put the local time an hour ahead
    TestFtpServer server(o);
    PhaseSession p(server, fs);
    fs.path = p.LocalPath("big.bin");
    WriteFile(fs.path, "first", 1'000'000'000);
    p.transfer = {Entry("big.bin", 1)};
    ASSERT_EQ(TransferFiles(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(p.lines(), (std::vector<std::string>{Fmt(42808, {"big.bin"}), Fmt(60017, {"big.bin"})}));
    EXPECT_LT(test::FileMtime(fs.path), std::time(nullptr) + 600);
    EXPECT_EQ(p.state().results.unsyncedLocalFiles, std::vector<std::string>{"big.bin"});
}

TEST_P(Transfer, CaseDifferingCounterpartsAreUpdatedInPlace) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    WriteFile(server.home() + "/Notes.TXT", "old server copy", t - 3600);
    WriteFile(server.home() + "/A.BIN", "new server copy", t);

    PhaseSession p(server);
    WriteFile(p.LocalPath("notes.txt"), "new local copy", t);
    WriteFile(p.LocalPath("a.bin"), "old local copy", t - 3600);
    p.ScanLocal();
    ASSERT_EQ(ScanServerTree(p.ctx(), p.conn(), ""), PhaseOutcome::Done);
    PlanBothDirections(p.ctx(), p.conn(), p.transfer, 0);
    ASSERT_EQ(p.transfer.size(), 2u);
    ASSERT_EQ(TransferFiles(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(ReadFile(server.home() + "/Notes.TXT"), "new local copy");
    EXPECT_EQ(ReadFile(p.LocalPath("a.bin")), "new server copy");
    EXPECT_EQ(test::SortedNames(server.home()), (std::vector<std::string>{"A.BIN", "Notes.TXT"}));
    EXPECT_EQ(test::SortedNames(p.h.localDir), (std::vector<std::string>{"a.bin", "notes.txt"}));
}

// More bytes than announced: the copy fails with both sizes named; the old copy stays.
TEST(TransferSizes, ADownloadLongerThanAnnouncedFailsAndKeepsTheOldCopy) {
    FtpServerOptions o;
    o.announceShort = "page.bin";
    TestFtpServer server(o);
    WriteFile(server.home() + "/page.bin", "0123456789abcdef");
    PhaseSession p(server);
    WriteFile(p.LocalPath("page.bin"), "good local copy", 1'000'000'000);
    p.transfer = {Entry("page.bin", 2)};
    ASSERT_EQ(TransferFiles(p.ctx(), p.conn(), p.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(ReadFile(p.LocalPath("page.bin")), "good local copy");
    EXPECT_EQ(test::SortedNames(p.h.localDir), std::vector<std::string>{"page.bin"});
    const auto lines = p.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], Fmt(57677, {"page.bin"}));
    EXPECT_NE(lines[1].find(Fmt(60610, {"11", "16"})), std::string::npos) << lines[1];
    EXPECT_EQ(p.state().flags.failedItems.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Listing, Transfer, ::testing::Bool(), test::ListingName);

}  // namespace
}  // namespace kestrum
