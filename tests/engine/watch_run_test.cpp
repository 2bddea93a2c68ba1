// Watching: real inotify on a temporary tree, the real test server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "engine/watch_run.h"
#include "res/message_ids.h"
#include "res/strings.h"
#include "tests/support/run_harness.h"

namespace kestrum {
namespace {

using test::FtpServerOptions;
using test::ReadFile;
using test::RunHarness;
using test::TestFtpServer;
using test::WriteFile;
namespace fs = std::filesystem;

bool Eventually(const std::function<bool()>& arrived, int seconds = 15) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (arrived())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return arrived();
}

// One watch over a sequence of edits: each step's edit must reach the server,
// editors' scratch files never do, and nothing is lost while the server is away.
TEST(WatchRun, EditsReachTheServerAndNothingIsLost) {
    FtpServerOptions options;
    options.idleTimeoutSeconds = 2;  // closes the kept connection between steps
    options.refuse = "MFMT";         // copies are stamped locally with the server's time
    TestFtpServer server(options);
    RunHarness h;
    h.MakeProfile("p", server);
    h.store.SaveDetailSettings("p", {.mirrorFiles = true, .maxDelete = 0});
    WriteFile(h.localDir + "/keep.txt", "keep");
    ASSERT_EQ(h.Run(), 0);
    ASSERT_TRUE(WatchMayFollow(h.state, h.owner.Outcome()));

    h.owner.StartWatch();
    std::thread owner([&] { h.owner.Await(); });
    const std::string& local = h.localDir;
    auto onServer = [&](const std::string& name) { return ReadFile(server.home() + "/" + name, false); };
    auto gone = [&](const std::string& name) { return !fs::exists(server.home() + "/" + name); };
    struct Step {
        const char* what;
        std::function<void()> edit;
        std::function<bool()> arrived;
    };
    const Step steps[] = {
        {"one save", [&] { WriteFile(local + "/a.txt", "one"); }, [&] { return onServer("a.txt") == "one"; }},
        {"an editor's atomic save within the second of the last upload, with backup and swap files",
         [&] {
             WriteFile(local + "/.a.txt.swp", "swap");
             WriteFile(local + "/a.txt~", "one");
             WriteFile(local + "/.a.txt.tmp", "two", test::FileMtime(local + "/a.txt"));
             fs::rename(local + "/.a.txt.tmp", local + "/a.txt");
             fs::remove(local + "/.a.txt.swp");
         },
         [&] { return onServer("a.txt") == "two"; }},
        {"a burst of 100 saves",
         [&] {
             for (int i = 0; i < 100; ++i)
                 WriteFile(local + "/burst/" + std::to_string(i) + ".txt", std::to_string(i));
         },
         [&] {
             for (int i = 0; i < 100; ++i)
                 if (onServer("burst/" + std::to_string(i) + ".txt") != std::to_string(i))
                     return false;
             return true;
         }},
        {"a new directory with files",
         [&] {
             WriteFile(local + "/n/m/c.txt", "c");
             WriteFile(local + "/n/d.txt", "d");
         },
         [&] { return onServer("n/m/c.txt") == "c" && onServer("n/d.txt") == "d"; }},
        {"a rename", [&] { fs::rename(local + "/a.txt", local + "/r.txt"); },
         [&] { return onServer("r.txt") == "two" && gone("a.txt"); }},
        {"a deletion with mirroring", [&] { fs::remove_all(local + "/n"); },
         [&] { return gone("n/d.txt") && gone("n/m/c.txt"); }},
        {"a save after the server closed the idle connection",
         [&] {
             std::this_thread::sleep_for(std::chrono::seconds(3));
             WriteFile(local + "/e.txt", "e");
         },
         [&] { return onServer("e.txt") == "e"; }},
        {"a save while the server is away",
         [&] {
             server.kill();
             WriteFile(local + "/f.txt", "f");
             std::this_thread::sleep_for(std::chrono::seconds(2));
             server.restart();
         },
         [&] { return onServer("f.txt") == "f"; }},
    };
    for (const Step& step : steps) {
        step.edit();
        EXPECT_TRUE(Eventually(step.arrived)) << step.what;
    }
    // Each save went once: the copies' own time stamps start no batch.
    const size_t logged = h.lines().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(h.lines().size(), logged);
    for (const char* scratch : {"a.txt~", ".a.txt.swp", ".a.txt.tmp"})
        EXPECT_TRUE(gone(scratch)) << scratch;
    EXPECT_EQ(onServer("keep.txt"), "keep");

    h.owner.Cancel();
    owner.join();
    EXPECT_EQ(ExitStatusOf(h.owner.Outcome()), 0);
}

// A home directory moved away (or unmounted) is no deletion of everything in
// it: the watch stops as a run would, even without a deletion limit.
TEST(WatchRun, TheWatchStopsWhenItsDirectoryGoesAndDeletesNothing) {
    TestFtpServer server;
    RunHarness h;
    h.MakeProfile("p", server);
    h.store.SaveDetailSettings("p", {.mirrorFiles = true, .maxDelete = 0});
    WriteFile(h.localDir + "/keep.txt", "keep");
    ASSERT_EQ(h.Run(), 0);
    h.owner.StartWatch();
    std::thread owner([&] { h.owner.Await(); });
    ASSERT_TRUE(Eventually([&] { return h.count(FormatString(msg::kWatchReady, {h.localDir})) == 1; }));
    fs::rename(h.localDir, h.root / "moved");
    EXPECT_TRUE(Eventually([&] { return h.state.flags.running == 0; }));
    if (h.state.flags.running != 0)
        h.owner.Cancel();
    owner.join();
    EXPECT_EQ(ExitStatusOf(h.owner.Outcome()), 1);
    EXPECT_EQ(ReadFile(server.home() + "/keep.txt", false), "keep");
}

}  // namespace
}  // namespace kestrum
