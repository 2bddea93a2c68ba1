// The timestamp alignment against a real FTP server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "align/timestamp_alignment.h"
#include "cache/change_cache.h"
#include "engine/sync_run.h"
#include "res/strings.h"
#include "tests/support/run_harness.h"

namespace kestrum::test {
namespace {

// 2024-01-15 10:00:00 UTC.
constexpr int64_t T = 1'705'312'800;

std::string S(int id) {
    return LoadString(id);
}

// The real disk, except that setting the time of `refused` paths fails; a hook runs first.
class PickyFs : public PassThroughFs {
  public:
    bool SetLastWriteTime(const std::string& path, int64_t time) override {
        if (beforeSetTime)
            beforeSetTime(path);
        if (refused.count(path) != 0)
            return false;
        return PassThroughFs::SetLastWriteTime(path, time);
    }

    std::set<std::string> refused;
    std::function<void(const std::string&)> beforeSetTime;
};

// A second boundary crossed during the probe's upload adds a second to the offset:
// starting right after one makes that rare (the exact test repeats when it happens).
void WaitForFreshSecond() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto next = ceil<seconds>(now) + milliseconds(20);
    std::this_thread::sleep_until(next);
}

int Align(RunHarness& h, bool confirmed = true) {
    WaitForFreshSecond();
    if (!StartTimestampAlignment(h.owner, confirmed))
        return -1;
    return h.Wait();
}

size_t IndexOf(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) - lines.begin();
}

TEST(TimestampAlignment, SetsLocalTimesOutsideTheLagToTheServerClock) {
    // lag 3 minutes (D = 180 s), server clock 120 s ahead.
    for (int attempt = 1;; ++attempt) {
        TestFtpServer server(FtpServerOptions{.clockShiftSeconds = 120});
        PickyFs fs;
        RunHarness h(fs);
        const std::string& home = server.home();
        // Local files at T; the server lists `listed` (0: no copy, -1: a directory).
        const struct {
            const char* name;
            int64_t listed, aligned;
        } files[] = {
            {"a.txt", T + 240, T},        // L + O = 10:02:00, within D
            {"b.txt", T + 301, T + 181},  // outside, becomes 10:03:01
            {"c.txt", T + 300, T},        // exactly L + O + D
            {"d.txt", T - 60, T},         // exactly L + O - D
            {"e.txt", T - 61, T - 181},   // one second below the band
            {"f-missing.txt", 0, T},
            {"g-dir.txt", -1, T},
            {"h-locked.txt", T + 1000, T},  // its time cannot be set
            {"sub/i.txt", T + 5000, T + 4880},
            {"z-last.txt", T + 100'000, T + 99'880},  // after the directory and the failure, still handled
        };
        for (const auto& f : files) {
            WriteFile(h.localDir + "/" + f.name, "l", T);
            if (f.listed > 0)
                WriteFile(home + "/" + f.name, "s", f.listed - 120);
            else if (f.listed < 0)
                std::filesystem::create_directories(home + "/" + f.name);
        }
        fs.refused.insert(h.localDir + "/h-locked.txt");
        h.MakeProfile("web", server, ProfileSpec{.subdirs = true});
        ASSERT_EQ(Align(h), 4);  // h-locked.txt could not be stamped
        if (FileMtime(h.localDir + "/z-last.txt") != T + 99'880 && attempt < 5)
            continue;  // the probe measured one second more
        for (const auto& f : files)
            EXPECT_EQ(FileMtime(h.localDir + "/" + f.name), f.aligned) << f.name;
        // Nothing on the server changed, and the probe's file is gone again.
        EXPECT_EQ(FileMtime(home + "/a.txt"), T + 120);
        EXPECT_FALSE(std::filesystem::exists(home + "/dummy.txt"));

        // One line for each file changed (57672) or not changeable (57673), in
        // list order after 42807; none for the others.
        const auto lines = h.lines();
        size_t last = IndexOf(lines, S(42807));
        ASSERT_LT(last, lines.size());
        for (const auto& f : files) {
            const bool locked = f.name == std::string("h-locked.txt");
            const std::string line = FormatString(locked ? 57673 : 57672, {f.name});
            EXPECT_EQ(h.count(line), locked || f.aligned != T ? 1 : 0) << f.name;
            if (h.count(line) != 0) {
                EXPECT_GT(IndexOf(lines, line), last) << f.name;
                last = IndexOf(lines, line);
            }
        }

        // 4 changed of 10 local files; the failure is not counted.
        const auto counters = h.port.counters();
        ASSERT_GE(counters.size(), 2u);
        EXPECT_EQ(counters.front(), "0 / 10");
        EXPECT_EQ(h.count(FormatString(42804, {"4 / 10"})), 1);
        EXPECT_EQ(h.state.flags.runFailed, 0);
        EXPECT_EQ(h.port.messages(), std::vector<std::string>{FormatString(60013, {"1"})});  // h-locked.txt
        EXPECT_EQ(h.port.completions(), 1);
        EXPECT_EQ(h.port.states(), (std::vector<int>{1, 0}));
        EXPECT_EQ(server.countCommands("PASS"), 1);

        // The change cache now holds the aligned times.
        FileList cached;
        ASSERT_EQ(ReadChangeCacheFile(h.programDir + "/CACHE/web", "web", cached), 1);
        ASSERT_EQ(cached.size(), 10u);
        const auto b = std::find_if(cached.begin(), cached.end(), [](const FileEntry& e) { return e.name == "b.txt"; });
        ASSERT_NE(b, cached.end());
        EXPECT_EQ(b->lastWriteTime, T + 181);
        break;
    }
}

TEST(TimestampAlignment, LogsTheHeaderAndTheSpineOfTheRun) {
    TestFtpServer server;
    RunHarness h;
    WriteFiles(h.localDir, {"a.txt", "sub/b.txt"}, T);
    std::filesystem::create_directories(server.home() + "/web");
    // Neither direction checked: the alignment runs all the same.
    h.MakeProfile("web", server,
                  ProfileSpec{.remoteDir = "\\web", .subdirs = false, .download = false, .upload = false});
    h.store.WriteDword("web", "TIME_LAG", 7);
    ASSERT_EQ(Align(h), 0);

    const auto lines = h.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1].rfind(FormatString(57671, {"web"}) + "\t", 0), 0u);
    const std::vector<std::string> spine = {
        FormatString(42811, {server.hostWithPort()}),
        FormatString(60080, {S(60082)}),
        FormatString(60081, {S(60085)}),
        FormatString(42812, {h.localDir}),
        FormatString(42813, {"\\web"}),
        FormatString(42814, {"UNCHECKED"}),
        FormatString(42815, {"UNCHECKED"}),
        FormatString(42816, {"UNCHECKED"}),
        FormatString(57694, {"7"}),
        FormatString(42803, {h.localDir}),
        "\ta.txt",
        S(57685),
        FormatString(57686, {server.hostWithPort()}),
        FormatString(42805, {server.hostWithPort()}),
        FormatString(42806, {"/web"}),
        S(42807),
        FormatString(42804, {"0 / 1"}),
    };
    ASSERT_EQ(lines.size(), 2 + spine.size());
    for (size_t i = 0; i < spine.size(); ++i)
        EXPECT_EQ(lines[2 + i], spine[i]) << i;
    EXPECT_EQ(h.state.settings.remoteDir, "/web");
    const auto progress = h.port.progress();
    EXPECT_NE(std::find(progress.begin(), progress.end(), 2), progress.end());
    EXPECT_NE(std::find(progress.begin(), progress.end(), 95), progress.end());
    EXPECT_EQ(progress.back(), 0);
}

TEST(TimestampAlignment, EmptyLocalTreeCountsZeroOfZero) {
    TestFtpServer server;
    RunHarness h;
    WriteFile(server.home() + "/a.txt", "s", T);
    h.MakeProfile("web", server);
    WriteFile(h.programDir + "/CACHE/web", "old content");
    ASSERT_EQ(Align(h), 0);
    EXPECT_EQ(h.port.counters().front(), "0 / 0");
    EXPECT_EQ(h.count(FormatString(42804, {"0 / 0"})), 1);
    EXPECT_EQ(ReadFile(h.programDir + "/CACHE/web").size(), 60u);
}

TEST(TimestampAlignment, RefusedConfirmationChangesNothing) {
    TestFtpServer server;
    RunHarness h;
    WriteFile(h.localDir + "/a.txt", "a", T);
    WriteFile(server.home() + "/a.txt", "s", T + 100'000);
    h.MakeProfile("web", server);
    h.port.setAnswerOk(false);

    EXPECT_FALSE(StartTimestampAlignment(h.owner, false));
    EXPECT_EQ(h.port.questions(), std::vector<std::string>{S(57675)});
    EXPECT_TRUE(h.port.lines().empty());
    EXPECT_TRUE(h.port.states().empty());
    EXPECT_EQ(h.state.flags.running, 0);
    EXPECT_FALSE(h.owner.HasWorker());
    EXPECT_EQ(h.port.completions(), 0);
    EXPECT_EQ(server.connectionCount(), 0);
    EXPECT_EQ(FileMtime(h.localDir + "/a.txt"), T);
    EXPECT_FALSE(std::filesystem::exists(h.programDir + "/CACHE"));

    // Answered with OK, the same command runs.
    h.port.setAnswerOk(true);
    WaitForFreshSecond();
    ASSERT_TRUE(StartTimestampAlignment(h.owner, false));
    EXPECT_EQ(h.Wait(), 0);
    EXPECT_EQ(h.port.questions().size(), 2u);
    EXPECT_NE(FileMtime(h.localDir + "/a.txt"), T);
}

TEST(TimestampAlignment, StopsBeforeTheWorker) {
    // An unknown profile or a missing local home: no connection, completion run directly.
    for (const bool unknownProfile : {true, false}) {
        TestFtpServer server;
        RunHarness h;
        h.MakeProfile("web", server, unknownProfile ? ProfileSpec{} : ProfileSpec{.localDir = h.root / "missing"});
        if (unknownProfile)
            h.state.settings.profileName = "nope";
        const std::string text = S(unknownProfile ? 42794 : 42799);
        EXPECT_EQ(Align(h), 1);
        EXPECT_EQ(h.port.messages(), (std::vector<std::string>{text, S(42829)}));
        EXPECT_EQ(h.count(text), 1);
        EXPECT_EQ(h.count(S(42817)), 1);
        EXPECT_EQ(h.port.completions(), 0);
        EXPECT_EQ(h.port.states(), (std::vector<int>{1, 0}));
        EXPECT_EQ(server.connectionCount(), 0);
    }
    // Cancelled while the password prompt was open.
    {
        struct CancellingPort : RecordingPort {
            std::atomic<int>* flag = nullptr;
            std::optional<std::string> AskPassword(std::string_view prompt, size_t maxBytes) override {
                *flag = 1;
                return RecordingPort::AskPassword(prompt, maxBytes);
            }
        };
        TestFtpServer server;
        RunHarness h;
        CancellingPort port;
        port.setPassword("secret");
        RunOwner owner(port, h.store, *h.ftp);
        port.flag = &owner.State().flags.cancelRequested;
        h.MakeProfile("web", server, ProfileSpec{.savePassword = false});
        owner.State().settings.profileName = "web";
        owner.State().settings.programDir = h.programDir;
        ASSERT_TRUE(StartTimestampAlignment(owner, true));
        EXPECT_FALSE(owner.HasWorker());
        EXPECT_EQ(port.messages(), std::vector<std::string>{S(42800)});
        const auto lines = port.lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), S(42800)), 1);
        EXPECT_EQ(owner.Outcome(), RunOutcome::StoppedEarly);
        EXPECT_EQ(port.states(), (std::vector<int>{1, 0}));
        EXPECT_EQ(server.connectionCount(), 0);
    }
}

TEST(TimestampAlignment, StopsOnTheWorker) {
    // No server home (42818, not an error), or the login refused (42820, the error text).
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "login refused" : "no home");
        TestFtpServer server;
        RunHarness h;
        WriteFile(h.localDir + "/a.txt", "a", T);
        h.MakeProfile("web", ProfileSpec{.host = server.hostWithPort(),
                                         .password = refused ? "wrong" : "secret",
                                         .remoteDir = refused ? "" : "nowhere"});
        EXPECT_EQ(Align(h), refused ? 1 : 3);
        const auto lines = h.lines();
        const std::string stop = S(refused ? 42820 : 42818);
        EXPECT_EQ(h.count(stop), 1);
        if (refused) {
            ASSERT_LT(IndexOf(lines, stop) + 1, lines.size());
            EXPECT_FALSE(lines[IndexOf(lines, stop) + 1].empty());
            EXPECT_EQ(h.count(FormatString(42805, {server.hostWithPort()})), 0);
        }
        EXPECT_EQ(h.count(FormatString(42806, {"nowhere"})), 0);
        EXPECT_EQ(h.port.messages(), refused ? std::vector<std::string>{S(42829)} : std::vector<std::string>{});
        EXPECT_EQ(h.port.completions(), 1);
        EXPECT_EQ(FileMtime(h.localDir + "/a.txt"), T);
    }
    // Cancelled after the first file: the abort path runs once, the rest keep their times.
    {
        TestFtpServer server;
        PickyFs fs;
        RunHarness h(fs);
        for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
            WriteFile(h.localDir + "/" + name, "l", T);
            WriteFile(server.home() + "/" + name, "s", T + 100'000);
        }
        fs.beforeSetTime = [&](const std::string&) { h.state.flags.cancelRequested = 1; };
        h.MakeProfile("web", server);
        EXPECT_EQ(Align(h), 3);
        EXPECT_NE(FileMtime(h.localDir + "/a.txt"), T);
        EXPECT_EQ(FileMtime(h.localDir + "/b.txt"), T);
        EXPECT_EQ(FileMtime(h.localDir + "/c.txt"), T);
        EXPECT_EQ(h.count(S(42800)), 1);
        EXPECT_EQ(h.count(FormatString(42804, {"1 / 3"})), 1);
        EXPECT_EQ(h.port.completions(), 1);
        EXPECT_EQ(h.state.flags.runFailed, 0);
        // The change cache claims only the file it got to.
        FileList cached;
        ASSERT_EQ(ReadChangeCacheFile(h.programDir + "/CACHE/web", "web", cached), 1);
        ASSERT_EQ(cached.size(), 1u);
        EXPECT_EQ(cached[0].name, "a.txt");
        EXPECT_EQ(cached[0].lastWriteTime, FileMtime(h.localDir + "/a.txt"));
    }
}

TEST(TimestampAlignment, AnUnknownServerCopyIsReportedAndLeftAlone) {
    TestFtpServer server;
    RunHarness h;
    // A line break cannot be sent: the lookup fails (not "not found"), and the log says so.
    WriteFiles(h.localDir, {"bad\nname.txt", "good.txt"}, T);
    WriteFile(server.home() + "/good.txt", "s", T + 100'000);
    h.MakeProfile("web", server);
    ASSERT_EQ(Align(h), 4);  // the lookup of bad\nname.txt failed
    EXPECT_EQ(h.count(FormatString(60500, {"bad?name.txt"})), 1);
    EXPECT_EQ(FileMtime(h.localDir + "/bad\nname.txt"), T);
    EXPECT_NE(FileMtime(h.localDir + "/good.txt"), T);
    EXPECT_EQ(h.count(FormatString(42804, {"1 / 2"})), 1);
}

TEST(TimestampAlignment, WorksWithAListOnlyServer) {
    // LIST shows minutes for recent files only, so the times are recent ones.
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const int64_t recent = now - now % 60 - 2 * 86'400;
    TestFtpServer server(FtpServerOptions{.mlsd = false});
    RunHarness h;
    auto both = [&](const std::string& name, int64_t local, int64_t listed) {
        WriteFile(h.localDir + "/" + name, "l", local);
        WriteFile(server.home() + "/" + name, "s", listed);
    };
    both("near.txt", recent, recent + 60);
    both("sub/far.txt", recent, recent + 86'400);
    std::filesystem::create_directories(server.home() + "/dir.txt");
    WriteFile(h.localDir + "/dir.txt", "l", recent);
    // Old files are listed by their day only: their exact time comes from MDTM.
    both("same.txt", T + 37, T + 37);
    both("older.txt", T - 5 * 86'400, T + 37);
    h.MakeProfile("web", server, ProfileSpec{.subdirs = true});
    ASSERT_EQ(Align(h), 0);
    EXPECT_EQ(FileMtime(h.localDir + "/near.txt"), recent);
    EXPECT_EQ(FileMtime(h.localDir + "/dir.txt"), recent);
    EXPECT_EQ(FileMtime(h.localDir + "/same.txt"), T + 37);
    EXPECT_NEAR(static_cast<double>(FileMtime(h.localDir + "/older.txt")), static_cast<double>(T + 37), 3.0);
    // The probe measures in whole minutes too.
    EXPECT_NEAR(static_cast<double>(FileMtime(h.localDir + "/sub/far.txt")), static_cast<double>(recent + 86'400),
                60.0);
    EXPECT_EQ(h.count(FormatString(57672, {"sub/far.txt"})), 1);
    EXPECT_EQ(h.count(FormatString(42804, {"2 / 5"})), 1);
}

}  // namespace
}  // namespace kestrum::test
