// Cancel within seconds whatever the server does; leftovers of dead runs removed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>

#include "tests/engine/phase_session.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Exists;
using test::Fmt;
using test::FtpServerOptions;
using test::ProfileSpec;
using test::ReadFile;
using test::RunHarness;
using test::TempNames;
using test::TestFtpServer;
using test::WriteFile;

bool HasBytes(const std::string& path) {
    std::error_code ec;
    return std::filesystem::file_size(path, ec) > 0 && !ec;
}

// Whether a file directly in dir holds some bytes.
bool AnyHasBytes(const std::string& dir) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.is_regular_file() && HasBytes(entry.path()))
            return true;
    }
    return false;
}

TEST(Cancel, EndsTheRunWithinSecondsWhateverTheServerDoes) {
    enum class At {
        Greeting,     // the server never greets; cancelled while connecting
        EnteredHome,  // at the checkpoint after entering the home directory
        Copying,      // once the copy's file holds some bytes
    };
    const struct {
        const char* what;
        bool download;
        At at;
        bool stall;  // the server stops answering with the cancel (or, before the greeting, from the start)
    } cases[] = {
        {"before the greeting", false, At::Greeting, true},
        {"between two operations", false, At::EnteredHome, true},
        {"stalled download", true, At::Copying, true},
        {"slow upload", false, At::Copying, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FtpServerOptions options;
        options.transferBytesPerSecond = 64 * 1024;
        TestFtpServer server(options);
        RunHarness h;
        const std::string serverFile = server.home() + "/big.bin";
        const std::string localFile = h.localDir + "/big.bin";
        if (c.download) {
            WriteFile(serverFile, std::string(4 << 20, 'n'));
            WriteFile(localFile, "the old copy", std::time(nullptr) - 86400);
        } else {
            WriteFile(localFile, std::string(4 << 20, 'u'));
        }
        h.MakeProfile("p", server, ProfileSpec{.download = c.download, .upload = !c.download});

        std::atomic<bool> cancelled{false};
        Clock::time_point cancelledAt;
        auto cancel = [&] {
            if (c.stall)
                server.stall();
            cancelledAt = Clock::now();
            h.state.flags.cancelRequested = 1;
            cancelled = true;
        };
        auto due = [&] {
            if (c.at == At::Greeting)
                return h.count(Fmt(57686, {server.hostWithPort()})) > 0;
            if (c.at != At::Copying)
                return false;
            const auto temps = TempNames(h.localDir);
            return c.download ? !temps.empty() && HasBytes(h.localDir + "/" + temps[0]) : AnyHasBytes(server.home());
        };
        // On the worker, so that the cancel meets the checkpoint that follows.
        h.port.onLine = [&](std::string_view line) {
            if (c.at == At::EnteredHome && !cancelled && line == Fmt(42806, {""}))
                cancel();
        };
        if (c.at == At::Greeting)
            server.stall();
        bool killed = false;
        const auto start = Clock::now();
        h.Start();
        const RunOutcome outcome = h.owner.Await([&] {
            if (!cancelled && due())
                cancel();
            // A run that waits out the time-outs ends when the server goes away.
            if (!killed && Clock::now() - start > 40s) {
                server.kill();
                killed = true;
            }
        });
        ASSERT_TRUE(cancelled);
        EXPECT_LT(Clock::now() - cancelledAt, 10s);
        EXPECT_FALSE(killed);
        EXPECT_EQ(ExitStatusOf(outcome), 3);
        EXPECT_EQ(h.count(Fmt(42800)), 1);
        EXPECT_EQ(TempNames(h.localDir), std::vector<std::string>{});
        if (c.download) {
            EXPECT_EQ(ReadFile(localFile), "the old copy");
        } else if (c.at == At::Copying) {
            // The upload cut short says so, and its part never takes the file's name.
            EXPECT_EQ(h.count("\t" + Fmt(60033)), 1);
            EXPECT_FALSE(Exists(serverFile));
        }
    }
}

TEST(Cancel, ARunRemovesOnlyTheTemporaryDownloadFilesOfRunsThatDied) {
    TestFtpServer server;
    RunHarness h;
    // 99999999 is beyond any process id the system hands out.
    const struct {
        std::string name;
        bool removed;
    } files[] = {
        {".kestrum-99999999-0.part", true},
        {"sub/.kestrum-99999999-12.part", true},
        {".kestrum-1-0.part", false},  // its process is alive
        {".kestrum-99999999-0.part.keep", false},
        {".kestrum-99999999-.part", false},
        {".kestrum-099999999-0.part", false},
        {"kestrum-99999999-0.part", false},
    };
    for (const auto& f : files)
        WriteFile(h.localDir + "/" + f.name, "mine");
    mkdir((h.localDir + "/.kestrum-99999999-1.part").c_str(), 0755);
    h.MakeProfile("p", server);
    EXPECT_EQ(h.Run(), 0);
    for (const auto& f : files)
        EXPECT_EQ(Exists(h.localDir + "/" + f.name), !f.removed) << f.name;
    EXPECT_TRUE(Exists(h.localDir + "/.kestrum-99999999-1.part"));
    EXPECT_EQ(h.count(Fmt(60032, {h.localDir + "/.kestrum-99999999-0.part"})), 1);
    // Named like one but not hidden: a file of the user's, synchronised as such.
    EXPECT_EQ(ReadFile(server.home() + "/kestrum-99999999-0.part"), "mine");
}

}  // namespace
}  // namespace kestrum
