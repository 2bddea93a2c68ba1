#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include "cache/change_cache.h"
#include "cache/sync_state.h"
#include "engine/run_cache.h"
#include "tests/engine/cache_harness.h"
#include "tests/support/run_harness.h"

namespace kestrum::test {
namespace {

namespace fs = std::filesystem;

const std::string kMagicField = std::string("Quillmoor Kestrum - File System 1.0") + std::string(5, '\0');

std::string ProfileField(const std::string& name) {
    return name + std::string(20 - name.size(), '\0');
}

std::string Le32(int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF), static_cast<char>((v >> 16) & 0xFF),
            static_cast<char>((v >> 24) & 0xFF)};
}

std::string Record(const std::string& name, int32_t time) {
    return name + std::string(255 - name.size(), '\0') + Le32(time);
}

void PutCacheFile(const CacheHarness& h, const std::string& profile, const std::string& bytes) {
    fs::create_directories(h.dir / "CACHE");
    WriteFile(h.cachePath(profile), bytes);
}

// "name@time" of each entry, comma-separated.
std::string Recs(const FileList& list) {
    std::string out;
    for (const FileEntry& e : list)
        out += (out.empty() ? "" : ",") + e.name + "@" + std::to_string(e.lastWriteTime);
    return out;
}

// Writes the snapshot and reads it back: its records, or "failed".
std::string SaveAndLoad(CacheHarness& h) {
    if (SaveChangeCache(h.ctx) != 1 || LoadChangeCache(h.ctx) != 1)
        return "failed";
    return Recs(h.state.results.cacheFiles);
}

// Loads bytes as web's cache file: the records read, or "rejected" (list emptied).
std::string LoadBytes(CacheHarness& h, const std::string& bytes) {
    PutCacheFile(h, "web", bytes);
    h.state.results.cacheFiles.push_back({"left over", 1});
    if (LoadChangeCache(h.ctx) == 1)
        return Recs(h.state.results.cacheFiles);
    EXPECT_TRUE(h.state.results.cacheFiles.empty());
    return "rejected";
}

TEST(ChangeCacheFile, WebProfileIsWrittenByteForByteAndReadBack) {
    CacheHarness h;
    h.state.settings.subdirs = 1;
    WriteFile(h.dir / "local/index.html", "<html>", 1'000'000'000);
    WriteFile(h.dir / "local/img/logo.gif", "GIF89a", 1'200'000'123);
    h.state.flags.reachedEnd = 1;
    h.state.results.cacheFiles.push_back({"stale", 1});
    h.ActOnAll();

    ASSERT_EQ(SaveChangeCache(h.ctx), 1);
    EXPECT_TRUE(h.state.results.cacheFiles.empty());
    EXPECT_TRUE(h.port.lines().empty()) << "the snapshot logs nothing";

    const std::string bytes = ReadFile(h.cachePath("web"));
    ASSERT_EQ(bytes.size(), 578u);
    EXPECT_EQ(bytes.substr(0, 40), kMagicField);
    EXPECT_EQ(bytes.substr(40, 20), std::string("web") + std::string(17, '\0'));
    // The scan's listing order puts img (IMG < INDEX.HTML) first.
    EXPECT_EQ(bytes.substr(60, 259), Record("img/logo.gif", 1'200'000'123));
    EXPECT_EQ(bytes.substr(319, 259), Record("index.html", 1'000'000'000));
    EXPECT_EQ(SortedNames(h.dir / "CACHE"), (std::vector<std::string>{"web", "web.kestrum-cache-state"}))
        << "no temporary file is left";

    ASSERT_EQ(LoadChangeCache(h.ctx), 1);
    ASSERT_EQ(Recs(h.state.results.cacheFiles), "img/logo.gif@1200000123,index.html@1000000000");
    EXPECT_EQ(h.state.results.cacheFiles[1].direction, Direction::None);
    EXPECT_EQ(h.state.results.cacheFiles[1].matched, 0);

    // A 20-byte name fills the field; 19 or 21 bytes never match it; 21 is not stored.
    const std::string name = "abcdefghijklmnopqrst";
    h.state.settings.profileName = name;
    h.ActOnAll();
    ASSERT_EQ(SaveChangeCache(h.ctx), 1);
    EXPECT_EQ(ReadFile(h.cachePath(name)), kMagicField + name + bytes.substr(60));
    EXPECT_EQ(LoadChangeCache(h.ctx), 1);
    FileList out;
    EXPECT_EQ(ReadChangeCacheFile(h.cachePath(name), name + "a", out), 0);
    EXPECT_EQ(ReadChangeCacheFile(h.cachePath(name), name.substr(0, 19), out), 0);
    h.state.settings.profileName = name + "u";
    EXPECT_EQ(SaveChangeCache(h.ctx), 0);
    EXPECT_FALSE(fs::exists(h.cachePath(name + "u")));
}

TEST(ChangeCacheFile, ReadsCompleteRecordsAndRejectsForeignOrBrokenFiles) {
    CacheHarness h;
    const std::string header = kMagicField + ProfileField("web");
    const std::string body = Record("index.html", 100);
    EXPECT_EQ(LoadChangeCache(h.ctx), 0) << "no file yet";
    const struct {
        std::string bytes, read;
    } cases[] = {
        // The trailing 100 bytes are an incomplete record.
        {header + Record("a", 1) + Record("b/c.txt", -5) + Record("d", INT32_MAX) + std::string(100, 'x'),
         "a@1,b/c.txt@-5,d@2147483647"},
        // A record whose name is complete but whose time bytes are not is dropped.
        {header + Record("a", 1) + Record("b", 2).substr(0, 257), "a@1"},
        {header, ""},
        // Name field without a NUL (255 bytes of text) and bytes after the NUL.
        {header + std::string(255, 'n') + Le32(7) + "ok" + std::string(200, '\0') + "junk" + std::string(49, '\0') +
             Le32(8),
         std::string(255, 'n') + "@7,ok@8"},
        {std::string(1, 'q') + kMagicField.substr(1) + ProfileField("web") + body, "rejected"},  // magic case
        {kMagicField + ProfileField("Web") + body, "rejected"},  // the profile name is case-sensitive
        {kMagicField + ProfileField("shop") + body, "rejected"},
        {kMagicField + ProfileField("we") + body, "rejected"},
        {kMagicField + ProfileField("webs") + body, "rejected"},
        {"", "rejected"},
        {kMagicField.substr(0, 39), "rejected"},
        {kMagicField, "rejected"},
        {kMagicField + "web", "rejected"},
        // The magic text must be followed by its NUL inside the field.
        {std::string("Quillmoor Kestrum - File System 1.0 and more") + ProfileField("web"), "rejected"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LoadBytes(h, c.bytes), c.read) << testing::PrintToString(c.bytes.substr(0, 70));

    std::mt19937 random(12345);
    for (int round = 0; round < 20; ++round) {
        std::string noise(random() % 2000, '\0');
        for (char& c : noise)
            c = static_cast<char>(random());
        EXPECT_EQ(LoadBytes(h, noise), "rejected");
        // Random records after a valid header are read without harm.
        LoadBytes(h, header + noise);
        EXPECT_EQ(h.state.results.cacheFiles.size(), noise.size() / 259);
        for (const FileEntry& e : h.state.results.cacheFiles)
            EXPECT_LT(e.name.size(), 256u);
    }

    // Not a regular file: a directory, and a FIFO (which must not block).
    fs::remove(h.cachePath("web"));
    fs::create_directories(h.cachePath("web"));
    EXPECT_EQ(LoadChangeCache(h.ctx), 0);
    fs::remove(h.cachePath("web"));
    ASSERT_EQ(mkfifo(h.cachePath("web").c_str(), 0600), 0);
    EXPECT_EQ(LoadChangeCache(h.ctx), 0);
}

TEST(ChangeCacheFile, EntriesThatDoNotFitARecordAreLeftOut) {
    CacheHarness h;
    const FileList records = {
        {std::string(254, 'a'), 1},        // fits with its NUL
        {std::string(255, 'b'), 2},        // no room for the NUL
        {"late", int64_t{INT32_MAX} + 1},  // after 2038
        {"max", INT32_MAX},
        {"early", int64_t{INT32_MIN} - 1},
        {"min", INT32_MIN},
        {"", 3},
    };
    ASSERT_EQ(WriteChangeCacheFile(h.dir.path(), "p", records), 1);
    FileList out;
    ASSERT_EQ(ReadChangeCacheFile(h.cachePath("p"), "p", out), 1);
    EXPECT_EQ(Recs(out), std::string(254, 'a') + "@1,max@2147483647,min@-2147483648");

    // From a real tree: after 2038 and 255-byte names stay out, so always count as changed.
    h.state.settings.profileName = "p";
    h.state.settings.subdirs = 1;
    const std::string longName = "sub/" + std::string(251, 'x');
    WriteFile(h.dir / "local/old.txt", "o", 1'000'000'000);
    WriteFile(h.dir / "local/future.txt", "f", int64_t{INT32_MAX} + 100);
    WriteFile(h.dir / ("local/" + longName), "l", 1'000'000'000);
    h.state.flags.reachedEnd = 1;
    h.ActOnAll();
    EXPECT_EQ(SaveAndLoad(h), "old.txt@1000000000");
    h.state.results.localFiles = {
        {"future.txt", int64_t{INT32_MAX} + 100}, {longName, 1'000'000'000}, {"old.txt", 1'000'000'000}};
    ASSERT_EQ(DetectLocalChanges(h.ctx), 1);
    EXPECT_EQ(Recs(h.state.results.localFiles), "future.txt@2147483747," + longName + "@1000000000");
}

TEST(ChangeCacheFile, SnapshotFollowsTheLocalScanRules) {
    CacheHarness h;
    h.state.settings.excludedExtensions = {"BAK"};
    const std::unordered_map<std::string, int64_t> acted = {{"b.txt", 1'000'000'002},
                                                            {"A.txt", 1'000'000'001},
                                                            {"x.Bak", 1'000'000'003},
                                                            {".hidden", 1'000'000'004},
                                                            {"sub/c.txt", 1'000'000'005}};
    for (const auto& [name, time] : acted)
        WriteFile(h.dir / ("local/" + name), name, time);
    h.state.flags.reachedEnd = 1;
    h.state.results.actedLocalTimes = acted;

    // Subdirectories off; hidden and excluded files left out.
    EXPECT_EQ(SaveAndLoad(h), "A.txt@1000000001,b.txt@1000000002");
    h.state.settings.subdirs = 1;
    h.state.results.actedLocalTimes = acted;
    EXPECT_EQ(SaveAndLoad(h), "A.txt@1000000001,b.txt@1000000002,sub/c.txt@1000000005");

    // A local home that cannot be listed: the file is written with no records.
    h.state.settings.localDir = h.dir / "missing";
    ASSERT_EQ(SaveChangeCache(h.ctx), 1);
    EXPECT_EQ(ReadFile(h.cachePath("web")).size(), 60u);
    EXPECT_TRUE(h.port.lines().empty());
}

TEST(ChangeCacheFile, OnlyFilesTheRunActedOnAdvanceTheirRecords) {
    CacheHarness h;
    WriteFiles(h.dir / "local", {"a.txt", "b.txt"}, 1'000'000'000);
    h.state.flags.reachedEnd = 1;
    h.state.results.actedLocalTimes = {{"a.txt", 1'000'000'000}, {"b.txt", 1'000'000'000}};
    ASSERT_EQ(SaveChangeCache(h.ctx), 1);
    const std::string before = ReadFile(h.cachePath("web"));

    // A run that acted on none (cancelled, failed, download only) keeps every record.
    WriteFile(h.dir / "local/a.txt", "changed", 1'000'000'500);
    WriteFile(h.dir / "local/b.txt", "restored", 999'999'000);
    WriteFile(h.dir / "local/new.txt", "new", 1'000'000'500);
    for (const auto& [reached, failed] : std::vector<std::pair<int, int>>{{0, 0}, {1, 1}, {0, 1}, {1, 0}}) {
        h.state.flags.reachedEnd = reached;
        h.state.flags.runFailed = failed;
        h.state.results.cacheFiles.push_back({"a.txt", 1});
        EXPECT_EQ(SaveChangeCache(h.ctx), 1);
        EXPECT_TRUE(h.state.results.cacheFiles.empty());
        EXPECT_EQ(ReadFile(h.cachePath("web")), before);
    }

    // Without a previous snapshot of this profile, such a run leaves no record.
    h.state.settings.profileName = "other";
    EXPECT_EQ(SaveChangeCache(h.ctx), 1);
    EXPECT_EQ(ReadFile(h.cachePath("other")).size(), 60u);

    // Acted on: recorded at the time acted on, unless edited since (new.txt).
    h.state.settings.profileName = "web";
    h.state.results.actedLocalTimes = {{"a.txt", 1'000'000'500}, {"new.txt", 1'000'000'400}};
    EXPECT_EQ(SaveChangeCache(h.ctx), 1);
    EXPECT_TRUE(h.state.results.actedLocalTimes.empty());
    ASSERT_EQ(LoadChangeCache(h.ctx), 1);
    EXPECT_EQ(Recs(h.state.results.cacheFiles), "a.txt@1000000500,b.txt@1000000000");

    // A snapshot made for another place keeps none of its records.
    h.state.results.cacheState.place = "ftp://u@elsewhere:21/";
    EXPECT_EQ(SaveChangeCache(h.ctx), 1);
    EXPECT_EQ(ReadFile(h.cachePath("web")).size(), 60u);
}

// The side file keeps the records read, updated by the run's copies (the last
// one wins), of the files still there; records of another place are not read.
TEST(ChangeCacheFile, SyncRecordsFollowTheCopiesAndTheLocalFiles) {
    CacheHarness h;
    WriteFiles(h.dir / "local", {"a.txt", "b.txt"}, 1'000'000'000);
    h.state.results.cacheState.records = {{"a.txt", SyncRecord{.localTime = 1}},
                                          {"b.txt", SyncRecord{.localTime = 2}},
                                          {"gone.txt", SyncRecord{.localTime = 3}}};
    h.state.results.syncUpdates = {{"b.txt", SyncRecord{.localTime = 4}},
                                   {"b.txt", SyncRecord{.upload = false, .localTime = 5}},
                                   {"not-here.txt", SyncRecord{.localTime = 6}}};
    ASSERT_EQ(SaveChangeCache(h.ctx), 1);
    EXPECT_TRUE(h.state.results.syncUpdates.empty());
    const std::string path = CacheStatePath(h.dir.path(), "web");
    CacheState saved;
    ASSERT_TRUE(ReadCacheState(path, saved));
    EXPECT_EQ(saved.place, RunCachePlace(h.state.settings));
    std::string recs;
    for (const auto& [name, r] : saved.records)
        recs += name + (r.upload ? "@u" : "@d") + std::to_string(r.localTime) + ",";
    EXPECT_EQ(recs, "a.txt@u1,b.txt@d5,");

    saved.place = "ftp://u@elsewhere:21/";
    ASSERT_TRUE(WriteCacheState(h.dir.path(), "web", saved));
    ReadRunCacheState(h.ctx);
    EXPECT_EQ(h.state.results.cacheState.place, saved.place);
    EXPECT_TRUE(h.state.results.cacheState.records.empty());
}

TEST(ChangeCacheFile, FilesTheRunDidNotCarryOutAreLeftOutOfTheSnapshot) {
    CacheHarness h;
    h.state.settings.subdirs = 1;
    WriteFiles(h.dir / "local", {"a.txt", "sub/b.txt", "c.txt"}, 1'000'000'000);
    h.state.flags.reachedEnd = 1;
    h.state.results.actedLocalTimes = {
        {"a.txt", 1'000'000'000}, {"sub/b.txt", 1'000'000'000}, {"c.txt", 1'000'000'000}};
    h.state.results.unsyncedLocalFiles = {"sub/b.txt", "C.TXT"};
    ASSERT_EQ(SaveChangeCache(h.ctx), 1);
    EXPECT_TRUE(h.state.results.unsyncedLocalFiles.empty());
    ASSERT_EQ(LoadChangeCache(h.ctx), 1);
    // Names are matched exactly as scanned: "C.TXT" is not c.txt.
    EXPECT_EQ(Recs(h.state.results.cacheFiles), "a.txt@1000000000,c.txt@1000000000");

    // Emptied by every completion, also by an unfinished run.
    h.state.results.unsyncedLocalFiles = {"a.txt"};
    h.state.flags.reachedEnd = 0;
    EXPECT_EQ(SaveChangeCache(h.ctx), 1);
    EXPECT_TRUE(h.state.results.unsyncedLocalFiles.empty());
}

TEST(ChangeCacheFile, NothingIsWrittenWhereItCannotBelong) {
    CacheHarness h;
    h.state.flags.reachedEnd = 1;
    WriteFile(h.dir / "local/a.txt", "a", 1'000'000'000);

    // Names that are not a single file name in CACHE.
    for (const std::string& name : std::vector<std::string>{"", ".", "..", "a/b", "../web", std::string("a\0b", 3)}) {
        h.state.settings.profileName = name;
        EXPECT_EQ(SaveChangeCache(h.ctx), 0) << name;
        EXPECT_EQ(LoadChangeCache(h.ctx), 0) << name;
    }
    EXPECT_TRUE(SortedNames(h.dir / "CACHE").empty());
    EXPECT_FALSE(fs::exists(h.dir / "web"));
    EXPECT_FALSE(fs::exists(h.dir / "CACHE/a"));

    // A backslash, a space or a Japanese name is an ordinary file name here.
    for (const std::string& name : std::vector<std::string>{"a\\b", "my site", "テスト"}) {
        h.state.settings.profileName = name;
        EXPECT_EQ(SaveChangeCache(h.ctx), 1) << name;
        EXPECT_EQ(LoadChangeCache(h.ctx), 1) << name;
        EXPECT_TRUE(fs::is_regular_file(h.cachePath(name)));
    }

    // No program directory: never fall back to /CACHE.
    h.state.settings.profileName = "web";
    h.state.settings.programDir = "";
    EXPECT_EQ(SaveChangeCache(h.ctx), 0);
    EXPECT_EQ(LoadChangeCache(h.ctx), 0);
}

TEST(ChangeCacheFile, CacheDirectoryProblemsLeaveEverythingAsItWas) {
    CacheHarness h;
    h.state.flags.reachedEnd = 1;
    WriteFile(h.dir / "local/a.txt", "a", 1'000'000'000);

    WriteFile(h.dir / "CACHE", "a file, not a directory");
    EXPECT_EQ(SaveChangeCache(h.ctx), 0);
    EXPECT_EQ(ReadFile(h.dir / "CACHE"), "a file, not a directory");
    EXPECT_EQ(LoadChangeCache(h.ctx), 0);
    fs::remove(h.dir / "CACHE");

    // The profile's path is taken by a directory: the file cannot replace it.
    fs::create_directories(h.cachePath("web"));
    EXPECT_EQ(SaveChangeCache(h.ctx), 0);
    EXPECT_TRUE(fs::is_directory(h.cachePath("web")));
    EXPECT_EQ(SortedNames(h.dir / "CACHE"), std::vector<std::string>{"web"});
    fs::remove(h.cachePath("web"));

    // A symbolic link in its place is replaced, never written through.
    WriteFile(h.dir / "target", "keep me");
    fs::create_symlink(h.dir / "target", h.cachePath("web"));
    EXPECT_EQ(SaveChangeCache(h.ctx), 1);
    EXPECT_EQ(ReadFile(h.dir / "target"), "keep me");
    EXPECT_FALSE(fs::is_symlink(h.cachePath("web")));

    // Nor is a link read through: it may point at another profile's valid file.
    fs::remove(h.cachePath("web"));
    fs::create_directories(h.dir / "other");
    ASSERT_EQ(WriteChangeCacheFile(h.dir / "other", "web", {{"a.txt", 1}}), 1);
    fs::create_symlink(h.dir / "other/CACHE/web", h.cachePath("web"));
    EXPECT_EQ(LoadChangeCache(h.ctx), 0);

    // A link in CACHE's place is not followed.
    fs::remove_all(h.dir / "CACHE");
    fs::create_directories(h.dir / "elsewhere");
    fs::create_directory_symlink(h.dir / "elsewhere", h.dir / "CACHE");
    EXPECT_EQ(SaveChangeCache(h.ctx), 0);
    EXPECT_EQ(SortedNames(h.dir / "elsewhere"), std::vector<std::string>{});

    // Nor is a link in the log's place: the log goes on without its file.
    WriteFile(h.dir / "victim", "keep me too");
    fs::create_symlink(h.dir / "victim", h.dir / "Kestrum.log");
    RunLog log(h.port);
    EXPECT_FALSE(log.Open(h.dir.path()));
    EXPECT_EQ(ReadFile(h.dir / "victim"), "keep me too");

    // The program directory does not exist: CACHE cannot be made.
    h.state.settings.programDir = h.dir / "nowhere/deeper";
    EXPECT_EQ(SaveChangeCache(h.ctx), 0);
    EXPECT_FALSE(fs::exists(h.dir / "nowhere"));
}

TEST(ChangeCacheFile, AFailedWriteKeepsThePreviousFile) {
    CacheHarness h;
    h.state.flags.reachedEnd = 1;
    WriteFile(h.dir / "local/a.txt", "a", 1'000'000'000);
    h.ActOnAll();
    ASSERT_EQ(SaveChangeCache(h.ctx), 1);
    const std::string before = ReadFile(h.cachePath("web"));

    for (int i = 0; i < 20; ++i)
        WriteFile(h.dir / ("local/f" + std::to_string(i)), "x", 1'000'000'100);
    h.ActOnAll();
    // A file-size limit makes the write fail part-way, as a full disk would.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const int result = SaveChangeCache(h.ctx);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(h.cachePath("web")), before);
    EXPECT_EQ(SortedNames(h.dir / "CACHE"), (std::vector<std::string>{"web", "web.kestrum-cache-state"}))
        << "the partial file is removed";
    EXPECT_TRUE(h.state.results.cacheFiles.empty());
}

// The side file gives back every byte a file name may hold, skips the lines it
// cannot read, and is no file of ours when missing or foreign.
TEST(CacheStateFile, RoundTripsAnyNameAndSkipsWhatItCannotRead) {
    TempDir dir;
    CacheState state;
    state.place = "ftp://u@h:21/dir\twith\\odd\nbytes\xfe";
    const std::vector<std::string> names = {"tab\there",        "line\nbreak\r",   "back\\slash\\x41",
                                            "bad\xff\xc3(byte", "日本語/名前.txt", "plain"};
    int64_t n = 0;
    for (const std::string& name : names) {
        ++n;
        state.records[name] = SyncRecord{n % 2 == 0, 1'700'000'000 + n, n * 100, -n, -1, static_cast<int>(n % 3)};
    }
    ASSERT_TRUE(WriteCacheState(dir.path(), "w", state));
    const std::string path = CacheStatePath(dir.path(), "w");
    EXPECT_GT(fs::path(path).filename().string().size(), 20u);
    std::string text = ReadFile(path);
    text +=
        "garbage\nu\t1\t2\nu\tx\t1\t1\t1\t0\tnot-a-number\nu\t1\t2\t3\t4\t7\tbad-precision\nd\t1\t2\t3\t4\t0\tbad\\q\n";
    text += "d\t5\t6\t7\t8\t1\ta later field\tlater.txt\n";
    WriteFile(path, text);

    auto show = [](const CacheState& s) {
        std::string out = s.place + "|";
        for (const auto& [name, r] : s.records)
            out += name + "=" + (r.upload ? "u" : "d") + std::to_string(r.localTime) + "," +
                   std::to_string(r.localSize) + "," + std::to_string(r.serverTime) + "," +
                   std::to_string(r.serverSize) + "," + std::to_string(r.precision) + ";";
        return out;
    };
    CacheState expected = state;
    expected.records["later.txt"] = SyncRecord{false, 5, 6, 7, 8, 1};
    CacheState read;
    ASSERT_TRUE(ReadCacheState(path, read));
    EXPECT_EQ(show(read), show(expected));

    // Missing, or another file (the binary cache): nothing.
    EXPECT_FALSE(ReadCacheState(dir / "CACHE/none.kestrum-cache-state", read));
    EXPECT_EQ(show(read), "|");
    ASSERT_EQ(WriteChangeCacheFile(dir.path(), "w", {FileEntry{"a.txt", 1}}), 1);
    EXPECT_FALSE(ReadCacheState(dir / "CACHE/w", read));
    EXPECT_EQ(show(read), "|");
}

// One place gives one string however the profile spells it; another place another.
TEST(CacheStateFile, PlacesAreEqualExactlyWhenTheyAreTheSame) {
    struct Case {
        int security;
        const char* host;
        uint16_t port;
        const char* user;
        const char* dir;
    };
    const Case base{0, "h", 2121, "u", "/pub"};
    const std::vector<std::pair<Case, bool>> cases = {
        {{0, "h:2121", 21, "u", "/pub"}, true}, {{0, "H:2121", 0, "u", "/pub/"}, true},
        {{0, "h", 0, "u", "/pub"}, false},                                               // port 21
        {{1, "h:2121", 0, "u", "/pub"}, false},                                          // explicit TLS
        {{0, "h:2121", 0, "U", "/pub"}, false}, {{0, "h:2121", 0, "u", "/Pub"}, false},  // server paths keep their case
        {{0, "h:2121", 0, "u", "pub"}, false},                                           // below the login directory
        {{0, "h:2121", 0, "u", "\\pub"}, true},
    };
    auto place = [](const Case& c) { return CachePlace(c.security, c.host, c.port, c.user, c.dir); };
    for (const auto& [other, same] : cases)
        EXPECT_EQ(place(other) == place(base), same) << place(other);
    EXPECT_EQ(CachePlace(0, "::1", 0, "u", "/"), CachePlace(0, "[::1]:21", 0, "u", "//"));
    EXPECT_EQ(CachePlace(2, "h", 0, "u", ""), CachePlace(2, "h:990", 21, "u", ""));
    EXPECT_NE(CachePlace(0, "h", 0, "u", ""), CachePlace(0, "h", 0, "u", "/"));
    EXPECT_NE(CachePlace(0, "c", 0, "a@b", "/"), CachePlace(0, "b@c", 0, "a", "/"));
}

}  // namespace
}  // namespace kestrum::test
