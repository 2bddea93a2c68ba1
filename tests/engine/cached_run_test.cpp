// Upload-only runs with the cache switched on, from preparation to completion.
#include <gtest/gtest.h>

#include <filesystem>

#include "cache/change_cache.h"
#include "cache/sync_state.h"
#include "engine/run_cache.h"
#include "res/strings.h"
#include "tests/support/run_harness.h"

namespace kestrum::test {
namespace {

std::string S(int id) {
    return LoadString(id);
}

// How often text was logged from line index `from` on.
int CountSince(const RunHarness& h, size_t from, const std::string& text) {
    const auto lines = h.lines();
    int n = 0;
    for (size_t i = from; i < lines.size(); ++i)
        n += lines[i] == text;
    return n;
}

TEST(CachedRun, OnlyChangedFilesAreConsideredAndNothingChangedMeansNoConnection) {
    TestFtpServer server;
    RunHarness h;
    h.state.options.cacheSwitch = 1;
    WriteFile(h.localDir + "/a.txt", "a1", 1'700'000'000);
    WriteFile(h.localDir + "/sub/b.txt", "b1", 1'700'000'000);
    h.MakeProfile("web", server, ProfileSpec{.subdirs = true});

    // First run: no cache file yet, so the run goes on uncached; its completion writes the file.
    ASSERT_EQ(h.Run(), 0);
    EXPECT_EQ(ReadFile(server.home() + "/a.txt"), "a1");
    FileList cached;
    ASSERT_EQ(ReadChangeCacheFile(h.programDir + "/CACHE/web", "web", cached), 1);
    ASSERT_EQ(cached.size(), 2u);
    // The snapshot holds the times the transfer stamped.
    EXPECT_EQ(cached[0].lastWriteTime, FileMtime(h.localDir + "/a.txt"));

    // Nothing changed: the run ends after the local scan without connecting.
    const int connections = server.connectionCount();
    size_t from = h.lines().size();
    ASSERT_EQ(h.Run(), 0);
    EXPECT_EQ(CountSince(h, from, S(57707)), 1);
    EXPECT_EQ(CountSince(h, from, S(57685)), 1);
    EXPECT_EQ(server.connectionCount(), connections);
    EXPECT_TRUE(h.port.messages().empty());

    // One file touched (beyond the time lag): only that one is considered and copied.
    WriteFile(h.localDir + "/sub/b.txt", "b2", FileMtime(h.localDir + "/sub/b.txt") + 1000);
    const int stores = server.countCommands("STOR");
    from = h.lines().size();
    ASSERT_EQ(h.Run(), 0);
    EXPECT_EQ(CountSince(h, from, S(57707)), 0);
    EXPECT_EQ(CountSince(h, from, FormatString(57699, {"sub/b.txt"})), 1);
    EXPECT_EQ(CountSince(h, from, FormatString(57699, {"a.txt"})), 0);
    EXPECT_EQ(ReadFile(server.home() + "/sub/b.txt"), "b2");
    // The probe's upload and the changed file.
    EXPECT_EQ(server.countCommands("STOR"), stores + 2);
}

// A run that sent nothing (failed, or download only) advances no record.
TEST(CachedRun, AFailedRunDoesNotHideItsChangesFromTheNextRun) {
    for (const bool downloadOnly : {false, true}) {
        TestFtpServer server;
        RunHarness h;
        h.state.options.cacheSwitch = 1;
        WriteFile(h.localDir + "/a.txt", "a1", 1'700'000'000);
        h.MakeProfile("web", server);
        ASSERT_EQ(h.Run(), 0);
        const std::string snapshot = ReadFile(h.programDir + "/CACHE/web");

        WriteFile(h.localDir + "/a.txt", "a2", FileMtime(h.localDir + "/a.txt") + 1000);
        if (downloadOnly) {
            h.MakeProfile("web", server, ProfileSpec{.download = true, .upload = false});
            ASSERT_EQ(h.Run(), 0);
        } else {
            // The next run cannot reach the server.
            server.kill();
            ASSERT_EQ(h.Run(), 1);
            EXPECT_EQ(ReadFile(h.programDir + "/CACHE/web"), snapshot);
        }

        TestFtpServer again;
        h.MakeProfile("web", again);
        const size_t from = h.lines().size();
        ASSERT_EQ(h.Run(), 0);
        EXPECT_EQ(CountSince(h, from, S(57707)), 0) << downloadOnly;
        EXPECT_EQ(ReadFile(again.home() + "/a.txt"), "a2") << downloadOnly;
    }
}

// A profile that does not load (no password given) leaves its cache file as
// it was, though another profile's local directory is still loaded.
TEST(CachedRun, AProfileThatDoesNotLoadKeepsItsCacheFile) {
    TestFtpServer server;
    RunHarness h;
    h.state.options.cacheSwitch = 1;
    const std::string otherDir = h.root / "other";
    WriteFile(otherDir + "/b.txt", "b", 1'700'000'000);
    WriteFile(h.localDir + "/a.txt", "a", 1'700'000'000);
    h.MakeProfile("other", server, ProfileSpec{.localDir = otherDir});
    ASSERT_EQ(h.Run(), 0);
    const std::string snapshot = ReadFile(h.programDir + "/CACHE/other");
    h.MakeProfile("web", server);
    ASSERT_EQ(h.Run(), 0);

    h.MakeProfile("other", server, ProfileSpec{.savePassword = false, .localDir = otherDir});
    h.port.setPassword(std::nullopt);
    EXPECT_EQ(h.Run(), 1);
    EXPECT_EQ(ReadFile(h.programDir + "/CACHE/other"), snapshot);
}

TEST(CachedRun, AFileWhoseUploadFailedIsOfferedAgain) {
    TestFtpServer server;
    RunHarness h;
    h.state.options.cacheSwitch = 1;
    WriteFile(h.localDir + "/ok.txt", "ok", 1'700'000'000);
    WriteFile(h.localDir + "/x/a.txt", "a", 1'700'000'000);
    // A server file stands where the directory x is needed: the upload fails.
    WriteFile(server.home() + "/x", "in the way");
    h.MakeProfile("web", server, ProfileSpec{.subdirs = true});
    ASSERT_EQ(h.Run(), 4);  // the upload of x/a.txt failed
    EXPECT_EQ(h.count(FormatString(42819, {"x/a.txt"})), 1);
    FileList cached;
    ASSERT_EQ(ReadChangeCacheFile(h.programDir + "/CACHE/web", "web", cached), 1);
    ASSERT_EQ(cached.size(), 1u);
    EXPECT_EQ(cached[0].name, "ok.txt");

    // The next cached run does not take the failed file for unchanged.
    const size_t from = h.lines().size();
    ASSERT_EQ(h.Run(), 4);  // and fails again
    EXPECT_EQ(CountSince(h, from, S(57707)), 0);
    EXPECT_EQ(CountSince(h, from, FormatString(42810, {"x/a.txt"})), 1);
    EXPECT_EQ(CountSince(h, from, FormatString(42810, {"ok.txt"})), 0);
}

// A cache is used only at the place it was made for: one run after the
// profile moved (or after an older version, which recorded no place) compares
// every file, and the next uses the cache again.
TEST(CachedRun, ACacheOfAnotherPlaceIsLeftUnusedOnce) {
    struct Case {
        const char* what;
        std::string secondDir;
        bool dropSideFile;
    };
    for (const Case& c :
         {Case{"moved to an empty directory", "/B", false}, Case{"cache of an older version", "/A", true}}) {
        TestFtpServer server;
        RunHarness h;
        h.state.options.cacheSwitch = 1;
        WriteFiles(h.localDir, {"a.txt", "sub/b.txt"}, 1'700'000'000);
        std::filesystem::create_directories(server.home() + "/A");
        std::filesystem::create_directories(server.home() + "/B");
        h.MakeProfile("web", server, ProfileSpec{.remoteDir = "/A"});
        ASSERT_EQ(h.Run(), 0) << c.what;
        const std::string sideFile = CacheStatePath(h.programDir, "web");
        CacheState first;
        ASSERT_TRUE(ReadCacheState(sideFile, first)) << c.what;
        if (c.dropSideFile)
            std::filesystem::remove(sideFile);

        h.MakeProfile("web", server, ProfileSpec{.remoteDir = c.secondDir});
        size_t from = h.lines().size();
        const int connections = server.connectionCount();
        ASSERT_EQ(h.Run(), 0) << c.what;
        const std::string why =
            c.dropSideFile ? S(60700) : FormatString(60701, {first.place, RunCachePlace(h.state.settings)});
        EXPECT_EQ(CountSince(h, from, why), 1) << c.what;
        EXPECT_EQ(CountSince(h, from, S(57707)), 0) << c.what;
        EXPECT_GT(server.connectionCount(), connections) << c.what;
        EXPECT_EQ(SortedNames(server.home() + c.secondDir), (std::vector<std::string>{"a.txt", "sub"})) << c.what;
        EXPECT_EQ(SortedNames(server.home() + c.secondDir + "/sub"), std::vector<std::string>{"b.txt"}) << c.what;

        from = h.lines().size();
        ASSERT_EQ(h.Run(), 0) << c.what;
        EXPECT_EQ(CountSince(h, from, S(57707)), 1) << c.what;
        EXPECT_EQ(CountSince(h, from, why), 0) << c.what;
    }
}

}  // namespace
}  // namespace kestrum::test
