// The pure rules of planning: time band, prefixes, paths, name checks, the index.
#include <gtest/gtest.h>

#include "engine/planning_rules.h"
#include "res/codepage.h"

namespace kestrum {
namespace {

TEST(PlanningRules, TimeBandIncludesBothBounds) {
    const int64_t L = 1'700'000'000;
    // Lag 3, offset 0: 180 s either way copies nothing, 181 s copies.
    EXPECT_FALSE(ShouldDownload(L + 180, L, 0, 3));
    EXPECT_TRUE(ShouldDownload(L + 181, L, 0, 3));
    EXPECT_FALSE(ShouldUpload(L - 180, L, 0, 3));
    EXPECT_TRUE(ShouldUpload(L - 181, L, 0, 3));
    for (int64_t d = -180; d <= 180; d += 30) {
        EXPECT_FALSE(ShouldDownload(L + d, L, 0, 3)) << d;
        EXPECT_FALSE(ShouldUpload(L + d, L, 0, 3)) << d;
    }
    // Offset -600 (server ten minutes behind): a local 10:00 stands for 09:50 on
    // the server; 09:53:00 is inside the band, 09:53:01 is newer.
    const int64_t ten = 36000;
    EXPECT_FALSE(ShouldDownload(ten - 600 + 180, ten, -600, 3));
    EXPECT_TRUE(ShouldDownload(ten - 600 + 181, ten, -600, 3));
    // Offset +3600: local 10:00 is 11:00 on the server, so a server copy listed
    // 10:30 is older and the local file goes up.
    EXPECT_TRUE(ShouldUpload(ten + 1800, ten, 3600, 3));
    EXPECT_FALSE(ShouldDownload(ten + 1800, ten, 3600, 3));
    // Lag 100 minutes; times beyond 32 bits.
    const int64_t far = int64_t{1} << 40;
    EXPECT_FALSE(ShouldDownload(far + 6000, far, 0, 100));
    EXPECT_TRUE(ShouldDownload(far + 6001, far, 0, 100));
    EXPECT_TRUE(ShouldUpload(far - 6001, far, 0, 100));
}

// A time known only to its day needs the hour only when the hour could decide.
TEST(PlanningRules, AListedDayLeavesTheDecisionOpenOnlyAroundTheLocalTime) {
    const int64_t day = 1'700'006'400;  // a midnight
    EXPECT_TRUE(DayLeavesDecisionOpen(day, day + 43200, 0, 3, true, false));
    EXPECT_TRUE(DayLeavesDecisionOpen(day, day + 43200 + 2 * 86400, -2 * 86400, 3, false, true));
    EXPECT_FALSE(DayLeavesDecisionOpen(day, day + 3 * 86400, 0, 3, true, true));
    // Just before the day: no upload whatever the hour, but a download depends on it.
    EXPECT_FALSE(DayLeavesDecisionOpen(day, day - 60, 0, 3, true, false));
    EXPECT_TRUE(DayLeavesDecisionOpen(day, day - 60, 0, 3, false, true));
}

TEST(PlanningRules, PrefixesAndPaths) {
    EXPECT_EQ(DirectoryPrefixes("a/b/c.txt", '/'), (std::vector<std::string>{"a", "a/b"}));
    EXPECT_TRUE(DirectoryPrefixes("c.txt", '/').empty());
    EXPECT_EQ(TopLevelDirectory("a/b/c.txt"), "a");
    EXPECT_EQ(TopLevelDirectory("c.txt"), "");

    EXPECT_EQ(LocalPathOf("/data", "sub/file.txt"), "/data/sub/file.txt");
    EXPECT_EQ(LocalPathOf("/data/", "sub/file.txt"), "/data/sub/file.txt");
    EXPECT_EQ(LocalPathOf("/", "a"), "/a");
    EXPECT_EQ(LocalPathOf("/data", "sub\\file.txt"), "/data/sub/file.txt");
    EXPECT_EQ(LocalPathOf("/home/a\\b", "sub/file.txt"), "/home/a\\b/sub/file.txt");  // the home stays

    // CP932: the trail byte 0x5C of 0x95 0x5C is no separator.
    const CodePage before = SystemCodePage();
    SetSystemCodePage(CodePage::Cp932);
    const std::string hyou = "\x95\x5C";
    EXPECT_TRUE(DirectoryPrefixes(hyou + ".txt", '\\').empty());
    EXPECT_EQ(DirectoryPrefixes(hyou + "\\x.txt", '\\'), (std::vector<std::string>{hyou}));
    EXPECT_EQ(LocalPathOf("/d", hyou + "\\x.txt"), "/d/" + hyou + "/x.txt");
    EXPECT_FALSE(IsSafeServerName(hyou + "\\x.txt"));
    EXPECT_TRUE(IsSafeServerName(hyou + ".txt"));
    SetSystemCodePage(before);
}

TEST(PlanningRules, SafeServerNames) {
    for (const char* ok : {"a.txt", "docs/index.html", "a b/c", "..x", "x..", ".profile"}) {
        EXPECT_TRUE(IsSafeServerName(ok)) << ok;
    }
    for (const std::string& bad : {std::string(""), std::string("/etc/passwd"), std::string("a//b"), std::string("a/"),
                                   std::string("."), std::string(".."), std::string("../x"), std::string("a/../../x"),
                                   std::string("a/./b"), std::string("a\\b"), std::string("a\0b", 3)}) {
        EXPECT_FALSE(IsSafeServerName(bad)) << PrintableName(bad);
    }
    EXPECT_EQ(PrintableName(std::string("a\0b\n", 4)), "a?b?");
}

TEST(PlanningRules, EnclosingDirectories) {
    EXPECT_TRUE(IsAtOrBelow("sub/a.txt", "sub"));
    EXPECT_TRUE(IsAtOrBelow("SUB/deep/a.txt", "sub"));
    EXPECT_TRUE(IsAtOrBelow("sub", "sub"));
    EXPECT_FALSE(IsAtOrBelow("subway/a.txt", "sub"));
    EXPECT_FALSE(IsAtOrBelow("su", "sub"));
    EXPECT_TRUE(IsAtOrBelow("anything", ""));
    const std::vector<std::string> dirs = {"x/y", "q"};
    EXPECT_EQ(FindEnclosingDirectory("x/y/z.txt", dirs), &dirs[0]);
    EXPECT_EQ(FindEnclosingDirectory("Q/r.txt", dirs), &dirs[1]);
    EXPECT_EQ(FindEnclosingDirectory("x/z.txt", dirs), nullptr);
}

TEST(PlanningRules, NameMatcherTakesTheSameNameFirstAndFoldsOnlyWhenUnambiguous) {
    auto list = [](std::initializer_list<const char*> names) {
        FileList l;
        for (const char* n : names)
            l.push_back(FileEntry{n, 0});
        return l;
    };
    const FileList own = list({"Data.bin", "data.bin", "Sub/B.txt", "other", "x.txt", "Y.txt"});
    const FileList other = list({"Data.bin", "DATA.BIN", "sub/b.TXT", "Other", "X.TXT", "Y.txt", "y.txt"});
    const NameMatcher matcher(own, other);
    const struct {
        const char* name;
        long index;
        bool ambiguous;
    } cases[] = {
        {"Data.bin", 0, false},   // the same name wins over its variants
        {"data.bin", -1, true},   // two variants on each side
        {"Sub/B.txt", 2, false},  // one variant each side: folded
        {"other", 3, false},     {"x.txt", 4, false},       {"Y.txt", 5, false},
        {"missing", -1, false},  {"sub\\b.txt", -1, false},  // separators are not folded
    };
    for (const auto& c : cases) {
        const NameMatcher::Match m = matcher.Find(c.name);
        EXPECT_EQ(m.index, c.index) << c.name;
        EXPECT_EQ(m.ambiguous, c.ambiguous) << c.name;
    }
    // The other way round: "y.txt" is one of two variants on its own side.
    EXPECT_TRUE(NameMatcher(other, own).Find("y.txt").ambiguous);
    EXPECT_EQ(NameMatcher(other, own).Find("DATA.BIN").index, -1);
}

}  // namespace
}  // namespace kestrum
