// Runs whose transfer phase uses several connections.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/engine/phase_session.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Fmt;
using test::FtpServerOptions;
using test::ProfileSpec;
using test::ReadFile;
using test::RunHarness;
using test::TestFtpServer;
using test::WriteFile;

// "dK/fN.bin" for n files in dirs directories.
std::vector<std::string> Names(int n, int dirs) {
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i)
        names.push_back("d" + std::to_string(i % dirs) + "/f" + std::to_string(i) + ".bin");
    return names;
}

// Server files newer than their local copies, which hold "old <name>".
void NewerOnServer(const TestFtpServer& server, const RunHarness& h, const std::vector<std::string>& names,
                   const std::string& content) {
    const int64_t old = static_cast<int64_t>(std::time(nullptr)) - 86400;
    for (const std::string& name : names) {
        WriteFile(server.home() + "/" + name, content + name);
        WriteFile(h.localDir + "/" + name, "old " + name, old);
    }
}

// Refused (said once) or hanging extra logins: the others do the work, nobody waits.
TEST(ParallelTransfer, ExtraLoginsRefusedOrHangingLeaveTheWorkToTheOthers) {
    const struct {
        const char* what;
        int maxLogins;
        bool silent;
        int refusalLines;
    } cases[] = {{"refused beyond 2", 2, false, 1}, {"unanswered beyond 1", 1, true, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FtpServerOptions options;
        options.maxLogins = c.maxLogins;
        options.silentBeyondMaxLogins = c.silent;
        TestFtpServer server(options);
        RunHarness h;
        const std::vector<std::string> names = Names(40, 4);
        for (const std::string& name : names)
            WriteFile(h.localDir + "/" + name, name);
        h.MakeProfile("p", server);
        h.state.options.passiveOverride = true;

        const Clock::time_point start = Clock::now();
        EXPECT_EQ(h.Run(), 0);
        EXPECT_LT(Clock::now() - start, 20s);
        for (const std::string& name : names)
            EXPECT_EQ(ReadFile(server.home() + "/" + name), name) << name;
        EXPECT_EQ(server.countCommands("PASS"), 4);
        EXPECT_EQ(h.count(Fmt(60070)), c.refusalLines);
        EXPECT_EQ(h.count(Fmt(42804, {"40 / 40"})), 1);
    }
}

// A server farm whose extra sessions reach a back end with another clock:
// no local file takes that clock's time; the first connection copies the rest.
TEST(ParallelTransfer, AConnectionWithAnotherClockStampsNothing) {
    FtpServerOptions options;
    options.extraClockShiftSeconds = 7200;
    TestFtpServer server(options);
    RunHarness h;
    const std::vector<std::string> names = Names(40, 4);
    for (const std::string& name : names)
        WriteFile(h.localDir + "/" + name, name, std::time(nullptr) - 86400);
    h.MakeProfile("p", server);
    EXPECT_EQ(h.Run(), 0);
    const long long latest = std::time(nullptr) + 60;
    for (const std::string& name : names) {
        EXPECT_EQ(ReadFile(server.home() + "/" + name), name) << name;
        EXPECT_LT(test::FileMtime(h.localDir + "/" + name), latest) << name;
    }
    EXPECT_EQ(h.count(Fmt(42804, {"40 / 40"})), 1);
    EXPECT_GE(server.countCommands("PASS"), 2);
}

TEST(ParallelTransfer, ACancelWithFourCopiesUnderWayEndsEveryConnection) {
    FtpServerOptions options;
    options.transferBytesPerSecond = 16 * 1024;
    TestFtpServer server(options);
    RunHarness h;
    const std::vector<std::string> names = Names(16, 4);
    const std::string whole = std::string(256 * 1024, 'n');
    NewerOnServer(server, h, names, whole);
    h.MakeProfile("p", server, ProfileSpec{.download = true, .upload = false});
    h.state.options.passiveOverride = true;

    Clock::time_point cancelledAt;
    h.Start();
    const RunOutcome outcome = h.owner.Await([&] {
        if (h.state.flags.cancelRequested == 0 && server.countCommands("RETR") >= 4) {
            cancelledAt = Clock::now();
            h.owner.Cancel();
        }
    });
    ASSERT_EQ(h.state.flags.cancelRequested, 1);
    EXPECT_LT(Clock::now() - cancelledAt, 5s);
    EXPECT_EQ(ExitStatusOf(outcome), 3);
    EXPECT_EQ(h.count(Fmt(42800)), 1);
    EXPECT_EQ(server.countCommands("PASS"), 4);
    EXPECT_EQ(test::TempNames(h.localDir), std::vector<std::string>{});
    // Each file is its old copy or the whole new one, never a part.
    for (const std::string& name : names) {
        const std::string now = ReadFile(h.localDir + "/" + name);
        EXPECT_TRUE(now == "old " + name || now == whole + name) << name;
    }
}

TEST(ParallelTransfer, ADownloadBrokenOffOnOneConnectionFailsAloneAndKeepsTheOldCopy) {
    FtpServerOptions options;
    options.breakOff = "f3.bin";
    TestFtpServer server(options);
    RunHarness h;
    const std::vector<std::string> names = Names(24, 3);
    NewerOnServer(server, h, names, "new ");
    h.MakeProfile("p", server, ProfileSpec{.download = true, .upload = false});
    h.state.options.passiveOverride = true;

    EXPECT_EQ(h.Run(), 4);
    EXPECT_EQ(h.state.flags.runFailed, 0);
    EXPECT_EQ(h.count(Fmt(57677, {"d0/f3.bin"})), 1);
    EXPECT_EQ(ReadFile(h.localDir + "/d0/f3.bin"), "old d0/f3.bin");
    for (const std::string& name : names) {
        if (name != "d0/f3.bin") {
            EXPECT_EQ(ReadFile(h.localDir + "/" + name), "new " + name) << name;
        }
    }
    EXPECT_EQ(test::TempNames(h.localDir), std::vector<std::string>{});
    EXPECT_EQ(h.count(Fmt(42804, {"23 / 24"})), 1);
}

}  // namespace
}  // namespace kestrum
