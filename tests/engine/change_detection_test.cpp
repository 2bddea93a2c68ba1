#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/run_cache.h"
#include "res/codepage.h"
#include "tests/engine/cache_harness.h"

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
    h.state.results.cacheFiles = {{"same.html", T},  {"touched.html", T},  {"restored.html", T},
                                  {"Index.html", T}, {"sub/page.html", T}, {"gone.html", T}};
    h.state.results.localFiles = {
        {"touched.html", T + 1},   {"same.html", T},     {"new.html", T - 1000},
        {"restored.html", T - 60}, {"index.html", T},    {"page.html", T},
        {"other/page.html", T},    {"SUB/PAGE.HTML", T}, {"sub/page.html", T + 5, Direction::Download, 1}};

    ASSERT_EQ(DetectLocalChanges(h.ctx), 1);
    // Names in another letter case are other files: kept.
    EXPECT_EQ(Names(h.state.results.localFiles),
              (std::vector<std::string>{"touched.html", "new.html", "index.html", "page.html", "other/page.html",
                                        "SUB/PAGE.HTML", "sub/page.html"}));
    EXPECT_EQ(h.state.results.localFiles[0].lastWriteTime, T + 1);
    // A kept entry is a fresh scan record.
    EXPECT_EQ(h.state.results.localFiles[6].lastWriteTime, T + 5);
    EXPECT_EQ(h.state.results.localFiles[6].direction, Direction::None);
    EXPECT_EQ(h.state.results.localFiles[6].matched, 0);
    EXPECT_EQ(h.state.results.cacheFiles.size(), 6u) << "the cache list is not changed";
}

TEST(ChangeDetection, NothingLeftReturnsZero) {
    CacheHarness h;
    h.state.results.cacheFiles = {{"a.html", T}, {"b.html", T}};
    h.state.results.localFiles = {{"a.html", T}, {"b.html", T - 1}};
    EXPECT_EQ(DetectLocalChanges(h.ctx), 0);
    EXPECT_TRUE(h.state.results.localFiles.empty());

    h.state.results.localFiles.clear();
    EXPECT_EQ(DetectLocalChanges(h.ctx), 0) << "an empty local tree";

    // An empty cache keeps everything.
    h.state.results.cacheFiles.clear();
    h.state.results.localFiles = {{"a.html", T}};
    EXPECT_EQ(DetectLocalChanges(h.ctx), 1);
    EXPECT_EQ(h.state.results.localFiles.size(), 1u);
}

// Names are matched as they are: on this system a name in another letter case
// is another file, and its record says nothing about this one.
TEST(ChangeDetection, RecordsAreMatchedByTheExactName) {
    CacheHarness h;
    h.state.results.cacheFiles = {{"A.TXT", T + 100}, {"a.txt", T + 100}};
    h.state.results.localFiles = {{"a.txt", T}};
    EXPECT_EQ(DetectLocalChanges(h.ctx), 0);

    h.state.results.cacheFiles = {{"A.TXT", T + 100}, {"Ärger/Readme.TXT", T}};
    h.state.results.localFiles = {{"a.txt", T}, {"Ärger/readme.txt", T}, {"Ärger/Readme.TXT", T}};
    EXPECT_EQ(DetectLocalChanges(h.ctx), 1);
    EXPECT_EQ(Names(h.state.results.localFiles), (std::vector<std::string>{"a.txt", "Ärger/readme.txt"}));
}

}  // namespace
}  // namespace kestrum::test
