#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/local_scan.h"
#include "engine/run_log.h"
#include "engine/run_settings.h"
#include "localfs/local_fs.h"
#include "tests/support/ftp_server.h"
#include "tests/support/recording_port.h"
#include "tests/support/run_harness.h"

namespace kestrum {
namespace {

using test::Names;
using test::TempDir;
using test::WriteFile;

TEST(LocalScan, DepthFirstPreOrderInListingOrderWithSkips) {
    TempDir home;
    WriteFile(home / "b.txt", "b", 1000);
    WriteFile(home / "A.txt", "a", 2000);
    test::WriteFiles(home.path(), {"sub/c.txt", "sub/deeper/d.txt", "z.txt", ".hidden", ".git/config", "x.bak", "x.Bak",
                                   "x.bak.txt", "README", "c."});
    std::vector<std::string> excluded;
    ParseExtensionList("BAK,", excluded);  // the empty item: files without an extension

    test::RecordingPort port;
    RunLog log(port);
    FileList out;
    std::vector<std::string> unlisted;
    ASSERT_EQ(ScanLocalTree(PosixFileSystem(), home.path(), {true, &excluded}, out, &log, &unlisted), 0);
    EXPECT_EQ(Names(out),
              (std::vector<std::string>{"A.txt", "b.txt", "sub/c.txt", "sub/deeper/d.txt", "x.bak.txt", "z.txt"}));
    EXPECT_EQ(out[0].lastWriteTime, 2000);
    EXPECT_EQ(out[1].lastWriteTime, 1000);
    EXPECT_EQ(port.lines(), (std::vector<std::string>{"\tA.txt", "\tb.txt", "\tsub/c.txt", "\tsub/deeper/d.txt",
                                                      "\tx.bak.txt", "\tz.txt"}));
    EXPECT_TRUE(unlisted.empty());

    // Without the subdirectories flag no file below a directory is listed.
    FileList flat;
    ASSERT_EQ(ScanLocalTree(PosixFileSystem(), home.path() + "/", {false, &excluded}, flat, nullptr, nullptr), 0);
    EXPECT_EQ(Names(flat), (std::vector<std::string>{"A.txt", "b.txt", "x.bak.txt", "z.txt"}));
}

TEST(LocalScan, MissingHomeAndUnlistableSubdirectoryAndLinks) {
    TempDir root;
    FileList out;
    EXPECT_EQ(ScanLocalTree(PosixFileSystem(), root / "missing", {true, nullptr}, out, nullptr, nullptr), -1);
    WriteFile(root / "file", "x");
    EXPECT_EQ(ScanLocalTree(PosixFileSystem(), root / "file", {true, nullptr}, out, nullptr, nullptr), -1);
    EXPECT_TRUE(out.empty());

    const std::string home = root / "home";
    WriteFile(home + "/a/one.txt", "1");
    WriteFile(root / "outside/target.txt", "t", 4242);
    mkdir((home + "/empty").c_str(), 0755);
    // A link to a file is the file; a link back up the path is not entered; a dangling link is skipped.
    ASSERT_EQ(symlink((root / "outside/target.txt").c_str(), (home + "/link.txt").c_str()), 0);
    ASSERT_EQ(symlink(home.c_str(), (home + "/a/loop").c_str()), 0);
    ASSERT_EQ(symlink((root / "nowhere").c_str(), (home + "/dangling.txt").c_str()), 0);
    ASSERT_EQ(symlink((root / "outside").c_str(), (home + "/linked").c_str()), 0);
    std::vector<std::string> unlisted;
    ASSERT_EQ(ScanLocalTree(PosixFileSystem(), home, {true, nullptr}, out, nullptr, &unlisted), 0);
    EXPECT_EQ(Names(out), (std::vector<std::string>{"a/one.txt", "link.txt", "linked/target.txt"}));
    EXPECT_EQ(out[1].lastWriteTime, 4242);

    // A subdirectory that cannot be listed contributes nothing and is remembered.
    if (geteuid() != 0) {
        mkdir((home + "/locked").c_str(), 0000);
        FileList again;
        unlisted.clear();
        ASSERT_EQ(ScanLocalTree(PosixFileSystem(), home, {true, nullptr}, again, nullptr, &unlisted), 0);
        EXPECT_EQ(unlisted, (std::vector<std::string>{"locked"}));
        chmod((home + "/locked").c_str(), 0755);
    }
}

TEST(LocalFs, ListingOrderFoldsAsciiCaseAndSetsTimes) {
    TempDir dir;
    for (const char* n : {"b", "B", "a", "_x", "C", "é"})
        WriteFile(dir / n, n);
    std::vector<LocalDirEntry> entries;
    ASSERT_TRUE(PosixFileSystem().ListDirectory(dir.path(), entries));
    std::vector<std::string> names;
    for (auto& e : entries)
        names.push_back(e.name);
    // Letters are folded to upper case, so "_" (0x5F) sorts after them.
    EXPECT_EQ(names, (std::vector<std::string>{"a", "B", "b", "C", "_x", "é"}));

    ASSERT_TRUE(PosixFileSystem().SetLastWriteTime(dir / "a", 1234567890));
    EXPECT_EQ(PosixFileSystem().GetStatus(dir / "a")->lastWriteTime, 1234567890);
    // Times beyond 32 bits are kept whole.
    ASSERT_TRUE(PosixFileSystem().SetLastWriteTime(dir / "a", 5000000000LL));
    EXPECT_EQ(PosixFileSystem().GetStatus(dir / "a")->lastWriteTime, 5000000000LL);
    EXPECT_FALSE(PosixFileSystem().SetLastWriteTime(dir / "missing", 1));
    EXPECT_FALSE(PosixFileSystem().GetStatus(dir / "missing").has_value());
    EXPECT_EQ(JoinLocalPath("/", "a"), "/a");
    EXPECT_EQ(JoinLocalPath("/data", "a/b"), "/data/a/b");
}

TEST(RunLog, FileAndViewGetTheSameLinesWithCrLf) {
    TempDir dir;
    test::RecordingPort port;
    {
        RunLog log(port);
        ASSERT_TRUE(log.Open(dir.path()));
        log.AppendLogLine("");
        log.AppendLogLine("\t日本語 line");
        log.ShowFileCount(3, 7);
        EXPECT_EQ(log.CounterText(), "3 / 7");
        log.ShowFileCount(0, 0);
        EXPECT_EQ(log.CounterText(), "0 / 0");
        log.ClearCounter();
        EXPECT_EQ(log.CounterText(), "");
    }
    const std::vector<std::string> lines = port.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Welcome to Quill Moor");
    EXPECT_EQ(lines[1], "\tKestrum Version1.0");
    EXPECT_EQ(lines[2].size(), std::string("2026 12/07 09:05").size());
    std::string expected;
    for (const std::string& l : lines)
        expected += l + "\r\n";
    EXPECT_EQ(test::ReadFile(dir / "Kestrum.log"), expected);
    EXPECT_EQ(port.progress(), (std::vector<int>{43, 5}));
    EXPECT_EQ(port.counters(), (std::vector<std::string>{"3 / 7", "0 / 0", ""}));

    // A new start empties the file.
    {
        RunLog log(port);
        ASSERT_TRUE(log.Open(dir.path()));
    }
    EXPECT_EQ(test::ReadFile(dir / "Kestrum.log").find("日本語"), std::string::npos);
}

}  // namespace
}  // namespace kestrum
