// Whole runs through the driver.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "engine/run_log.h"
#include "tests/engine/phase_session.h"

namespace kestrum {
namespace {

using test::Fmt;
using test::FtpServerOptions;
using test::ProfileSpec;
using test::ReadFile;
using test::RunHarness;
using test::TestFtpServer;
using test::WriteFile;

// How many lines begin with the text of 42810 ("\t%s を更新します。") around a name.
int Planned(const RunHarness& h) {
    const std::string tail = Fmt(42810, {""}).substr(1);
    int n = 0;
    for (const std::string& line : h.lines()) {
        n += line.size() > tail.size() && line[0] == '\t' &&
             line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    }
    return n;
}

struct Detail {
    int transferBoth = 0;
    int mirrorFiles = 0;
    int mirrorDirs = 0;
    std::string ascii = "TXT";
};

void Profile(RunHarness& h, const TestFtpServer& server, bool upload, bool download, Detail d = {}) {
    h.MakeProfile("p", server, ProfileSpec{.subdirs = true, .download = download, .upload = upload});
    h.store.SaveDetailSettings("p", {.timeLag = 3,
                                     .asciiTransfer = d.ascii,
                                     .transferBoth = d.transferBoth != 0,
                                     .mirrorFiles = d.mirrorFiles != 0,
                                     .mirrorDirs = d.mirrorDirs != 0});
}

class SyncRuns : public test::ListingTest {};

// With the server's clock five minutes ahead, copies are stamped so the next run copies nothing.
TEST_P(SyncRuns, ASecondRunCopiesNothing) {
    FtpServerOptions o = Options();
    o.clockShiftSeconds = 300;
    TestFtpServer server(o);
    RunHarness h;
    const int64_t old = static_cast<int64_t>(std::time(nullptr)) - 86400;
    test::WriteFiles(h.localDir, {"a.txt", "sub/b.txt", "sub/deep/c.bin"}, old);

    Profile(h, server, true, false);
    ASSERT_EQ(h.Run(), 0);
    EXPECT_EQ(Planned(h), 3);
    EXPECT_EQ(h.count(Fmt(42804, {"3 / 3"})), 1);
    EXPECT_EQ(ReadFile(server.home() + "/sub/deep/c.bin"), "sub/deep/c.bin");

    // Then a newer server copy comes down once, and the sides agree again.
    const struct {
        bool upload, download, serverEdit;
        int planned;
    } runs[] = {{true, false, false, 0},
                {true, true, false, 0},
                {false, true, false, 0},
                {true, true, true, 1},
                {true, true, false, 0}};
    for (const auto& r : runs) {
        SCOPED_TRACE(testing::Message() << r.upload << r.download << r.serverEdit);
        if (r.serverEdit)
            WriteFile(server.home() + "/sub/b.txt", "server edit\n", static_cast<int64_t>(std::time(nullptr)) + 600);
        RunHarness again;
        again.localDir = h.localDir;
        Profile(again, server, r.upload, r.download);
        ASSERT_EQ(again.Run(), 0);
        EXPECT_EQ(Planned(again), r.planned) << testing::PrintToString(again.lines());
        EXPECT_EQ(again.count(Fmt(42804, {r.planned ? "1 / 1" : "0 / 0"})), 1);
    }
    EXPECT_EQ(ReadFile(h.localDir + "/sub/b.txt"), "server edit\n");
}

TEST_P(SyncRuns, MirroringRunDeletesWhatTheLocalSideNoLongerHas) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    test::WriteFiles(server.home(), {"alpha/a.txt", "Beta/b.txt", "gamma/g.txt", "old.txt", "keep.txt"}, t);
    RunHarness h;
    test::WriteFiles(h.localDir, {"keep.txt"}, t);
    // Removing directories needs "only files on both sides" as well.
    Profile(h, server, true, false, Detail{.transferBoth = 1, .mirrorFiles = 1, .mirrorDirs = 1});
    ASSERT_EQ(h.Run(), 0);
    EXPECT_EQ(h.count(Fmt(57704, {"BETA"})), 1);
    EXPECT_TRUE(test::Exists(server.home() + "/keep.txt"));
    for (const char* gone : {"alpha", "Beta", "gamma", "old.txt"}) {
        EXPECT_FALSE(test::Exists(server.home() + "/" + gone)) << gone;
    }
}

TEST_P(SyncRuns, HostileServerNamesNeverReachTheLocalDisk) {
    TestFtpServer server(Options());
    WriteFile(server.home() + "/..\\..\\evil.txt", "evil");
    WriteFile(server.home() + "/sub/a\\b.txt", "evil too");
    WriteFile(server.home() + "/fine.txt", "fine");
    RunHarness h;
    Profile(h, server, false, true);
    ASSERT_EQ(h.Run(), 0);
    EXPECT_EQ(h.count(Fmt(60000, {"..\\..\\evil.txt"})), 1);
    EXPECT_EQ(h.count(Fmt(60000, {"sub/a\\b.txt"})), 1);
    EXPECT_EQ(ReadFile(h.localDir + "/fine.txt"), "fine");
    EXPECT_FALSE(test::Exists(h.root / "evil.txt"));
    EXPECT_FALSE(test::Exists(h.localDir + "/sub/a"));
    EXPECT_FALSE(test::Exists(h.localDir + "/sub/a\\b.txt"));
}

TEST_P(SyncRuns, AnUnknownServerDirectoryIsNotOverwrittenByABothDirectionsRun) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    WriteFile(server.home() + "/bad\xff/report.txt", "newer server copy", t);
    RunHarness h;
    const std::string shown = "bad?";  // the name as the server shows it
    WriteFile(h.localDir + "/" + shown + "/report.txt", "older local copy", t - 86400);
    Profile(h, server, true, true);
    ASSERT_EQ(h.Run(), 4);  // a listing failed
    EXPECT_EQ(h.count(Fmt(60001, {shown})), 1) << testing::PrintToString(h.lines());
    EXPECT_EQ(h.count(Fmt(60003, {shown, shown + "/report.txt"})), 1);
    EXPECT_EQ(Planned(h), 0);
    EXPECT_EQ(ReadFile(server.home() + "/bad\xff/report.txt"), "newer server copy");
}

// A control byte in a name skips it with a printable line; the run goes on.
TEST_P(SyncRuns, ControlCharactersInNamesAreSkippedAndTheRunGoesOn) {
    TestFtpServer server(Options());
    const int64_t t = test::RecentMinute();
    WriteFile(server.home() + "/srv\tname.txt", "s", t);
    WriteFile(server.home() + "/down.txt", "d", t);
    RunHarness h;
    WriteFile(h.localDir + "/loc\x1b[2Jname.txt", "l", t);
    WriteFile(h.localDir + "/up.txt", "u", t);
    Profile(h, server, true, true);
    EXPECT_EQ(h.Run(), 0);
    EXPECT_EQ(h.count(Fmt(60000, {"srv?name.txt"})), 1) << testing::PrintToString(h.lines());
    EXPECT_EQ(h.count(Fmt(60014, {"loc?[2Jname.txt"})), 1);
    EXPECT_EQ(ReadFile(server.home() + "/up.txt"), "u");
    EXPECT_EQ(ReadFile(h.localDir + "/down.txt"), "d");
    for (const std::string& line : h.lines())
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
}

// Letter-case variants: never copied onto, merged with or deleted for each other.
TEST_P(SyncRuns, LetterCaseVariantsAreNeverTakenForEachOther) {
    const struct {
        const char* what;
        bool upload, download, mirror, localNewer;
        const char* extraLocal;  // a second local variant, or nullptr
        const char* serverData;  // expected contents of the server's two names
        const char* serverdata;
        const char* localData;  // expected local Data.bin
        int status;
    } cases[] = {
        {"both ways", true, true, false, true, nullptr, "L1", "S2", "L1", 4},
        {"download only", false, true, false, false, nullptr, "S1", "S2", "S1", 4},
        {"mirroring", true, false, true, true, nullptr, "L1", "S2", "L1", 4},
        {"upload only", true, false, false, true, "DATA.BIN", "L1", "S2", "L1", 4},
    };
    for (const auto& c : cases) {
        TestFtpServer server(Options());
        const int64_t t = test::RecentMinute();
        const int64_t serverTime = c.localNewer ? t - 3600 : t;
        const int64_t localTime = c.localNewer ? t : t - 3600;
        WriteFile(server.home() + "/Data.bin", "S1", serverTime);
        WriteFile(server.home() + "/data.bin", "S2", serverTime);
        RunHarness h;
        WriteFile(h.localDir + "/Data.bin", "L1", localTime);
        if (c.extraLocal)
            WriteFile(h.localDir + "/" + c.extraLocal, "L2", localTime);
        Profile(h, server, c.upload, c.download, {.mirrorFiles = c.mirror});
        EXPECT_EQ(h.Run(), c.status) << c.what;
        const std::string lines = testing::PrintToString(h.lines());
        EXPECT_EQ(ReadFile(server.home() + "/Data.bin"), c.serverData) << c.what << lines;
        EXPECT_EQ(ReadFile(server.home() + "/data.bin"), c.serverdata) << c.what << lines;
        EXPECT_FALSE(test::Exists(server.home() + "/DATA.BIN")) << c.what;
        EXPECT_EQ(ReadFile(h.localDir + "/Data.bin"), c.localData) << c.what;
        EXPECT_FALSE(test::Exists(h.localDir + "/data.bin")) << c.what;
        EXPECT_EQ(h.count(Fmt(60035, {c.extraLocal ? c.extraLocal : "data.bin"})), 1) << c.what << lines;
    }
}

// A listed directory that refuses its listing is unknown, not missing.
TEST_P(SyncRuns, AnExistingDirectoryThatRefusesItsListingIsUnknownNotMissing) {
    FtpServerOptions o = Options();
    o.unlistable = "locked";
    TestFtpServer server(o);
    const int64_t t = test::RecentMinute();
    WriteFile(server.home() + "/locked/page.html", "newer server copy", t);
    RunHarness h;
    WriteFile(h.localDir + "/locked/page.html", "older local copy", t - 86400);
    Profile(h, server, true, false);
    EXPECT_EQ(h.Run(), 4);
    EXPECT_EQ(h.count(Fmt(60002, {"locked/page.html", "locked/page.html"})), 1) << testing::PrintToString(h.lines());
    EXPECT_EQ(ReadFile(server.home() + "/locked/page.html"), "newer server copy");
}

// An unreadable listed time: never uploaded over nor used to stamp; one line each.
TEST(SyncRunsTimes, AnImpossibleListedTimeIsUnknown) {
    FtpServerOptions o;
    o.garbledTime = "page.html";
    TestFtpServer server(o);
    const int64_t t = test::RecentMinute();
    WriteFile(server.home() + "/page.html", "server copy", t - 86400);
    WriteFile(server.home() + "/sub/page.html", "server copy 2", t);
    RunHarness h;
    WriteFile(h.localDir + "/page.html", "newer local copy", t);
    Profile(h, server, true, true);
    EXPECT_EQ(h.Run(), 4);
    EXPECT_EQ(h.count(Fmt(60015, {"page.html"})), 1) << testing::PrintToString(h.lines());
    EXPECT_EQ(ReadFile(server.home() + "/page.html"), "server copy");
    // Missing locally, it is copied down but keeps the local clock's time.
    EXPECT_EQ(ReadFile(h.localDir + "/sub/page.html"), "server copy 2");
    EXPECT_EQ(h.count(Fmt(60016, {"sub/page.html"})), 1);
    EXPECT_GT(test::FileMtime(h.localDir + "/sub/page.html"), t - 3600);
}

// Refused lookups and deletions: the probe never overwrites, multiplies or downloads its file.
TEST(SyncRunsRefused, TheClockProbeNeverOverwritesNorMultiplies) {
    FtpServerOptions o;
    o.mlsd = false;
    o.unlistable = "dummy.txt";
    o.refuse = "DELE";
    TestFtpServer server(o);
    WriteFile(server.home() + "/dummy.txt", "the user's own file");
    RunHarness h;
    WriteFile(h.programDir + "/dummy.txt", "not for the server");
    Profile(h, server, false, true);
    for (const int run : {1, 2}) {
        EXPECT_EQ(h.Run(), 0) << run << testing::PrintToString(h.lines());
        // Said once, by the run that left it (the lines of both runs are kept).
        EXPECT_EQ(h.count(Fmt(60036, {"dummy1.txt"})), 1) << run;
        EXPECT_EQ(ReadFile(server.home() + "/dummy.txt"), "the user's own file");
        EXPECT_EQ(ReadFile(server.home() + "/dummy1.txt"), "");
        EXPECT_FALSE(test::Exists(server.home() + "/dummy2.txt"));
        EXPECT_FALSE(test::Exists(h.localDir + "/dummy1.txt"));
        EXPECT_EQ(ReadFile(h.programDir + "/dummy.txt"), "not for the server");
    }
}

// A server that refuses to list the home directory: the run did not do its job.
TEST(SyncRunsRefused, ARefusedListingOfTheHomeIsAFailedItem) {
    FtpServerOptions o;
    o.refuse = "MLSD";
    TestFtpServer server(o);
    WriteFile(server.home() + "/a.txt", "a");
    RunHarness h;
    Profile(h, server, false, true);
    EXPECT_EQ(h.Run(), 4);
    EXPECT_EQ(h.count(Fmt(60001, {"."})), 1);
    EXPECT_FALSE(test::Exists(h.localDir + "/a.txt"));
}

TEST_P(SyncRuns, AClockOffsetBeyondAnyTimeZoneStopsTheRun) {
    FtpServerOptions o = Options();
    o.clockShiftSeconds = -30L * 86400;
    TestFtpServer server(o);
    RunHarness h;
    WriteFile(h.localDir + "/fresh.txt", "fresh local copy");
    WriteFile(server.home() + "/fresh.txt", "old server copy", test::RecentMinute() + 600);
    Profile(h, server, true, true);
    EXPECT_EQ(h.Run(), 1);
    EXPECT_EQ(h.count(Fmt(42817, {})), 1);
    EXPECT_EQ(Planned(h), 0);
    EXPECT_EQ(ReadFile(h.localDir + "/fresh.txt"), "fresh local copy");
    EXPECT_EQ(ReadFile(server.home() + "/fresh.txt"), "old server copy");
}

// An unreadable LIST line makes its directory unknown to every kind of run.
TEST(SyncRunsListOnly, AnUnreadListingLineMakesItsDirectoryUnknown) {
    const std::string odd = "-rw-r--r-- 1 user user 17 spring \x1b[1m2024\x1b[0m odd.txt";
    const std::string quoted = "-rw-r--r-- 1 user user 17 spring ?[1m2024?[0m odd.txt";
    const struct {
        const char* label;
        bool download;
        Detail detail;
    } cases[] = {
        {"upload only", false, {}},
        {"mirroring", false, {.transferBoth = 1, .mirrorFiles = 1, .mirrorDirs = 1}},
        {"both directions", true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        FtpServerOptions o;
        o.mlsd = false;
        o.listLines = {{"odd.txt", odd}};
        TestFtpServer server(o);
        const int64_t t = test::RecentMinute();
        WriteFile(server.home() + "/sub/odd.txt", "newer server copy", t);
        WriteFile(server.home() + "/sub/gone.txt", "only on the server", t);
        RunHarness h;
        WriteFile(h.localDir + "/sub/odd.txt", "older local copy", t - 86400);
        WriteFile(h.localDir + "/sub/new.txt", "only here", t);
        Profile(h, server, true, c.download, c.detail);
        EXPECT_EQ(h.Run(), 4);
        EXPECT_EQ(h.count(Fmt(60025, {"sub", quoted})), 1) << testing::PrintToString(h.lines());
        for (const std::string& line : h.lines())
            EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
        EXPECT_EQ(ReadFile(server.home() + "/sub/odd.txt"), "newer server copy");
        EXPECT_FALSE(test::Exists(server.home() + "/sub/new.txt"));
        EXPECT_TRUE(test::Exists(server.home() + "/sub/gone.txt"));
        if (c.detail.mirrorFiles) {
            EXPECT_EQ(h.count(Fmt(60026, {"sub", "sub/gone.txt"})), 1);
        }
        if (c.download) {
            EXPECT_EQ(ReadFile(h.localDir + "/sub/gone.txt"), "only on the server");
        }
    }
}

// Where the hour decides, a file LIST shows by its day is compared and stamped by MDTM.
TEST(SyncRunsListOnly, AFileListedByItsDayIsComparedAndStampedByItsExactTime) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const int64_t t = (now - 400 * 86400) / 86400 * 86400 + 14 * 3600 + 35 * 60 + 10;  // 14:35:10 UTC
    const struct {
        const char* label;
        bool upload, download;
        Detail detail;
        long mdtmShift;
        const char* refuse;
        int64_t localTime;
        bool copied;
        int mdtmCommands;  // -1: not counted
    } cases[] = {
        {"upload only", true, false, {}, 0, "", t, false, 2},
        {"mirroring", true, false, {.mirrorFiles = 1}, 0, "", t, false, 2},
        {"both directions", true, true, {}, 0, "", t, false, 2},
        {"download, stamped to the second", false, true, {}, 0, "", t - 10 * 86400, true, 2},
        {"MDTM in UTC, LIST nine hours ahead", true, false, {}, -9 * 3600, "", t, false, 2},
        {"MDTM refused", true, false, {}, 0, "MDTM", t, true, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        FtpServerOptions o;
        o.mlsd = false;
        o.mdtmShiftSeconds = c.mdtmShift;
        o.refuse = c.refuse;
        TestFtpServer server(o);
        const int64_t recent = test::RecentMinute();
        WriteFile(server.home() + "/old.txt", "server copy", t);
        WriteFile(server.home() + "/recent.txt", "r", recent);
        RunHarness h;
        WriteFile(h.localDir + "/old.txt", "local copy", c.localTime);
        WriteFile(h.localDir + "/recent.txt", "r", recent);
        Profile(h, server, c.upload, c.download, c.detail);
        EXPECT_EQ(h.Run(), 0) << testing::PrintToString(h.lines());
        EXPECT_EQ(Planned(h), c.copied ? 1 : 0);
        if (c.mdtmCommands >= 0) {
            EXPECT_EQ(server.countCommands("MDTM"), c.mdtmCommands);  // the probe's and old.txt's
        }
        if (c.copied && c.download) {
            EXPECT_EQ(ReadFile(h.localDir + "/old.txt"), "server copy");
            EXPECT_LE(test::FileMtime(h.localDir + "/old.txt"), t);
            EXPECT_GE(test::FileMtime(h.localDir + "/old.txt"), t - 3);
        } else if (!c.copied) {
            EXPECT_EQ(ReadFile(server.home() + "/old.txt"), "server copy");
            EXPECT_EQ(test::FileMtime(h.localDir + "/old.txt"), t);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Listing, SyncRuns, ::testing::Bool(), test::ListingName);

TEST(SyncCancel, DuringPlanningOrTransferTheRunAbortsOnce) {
    TestFtpServer server;
    struct Case {
        const char* what;
        bool upload, download;
        Detail detail;
        std::string trigger;
        const char* notCopied;
    };
    const std::vector<Case> cases = {
        {"upload-only planning", true, false, {}, Fmt(42810, {"a.txt"}), "a.txt"},
        {"mirroring planning", true, false, {.mirrorFiles = 1}, Fmt(42810, {"a.txt"}), "a.txt"},
        {"both-directions planning", true, true, {}, Fmt(42810, {"a.txt"}), "a.txt"},
        {"transfer", true, false, {}, Fmt(57678, {"a.txt"}), "b.txt"},
    };
    for (const Case& c : cases) {
        for (const char* n : {"a.txt", "b.txt", "c.txt"})
            std::remove((server.home() + "/" + n).c_str());
        const int quitBefore = server.countCommands("QUIT");
        // A run on the test thread, its log setting the cancel flag.
        RunHarness h;
        Profile(h, server, c.upload, c.download, c.detail);
        test::CancelAt run(h, c.trigger);
        for (const char* n : {"a.txt", "b.txt", "c.txt"})
            WriteFile(h.localDir + "/" + n, n);
        ExecuteRun(run.ctx);
        EXPECT_EQ(h.owner.Outcome(), RunOutcome::StoppedEarly) << c.what;
        const auto lines = run.port.lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), Fmt(42800)), 1) << c.what;
        EXPECT_EQ(run.port.completions(), 1) << c.what;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), Fmt(57688)), 0) << c.what;
        EXPECT_EQ(h.state.flags.runFailed, 0) << c.what;
        EXPECT_FALSE(test::Exists(server.home() + "/" + c.notCopied)) << c.what;
        // The connection was closed once (QUIT is sent, its reply not waited for).
        for (int i = 0; i < 500 && server.countCommands("QUIT") == quitBefore; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(server.countCommands("QUIT") - quitBefore, 1) << c.what;
    }
}

}  // namespace
}  // namespace kestrum
