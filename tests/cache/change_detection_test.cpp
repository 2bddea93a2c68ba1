#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/run_cache.h"
#include "res/codepage.h"
#include "tests/cache/cache_harness.h"

namespace kestrum::test {
namespace {

constexpr int64_t T = 1'600'000'000;

std::vector<std::string> Names(const FileList& list) {
    std::vector<std::string> names;
    for (const FileEntry& e : list)
        names.push_back(e.name);
    return names;
}

TEST(ChangeDetection, KeepsNewAndStrictlyNewerFilesInScanOrder) {
    CacheHarness h;
    h.state.cacheFiles = {{"same.html", T},  {"touched.html", T},  {"restored.html", T},
                          {"Index.html", T}, {"sub/page.html", T}, {"gone.html", T}};
    h.state.localFiles = {
        {"touched.html", T + 1},   {"same.html", T},     {"new.html", T - 1000},
        {"restored.html", T - 60}, {"index.html", T},    {"page.html", T},
        {"other/page.html", T},    {"SUB/PAGE.HTML", T}, {"sub/page.html", T + 5, Direction::Download, 1}};

    ASSERT_EQ(DetectLocalChanges(h.ctx), 1);
    EXPECT_EQ(Names(h.state.localFiles),
              (std::vector<std::string>{"touched.html", "new.html", "page.html", "other/page.html", "sub/page.html"}));
    EXPECT_EQ(h.state.localFiles[0].lastWriteTime, T + 1);
    // A kept entry is a fresh scan record.
    EXPECT_EQ(h.state.localFiles[4].lastWriteTime, T + 5);
    EXPECT_EQ(h.state.localFiles[4].direction, Direction::None);
    EXPECT_EQ(h.state.localFiles[4].matched, 0);
    EXPECT_EQ(h.state.cacheFiles.size(), 6u) << "the cache list is not changed";
}

TEST(ChangeDetection, NothingLeftReturnsZero) {
    CacheHarness h;
    h.state.cacheFiles = {{"a.html", T}, {"b.html", T}};
    h.state.localFiles = {{"a.html", T}, {"B.HTML", T - 1}};
    EXPECT_EQ(DetectLocalChanges(h.ctx), 0);
    EXPECT_TRUE(h.state.localFiles.empty());

    h.state.localFiles.clear();
    EXPECT_EQ(DetectLocalChanges(h.ctx), 0) << "an empty local tree";

    // An empty cache keeps everything.
    h.state.cacheFiles.clear();
    h.state.localFiles = {{"a.html", T}};
    EXPECT_EQ(DetectLocalChanges(h.ctx), 1);
    EXPECT_EQ(h.state.localFiles.size(), 1u);
}

TEST(ChangeDetection, FirstMatchingCacheEntryWins) {
    CacheHarness h;
    h.state.cacheFiles = {{"a.txt", T + 100}, {"A.TXT", T - 100}};
    h.state.localFiles = {{"a.txt", T}};
    EXPECT_EQ(DetectLocalChanges(h.ctx), 0);

    h.state.cacheFiles = {{"A.TXT", T - 100}, {"a.txt", T + 100}};
    h.state.localFiles = {{"a.txt", T}};
    EXPECT_EQ(DetectLocalChanges(h.ctx), 1);
}

TEST(ChangeDetection, DoubleByteCharactersAreComparedWhole) {
    CacheHarness h;
    const CodePage saved = SystemCodePage();
    SetSystemCodePage(CodePage::Cp932);
    // Two different CP932 characters whose trail bytes are "a" and "A".
    h.state.cacheFiles = {{"\x83\x41.txt", T}, {"\x83\x62.TXT", T}};
    h.state.localFiles = {{"\x83\x61.txt", T}, {"\x83\x62.txt", T}};
    const int result = DetectLocalChanges(h.ctx);
    SetSystemCodePage(saved);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Names(h.state.localFiles), std::vector<std::string>{"\x83\x61.txt"});

    // UTF-8: ASCII letters fold, other characters compare byte for byte.
    h.state.cacheFiles = {{"Ärger/Readme.TXT", T}};
    h.state.localFiles = {{"Ärger/readme.txt", T}, {"ärger/readme.txt", T}};
    EXPECT_EQ(DetectLocalChanges(h.ctx), 1);
    EXPECT_EQ(Names(h.state.localFiles), std::vector<std::string>{"ärger/readme.txt"});
}

}  // namespace
}  // namespace kestrum::test
