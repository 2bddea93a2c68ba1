#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "engine/run_cache.h"
#include "res/codepage.h"
#include "tests/engine/cache_harness.h"
#include "tests/support/run_harness.h"

namespace kestrum::test {
namespace {

constexpr int64_t T = 1'600'000'000;

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

TEST(ChangeDetection, WhatIsLeftDecidesTheResult) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const struct {
        FileList cache, local;
        int result;
        std::vector<std::string> left;
    } cases[] = {
        {{{"a.html", T}, {"b.html", T}}, {{"a.html", T}, {"b.html", T - 1}}, 0, {}},
        {{{"a.html", T}}, {}, 0, {}},          // an empty local tree
        {{}, {{"a.html", T}}, 1, {"a.html"}},  // an empty cache keeps everything
        // Names match exactly: another letter case is another file.
        {{{"A.TXT", T + 100}, {"a.txt", T + 100}}, {{"a.txt", T}}, 0, {}},
        {{{"A.TXT", T + 100}, {"Ärger/Readme.TXT", T}},
         {{"a.txt", T}, {"Ärger/readme.txt", T}, {"Ärger/Readme.TXT", T}},
         1,
         {"a.txt", "Ärger/readme.txt"}},
        // A record more than a day ahead of the clock is not believed.
        {{{"a.html", now + 3600}, {"b.html", now + 2 * 86400}}, {{"a.html", T}, {"b.html", T}}, 1, {"b.html"}},
    };
    for (const auto& c : cases) {
        CacheHarness h;
        h.state.results.cacheFiles = c.cache;
        h.state.results.localFiles = c.local;
        EXPECT_EQ(DetectLocalChanges(h.ctx), c.result) << testing::PrintToString(c.left);
        EXPECT_EQ(Names(h.state.results.localFiles), c.left);
    }
}

}  // namespace
}  // namespace kestrum::test
