#include "localfs/local_watcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ftp_server.h"

namespace kestrum {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TempDir;
using test::WriteFile;
using Paths = std::vector<std::string>;

constexpr auto kQuiet = 200ms;
constexpr auto kWait = 10s;  // only so that a broken watcher does not hang the test

void Start(LocalWatcher& watcher) {
    std::string error;
    ASSERT_TRUE(watcher.Start(error)) << error;
}

LocalWatcher::Changes NextBatch(LocalWatcher& watcher) {
    auto changes = watcher.Next(kWait, nullptr);
    EXPECT_TRUE(changes.has_value());
    return changes.value_or(LocalWatcher::Changes{});
}

// Opened for writing (and written to, with data), not closed.
int OpenForWriting(const std::string& path, int flags, const std::string& data) {
    const int fd = open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0) << path;
    if (!data.empty()) {
        EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }
    return fd;
}

// Runs body in a child process inside a new user namespace whose inotify watch
// limit is `limit` (the system's own limit stays as it is). The child's exit
// status: nonzero when an expectation failed, 77 when there are no user namespaces.
int WithWatchLimit(int limit, const std::function<void()>& body) {
    const std::string uid = std::to_string(getuid());
    const std::string gid = std::to_string(getgid());
    const pid_t pid = fork();
    if (pid == 0) {
        const auto put = [](const char* file, const std::string& text) {
            std::ofstream out(file);
            return static_cast<bool>(out << text << std::flush);
        };
        if (unshare(CLONE_NEWUSER) != 0 || !put("/proc/self/setgroups", "deny") ||
            !put("/proc/self/uid_map", "0 " + uid + " 1") || !put("/proc/self/gid_map", "0 " + gid + " 1") ||
            !put("/proc/sys/user/max_inotify_watches", std::to_string(limit)))
            _exit(77);
        body();
        std::fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LocalWatcher, ReportsEachSaveOnceAsItsRealName) {
    struct Case {
        const char* what;
        Paths before;  // files there before the watch starts
        std::function<void(const TempDir&)> act;
        Paths changed;
        Paths removed;
        bool overflow = false;
    };
    const Case cases[] = {
        {"write and close", {}, [](const TempDir& d) { WriteFile(d / "f", "x"); }, {"f"}, {}},
        {"temporary file renamed over",
         {"f"},
         [](const TempDir& d) {
             WriteFile(d / "f.tmp", "new");
             fs::rename(d / "f.tmp", d / "f");
         },
         {"f"},
         {}},
        {"probe file, backup by rename, write anew",
         {"f"},
         [](const TempDir& d) {
             WriteFile(d / ".f.swp", "swap");
             WriteFile(d / "4913", "");
             fs::remove(d / "4913");
             fs::rename(d / "f", d / "f~");
             WriteFile(d / "f", "new");
         },
         {"f"},
         {}},
        {"changed, then removed",
         {"f"},
         [](const TempDir& d) {
             WriteFile(d / "f", "new");
             fs::remove(d / "f");
         },
         {},
         {"f"}},
        {"removed, then created again",
         {"f"},
         [](const TempDir& d) {
             fs::remove(d / "f");
             WriteFile(d / "f", "new");
         },
         {"f"},
         {}},
        {"renamed", {"a"}, [](const TempDir& d) { fs::rename(d / "a", d / "b"); }, {"b"}, {"a"}},
        {"attributes changed",
         {"f"},
         [](const TempDir& d) { fs::permissions(d / "f", fs::perms::owner_exec, fs::perm_options::add); },
         {"f"},
         {}},
        {"tree deleted", {"d/x", "d/e/y", "k"}, [](const TempDir& d) { fs::remove_all(d / "d"); }, {}, {"d"}},
        {"new directories written to at once",
         {},
         [](const TempDir& d) { WriteFile(d / "a/b/f", "x"); },
         {"a/b/f"},
         {}},
        {"tree moved in",
         {},
         [](const TempDir& d) {
             const TempDir outside;
             WriteFile(outside / "t/x", "x");
             WriteFile(outside / "t/u/y", "y");
             fs::rename(outside / "t", d / "t");
         },
         {"t/u/y", "t/x"},
         {}},
        {"directory moved out, then written to",
         {"d/x"},
         [](const TempDir& d) {
             const TempDir outside;
             fs::rename(d / "d", outside / "d");
             WriteFile(outside / "d/y", "y");
         },
         {},
         {"d"}},
        {"root deleted", {}, [](const TempDir& d) { fs::remove_all(d.path()); }, {}, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TempDir dir;
        for (const std::string& path : c.before)
            WriteFile(dir / path, "old");
        LocalWatcher watcher(dir.path(), kQuiet);
        Start(watcher);
        c.act(dir);
        const LocalWatcher::Changes changes = NextBatch(watcher);
        EXPECT_EQ(changes.changed, c.changed);
        EXPECT_EQ(changes.removed, c.removed);
        EXPECT_EQ(changes.overflow, c.overflow);
        EXPECT_EQ(changes.unwatched, Paths{});
        // One batch: nothing is left over to be reported again.
        EXPECT_FALSE(watcher.Next(2 * kQuiet, nullptr).has_value());
    }
}

TEST(LocalWatcher, BurstOfWritesIsOneChange) {
    const TempDir dir;
    LocalWatcher watcher(dir.path(), kQuiet);
    Start(watcher);
    // Longer than the quiet time in all, with much shorter gaps.
    std::thread writer([&] {
        for (int i = 0; i < 100; ++i) {
            WriteFile(dir / "f", std::to_string(i));
            std::this_thread::sleep_for(5ms);
        }
    });
    const LocalWatcher::Changes changes = NextBatch(watcher);
    writer.join();
    EXPECT_EQ(changes.changed, Paths{"f"});
    EXPECT_FALSE(watcher.Next(2 * kQuiet, nullptr).has_value());
}

TEST(LocalWatcher, FileOpenForWritingIsHeldBackUntilClosed) {
    const TempDir dir;
    WriteFile(dir / "old", "v1");
    LocalWatcher watcher(dir.path(), kQuiet);
    Start(watcher);
    const int created = OpenForWriting(dir / "new", O_CREAT | O_EXCL, "");  // nothing written yet
    WriteFile(dir / "old", "v2");                                           // closed, then opened again for more
    const int reopened = OpenForWriting(dir / "old", O_APPEND, "more");
    WriteFile(dir / "done", "x");
    // The file saved meanwhile is not kept waiting for the open ones.
    EXPECT_EQ(NextBatch(watcher).changed, Paths{"done"});
    close(created);
    close(reopened);
    EXPECT_EQ(NextBatch(watcher).changed, (Paths{"new", "old"}));
}

TEST(LocalWatcher, NewAndMovedDirectoriesAreWatchedUnderTheirNames) {
    const TempDir dir;
    WriteFile(dir / "d/x", "x");
    LocalWatcher watcher(dir.path(), kQuiet);
    Start(watcher);
    fs::create_directory(dir / "n");
    fs::rename(dir / "d", dir / "e");
    LocalWatcher::Changes changes = NextBatch(watcher);
    EXPECT_EQ(changes.changed, Paths{"e/x"});
    EXPECT_EQ(changes.removed, Paths{"d"});
    WriteFile(dir / "n/y", "y");
    WriteFile(dir / "e/z", "z");
    changes = NextBatch(watcher);
    EXPECT_EQ(changes.changed, (Paths{"e/z", "n/y"}));
    EXPECT_EQ(changes.removed, Paths{});
}

TEST(LocalWatcher, WatchLimitIsExplainedAndNoGapIsSilent) {
    const TempDir dir;
    WriteFile(dir / "a/x", "x");
    const int status = WithWatchLimit(3, [&] {
        LocalWatcher watcher(dir.path(), kQuiet);
        std::string error;
        ASSERT_TRUE(watcher.Start(error)) << error;  // root and a
        WriteFile(dir / "a/b/c/y", "y");             // b is the third watch, c one too many
        const LocalWatcher::Changes changes = NextBatch(watcher);
        EXPECT_EQ(changes.unwatched, Paths{"a/b/c"});
        EXPECT_NE(changes.unwatchedReason.find("/proc/sys/fs/inotify/max_user_watches"), std::string::npos);
        EXPECT_NE(changes.unwatchedReason.find("4 個のうち 1 個"), std::string::npos) << changes.unwatchedReason;
        EXPECT_EQ(changes.changed, Paths{"a/b/c/y"});  // what was there is reported all the same

        LocalWatcher second(dir.path(), kQuiet);  // the first holds every watch allowed
        EXPECT_FALSE(second.Start(error));
        EXPECT_NE(error.find("4 個のうち 4 個"), std::string::npos) << error;
    });
    if (status == 77)
        GTEST_SKIP() << "no user namespace to lower the watch limit in";
    EXPECT_EQ(status, 0);
}

TEST(LocalWatcher, CancelReturnsNothingAndKeepsWhatWasSeen) {
    const TempDir dir;
    LocalWatcher watcher(dir.path(), 2s);
    Start(watcher);
    WriteFile(dir / "f", "x");
    int asked = 0;
    EXPECT_FALSE(watcher.Next(60s, [&] { return ++asked == 3; }).has_value());
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(NextBatch(watcher).changed, Paths{"f"});
}

TEST(LocalWatcher, EditorScratchNames) {
    const std::pair<const char*, bool> cases[] = {
        {"4913", true},   {"f~", true},     {"f.txt.~1~", true}, {".#f", true},    {"#f#", true},
        {".f.swp", true}, {".f.swx", true}, {".f.swo", true},    {"f", false},     {"~", false},
        {"#", false},     {"##", false},    {".#", false},       {"49130", false}, {"f.tmp", false},
        {".swp", false},  {"f.swp", false}, {".f.svg", false},   {"#f", false},    {"a~b", false},
    };
    for (const auto& [name, scratch] : cases)
        EXPECT_EQ(IsEditorScratchName(name), scratch) << name;
}

}  // namespace
}  // namespace kestrum
