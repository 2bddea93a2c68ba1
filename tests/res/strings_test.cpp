#include "res/strings.h"

#include <gtest/gtest.h>

#include <string>

#include "res/codepage.h"

namespace kestrum {
namespace {

TEST(StringTable, UnknownIdGivesEmptyText) {
    for (int id : {0, -1, 99, 101, 42776, 42784, 42821, 57670, 59999, 99999}) {
        EXPECT_TRUE(StringUtf8(id).empty()) << id;
        EXPECT_TRUE(LoadString(id).empty()) << id;
        EXPECT_TRUE(FormatString(id, {"x"}).empty()) << id;
    }
}

TEST(StringTable, SortedUniqueWellFormedAndCp932Safe) {
    for (size_t i = 0; i < kStringTableSize; ++i) {
        const StringEntry& e = kStringTable[i];
        ASSERT_NE(e.utf8, nullptr) << e.id;
        EXPECT_FALSE(std::string_view(e.utf8).empty()) << e.id;
        EXPECT_TRUE(IsValidText(e.utf8, CodePage::Utf8)) << e.id;
        EXPECT_TRUE(i == 0 || kStringTable[i - 1].id < e.id) << "not sorted or repeated at index " << i;
        EXPECT_EQ(StringUtf8(e.id), e.utf8) << e.id;
        // The texts are shown under a Shift_JIS locale too: none may lose a character there.
        const std::string sjis = FromUtf8(e.utf8, CodePage::Cp932);
        EXPECT_TRUE(IsValidText(sjis, CodePage::Cp932)) << e.id;
        EXPECT_EQ(ToUtf8(sjis, CodePage::Cp932), e.utf8) << e.id;
        // FormatText knows "%s", "%d" and "%%" only.
        const std::string_view text(e.utf8);
        for (size_t at = text.find('%'); at != std::string_view::npos; at = text.find('%', at + 2)) {
            EXPECT_TRUE(at + 1 < text.size() && std::string_view("sd%").find(text[at + 1]) != std::string_view::npos)
                << e.id << ": " << e.utf8;
        }
    }
}

TEST(FormatText, PlaceholderRules) {
    EXPECT_EQ(FormatText("%s and %d", {"a", "7"}), "a and 7");
    EXPECT_EQ(FormatText("%d%%", {"50"}), "50%");
    EXPECT_EQ(FormatText("100%% %s", {"x"}), "100% x");
    // Missing arguments leave the placeholder empty; extra ones are ignored.
    EXPECT_EQ(FormatText("[%s|%s]", {"one"}), "[one|]");
    EXPECT_EQ(FormatText("[%s]", {}), "[]");
    EXPECT_EQ(FormatText("[%s]", {"a", "b", "c"}), "[a]");
    // Other sequences and a trailing "%" pass through.
    EXPECT_EQ(FormatText("%x %", {"a"}), "%x %");
    // An argument is inserted as it is, never expanded again.
    EXPECT_EQ(FormatText("%s-%s", {"%s%d%%", "b"}), "%s%d%%-b");
    EXPECT_EQ(FormatText("", {"a"}), "");
}

TEST(LoadString, FollowsTheSystemCodePage) {
    EXPECT_EQ(LoadString(42802), StringUtf8(42802));
    EXPECT_EQ(LoadString(57690), StringUtf8(57690));
    SetSystemCodePage(CodePage::Cp932);
    // "\tサーバー\t\t\t： %s"
    EXPECT_EQ(LoadString(42811), "\t\x83\x54\x81\x5B\x83\x6F\x81\x5B\t\t\t\x81\x46 %s");
    // "\エラー!\t..." keeps its single leading backslash.
    EXPECT_EQ(LoadString(57673).substr(0, 9), "\x5C\x83\x47\x83\x89\x81\x5B!\t");
    EXPECT_EQ(LoadString(42779), "Kestrum");
    // A CP932 argument whose trail byte is 0x5C ("表示") is inserted unchanged.
    EXPECT_EQ(FormatString(42802, {"\x95\x5C\x8E\xA6"}),
              "\x83\x76\x83\x8D\x83\x74\x83\x40\x83\x43\x83\x8B \"\x95\x5C\x8E\xA6\" "
              "\x82\xC5"
              "FTP\x82\xF0\x8A\x4A\x8E\x6E\x82\xB5\x82\xDC\x82\xB7\x81\x42");
    EXPECT_TRUE(LoadString(42784).empty());
    SetSystemCodePage(CodePage::Utf8);
}

}  // namespace
}  // namespace kestrum
