#include "res/codepage.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

namespace kestrum {
namespace {

constexpr CodePage kUtf8 = CodePage::Utf8;
constexpr CodePage kSjis = CodePage::Cp932;

// CP932 characters whose trail byte is an ASCII byte that a byte-wise routine would touch.
const std::string kHyo = "\x95\x5C";            // 表: trail "\"
const std::string kSo = "\x83\x5C";             // ソ: trail "\"
const std::string kFullB = "\x82\x61";          // Ｂ: trail "a"
const std::string kDi = "\x83\x61";             // ヂ: trail "a"
const std::string kHo = "\x83\x7A";             // ホ: trail "z"
const std::string kHalfA = "\xB1";              // ｱ: one byte
const std::string kHyoji = "\x95\x5C\x8E\xA6";  // 表示

TEST(CodePage, CharLength) {
    // A lead byte cut off at the end of the text stays inside it. A lead byte not
    // followed by a valid continuation is a character of its own, so the ASCII byte
    // after it is still seen ("/" is never a UTF-8 continuation nor a CP932 trail byte).
    const std::tuple<std::string, CodePage, size_t> cases[] = {
        {"a", kUtf8, 1},      {"é", kUtf8, 2},      {"表", kUtf8, 3},       {"😀", kUtf8, 4},
        {kHyo, kSjis, 2},     {kHalfA, kSjis, 1},   {"\xE8\xA1", kUtf8, 2}, {"\x95", kSjis, 1},
        {"\xE9/x", kUtf8, 1}, {"\xC3\\", kUtf8, 1}, {"\x95/", kSjis, 1}};
    for (const auto& [text, cp, length] : cases)
        EXPECT_EQ(CharLength(text, 0, cp), length) << text;
}

TEST(CodePage, UpperAsciiLeavesMultibyteCharactersIntact) {
    EXPECT_EQ(UpperAscii("aZ09_-.~", kUtf8), "AZ09_-.~");
    EXPECT_EQ(UpperAscii("データ/file.htm", kUtf8), "データ/FILE.HTM");
    EXPECT_EQ(UpperAscii("ä.txt", kUtf8), "ä.TXT");  // only ASCII letters fold
    // CP932: trail bytes "a" and "z" are not letters there.
    EXPECT_EQ(UpperAscii(kFullB + "b" + kDi + kHo + "z", kSjis), kFullB + "B" + kDi + kHo + "Z");
    EXPECT_EQ(UpperAscii(kHyo + "a" + kSo + ".txt", kSjis), kHyo + "A" + kSo + ".TXT");
    EXPECT_EQ(UpperAscii(kHalfA + "x", kSjis), kHalfA + "X");
    // Letters after a stray UTF-8 lead byte are still letters.
    EXPECT_EQ(UpperAscii(std::string("\xE9") + "abc", kUtf8), std::string("\xE9") + "ABC");
    // The default code page argument follows the system code page.
    SetSystemCodePage(kSjis);
    EXPECT_EQ(SystemCodePage(), kSjis);
    EXPECT_EQ(UpperAscii(kDi + "a"), kDi + "A");
    SetSystemCodePage(kUtf8);
    EXPECT_EQ(SystemCodePage(), kUtf8);
}

TEST(CodePage, EqualsIgnoreCaseAndFoldKey) {
    EXPECT_TRUE(EqualsIgnoreCase("Index.HTML", "index.html", kUtf8));
    EXPECT_TRUE(EqualsIgnoreCase("", "", kUtf8));
    EXPECT_FALSE(EqualsIgnoreCase("index.htm", "index.html", kUtf8));
    EXPECT_FALSE(EqualsIgnoreCase("a_b", "a-b", kUtf8));
    EXPECT_TRUE(EqualsIgnoreCase("写真/Photo.JPG", "写真/photo.jpg", kUtf8));
    EXPECT_FALSE(EqualsIgnoreCase("Ä", "ä", kUtf8));
    // CP932: Ｂ (82 61) and 82 41 differ although their trail bytes fold together.
    EXPECT_FALSE(EqualsIgnoreCase(kFullB, "\x82\x41", kSjis));
    EXPECT_FALSE(EqualsIgnoreCase(kDi, "\x83\x41", kSjis));
    EXPECT_TRUE(EqualsIgnoreCase(kDi + "abc", kDi + "ABC", kSjis));
    EXPECT_NE(FoldKey(kDi, kSjis), FoldKey("\x83\x41", kSjis));
    EXPECT_EQ(FoldKey(kHyo + "x.Txt", kSjis), FoldKey(kHyo + "X.tXT", kSjis));
}

// Finding and converting separators skips trail bytes.
TEST(CodePage, SeparatorsSkipTrailBytes) {
    const std::string s = "a\\" + kHyo + "b" + kSo;
    EXPECT_EQ(FindLastChar(s, '\\', kSjis), 1u);
    EXPECT_EQ(FindFirstChar(kHyo + "\\", '\\', kSjis), 2u);
    EXPECT_EQ(FindFirstChar(kHyo + kSo, '\\', kSjis), std::string::npos);
    EXPECT_EQ(FindLastChar("a/b/c", '/', kUtf8), 3u);
    EXPECT_EQ(FindFirstChar("a/b/c", '/', kUtf8), 1u);
    EXPECT_EQ(FindLastChar("", '/', kUtf8), std::string::npos);
    EXPECT_EQ(FindLastChar("\xE9/x", '/', kUtf8), 1u);
    for (auto [text, direction, converted] : {std::tuple<std::string, int, std::string>{"dir\\sub\\f", 0, "dir/sub/f"},
                                              {"dir\\sub/f", 1, "dir/sub/f"},
                                              {"表\\ソ\\x", 0, "表/ソ/x"}}) {
        ConvertSeparators(text, direction, kUtf8);
        EXPECT_EQ(text, converted);
    }
    // CP932: the trail byte 5C of 表 and ソ stays, the real separators change.
    for (int direction : {0, 1}) {
        std::string path = kHyo + "\\" + kSo + "\\" + kHyoji + "\\a" + kSo;
        ConvertSeparators(path, direction, kSjis);
        EXPECT_EQ(path, kHyo + "/" + kSo + "/" + kHyoji + "/a" + kSo) << direction;
    }
    std::string only = kHyo + kSo;
    ConvertSeparators(only, 0, kSjis);
    EXPECT_EQ(only, kHyo + kSo);
}

TEST(CodePage, ExtensionOf) {
    // After the last dot, not upper-cased; a dot before a separator does not count.
    const std::pair<const char*, const char*> cases[] = {{"index.html", "html"},
                                                         {"a.b.TXT", "TXT"},
                                                         {"sub/page.htm", "htm"},
                                                         {"a.b\\c", ""},
                                                         {"c", ""},
                                                         {"c.", ""},
                                                         {".profile", "profile"},
                                                         {"old.d/readme", ""},
                                                         {"", ""},
                                                         {"写真.jpg", "jpg"},
                                                         {"x.表", "表"}};
    for (const auto& [name, extension] : cases)
        EXPECT_EQ(ExtensionOf(name, kUtf8), extension) << name;
    // CP932: a 5C trail byte after the dot is not a separator.
    EXPECT_EQ(ExtensionOf("a." + kHyo, kSjis), kHyo);
    EXPECT_EQ(ExtensionOf(kSo + ".txt", kSjis), "txt");
    EXPECT_EQ(ExtensionOf("a.b\\" + kSo, kSjis), "");
    EXPECT_EQ(ExtensionOf("d." + kSo + "/readme", kSjis), "");
}

TEST(CodePage, CutToBytesNeverSplitsACharacter) {
    // "日本語" is 9 bytes in UTF-8.
    const std::tuple<const char*, size_t, const char*> cases[] = {
        {"abcdef", 4, "abcd"}, {"abc", 10, "abc"},    {"abc", 0, ""},    {"日本語", 9, "日本語"}, {"日本語", 8, "日本"},
        {"日本語", 7, "日本"}, {"日本語", 6, "日本"}, {"日本語", 2, ""}, {"a日", 3, "a"},         {"ab😀", 5, "ab"}};
    for (const auto& [text, bytes, cut] : cases)
        EXPECT_EQ(CutToBytes(text, bytes, kUtf8), cut) << text << " " << bytes;
    const std::string s = "a" + kHyo + kSo + kHalfA + kDi;  // 1 + 2 + 2 + 1 + 2 bytes
    for (auto [bytes, kept] : {std::pair<size_t, size_t>{8, 8}, {7, 6}, {6, 6}, {5, 5}, {4, 3}, {2, 1}})
        EXPECT_EQ(CutToBytes(s, bytes, kSjis), s.substr(0, kept)) << bytes;
    // 20-byte profile names: ten double-byte characters fit, the eleventh is dropped whole.
    std::string name = "x";
    for (int i = 0; i < 10; ++i)
        name += kHyo;
    EXPECT_EQ(CutToBytes(name, 20, kSjis).size(), 19u);
}

TEST(CodePage, ConversionsBetweenCp932AndUtf8) {
    const std::string utf8 = "表示ソフト/ﾃｽﾄ～データ\\file.txt";
    // Both ways, with half-width katakana and the 5C trail bytes of 表 and ソ.
    const std::string sjis = FromUtf8(utf8, kSjis);
    EXPECT_EQ(sjis.substr(0, 4), kHyoji);
    EXPECT_EQ(ToUtf8(sjis, kSjis), utf8);
    // UTF-8 to UTF-8 is the identity for valid text.
    EXPECT_EQ(ToUtf8(utf8, kUtf8), utf8);
    EXPECT_EQ(FromUtf8(utf8, kUtf8), utf8);
    EXPECT_EQ(ToUtf8("", kSjis), "");
    // What can't be converted becomes one replacement per character; the rest is kept.
    EXPECT_EQ(FromUtf8("a😀b", kSjis), "a?b");
    EXPECT_EQ(FromUtf8("é表", kSjis), "?" + kHyo);
    const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
    EXPECT_EQ(ToUtf8("a\x80-", kSjis), "a" + bad + "-");
    EXPECT_EQ(ToUtf8("a\xFF-", kUtf8), "a" + bad + "-");
    EXPECT_EQ(ToUtf8("\x95", kSjis), bad);                 // lead byte at the end
    EXPECT_EQ(ToUtf8("a\x85@-", kSjis), "a" + bad + "-");  // unassigned pair 85 40: one character
    EXPECT_EQ(ToUtf8("\xE8\xA1-", kUtf8), bad + "-");      // cut-off UTF-8 character: one replacement
    EXPECT_EQ(ToUtf8("\x95/", kSjis), bad + "/");          // the "/" after a stray lead byte is kept
}

TEST(CodePage, IsValidText) {
    for (const char* text : {"", "plain", "表示ソ😀"})
        EXPECT_TRUE(IsValidText(text, kUtf8)) << text;
    // The third is a cut-off character, the fourth an overlong "/".
    for (const std::string& text : {std::string("a\xFF"), kHyo, std::string("\xE8\xA1"), std::string("\xC0\xAF")})
        EXPECT_FALSE(IsValidText(text, kUtf8)) << text;
    EXPECT_TRUE(IsValidText(kHyoji + kSo + kHalfA + "abc", kSjis));
    EXPECT_FALSE(IsValidText("\x95", kSjis));      // lead byte without its trail
    EXPECT_FALSE(IsValidText("\x95/", kSjis));     // "/" is no trail byte
    EXPECT_FALSE(IsValidText("\x85\x40", kSjis));  // unassigned pair
    EXPECT_FALSE(IsValidText("a\xFD", kSjis));
}

}  // namespace
}  // namespace kestrum
