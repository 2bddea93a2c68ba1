#include "res/strings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/codepage.h"

namespace kestrum {
namespace {

// Restores the UTF-8 code page when a test that switched it ends.
struct CodePageGuard {
    explicit CodePageGuard(CodePage cp) { SetSystemCodePage(cp); }
    ~CodePageGuard() { SetSystemCodePage(CodePage::Utf8); }
};

TEST(StringTable, TextsAreStoredByteForByte) {
    // Inner quotes kept.
    EXPECT_EQ(StringUtf8(42802), "プロファイル \"%s\" でFTPを開始します。");
    EXPECT_EQ(StringUtf8(57686), "FTP サーバー \" %s \" に接続します。");
    EXPECT_EQ(StringUtf8(57683), "ローカルにディレクトリ \"%s\"を作れませんでした。");
    // Tabs and the full-width colon (U+FF1A, EF BC 9A).
    EXPECT_EQ(StringUtf8(42811), "\tサーバー\t\t\t\xEF\xBC\x9A %s");
    EXPECT_EQ(StringUtf8(57696), "\tポート\t\t\t\t\xEF\xBC\x9A %d");
    EXPECT_EQ(StringUtf8(57694), "\tサーバーとの時間誤差\t\t： %d分");
    // Line breaks: CR LF where the text has them, LF elsewhere.
    EXPECT_EQ(StringUtf8(42795), "ホスト名が設定されていません。\r\nメニューの｢設定｣-｢設定｣で設定してください。");
    // Full-width digits 2 and 0 (EF BC 92, EF BC 90).
    EXPECT_EQ(StringUtf8(42790),
              "プロファイル名が長すぎます。\nプロファイル名は\xEF\xBC\x92\xEF\xBC\x90文字以内でなければなりません");
    // One real backslash, then the rest.
    EXPECT_EQ(StringUtf8(57673), "\\エラー!\tファイル \"%s\" のタイムスタンプの変更に失敗しました。");
    EXPECT_EQ(StringUtf8(57673).substr(0, 2), "\x5C\xE3");
    EXPECT_EQ(StringUtf8(57690),
              "FTP を安全に終了するまでしばらくお待ちください...\n終了するまでかなり時間がかかることがあります。"
              "FTP が終了しない場合は強制終了してください。(^^ゞ");
    EXPECT_EQ(StringUtf8(42804), "FTPは終了しました。 %s 処理しました。");
    // Half-width katakana stay half-width (U+FF7F etc.).
    EXPECT_EQ(StringUtf8(103), "Windows \xEF\xBD\xBF\xEF\xBD\xB9\xEF\xBD\xAF\xEF\xBE\x84の初期化に失敗しました。");
    EXPECT_EQ(StringUtf8(42779), "Kestrum");
    EXPECT_EQ(StringUtf8(42777), "FTP 開始");
    EXPECT_EQ(StringUtf8(42778), "キャンセル");
    EXPECT_EQ(StringUtf8(42792), "プロファイルが登録されていません。\n今すぐプロファイルの登録をはじめますか？");
    EXPECT_EQ(StringUtf8(42823), "[%s]");
    EXPECT_EQ(StringUtf8(57689),
              "サーバーにディレクトリ \"%s\" を作れませんでした。ファイル \"%s\" を更新できませんでした。");
}

TEST(StringTable, UnknownIdGivesEmptyText) {
    for (int id : {0, -1, 99, 101, 42776, 42784, 42821, 57670, 59999, 99999}) {
        EXPECT_TRUE(StringUtf8(id).empty()) << id;
        EXPECT_TRUE(LoadString(id).empty()) << id;
        EXPECT_TRUE(FormatString(id, {"x"}).empty()) << id;
    }
}

TEST(StringTable, SortedUniqueAndWellFormed) {
    ASSERT_GT(kStringTableSize, 0u);
    for (size_t i = 0; i < kStringTableSize; ++i) {
        const StringEntry& e = kStringTable[i];
        ASSERT_NE(e.utf8, nullptr) << e.id;
        EXPECT_FALSE(std::string_view(e.utf8).empty()) << e.id;
        EXPECT_TRUE(IsValidText(e.utf8, CodePage::Utf8)) << e.id;
        if (i > 0) {
            EXPECT_LT(kStringTable[i - 1].id, e.id) << "at index " << i;
        }
        EXPECT_EQ(StringUtf8(e.id), e.utf8) << e.id;
    }
}

TEST(StringTable, HoldsEveryNumberedText) {
    const std::vector<int> ids = {
        100,   103,   42777, 42778, 42779, 42780, 42781, 42782, 42783, 42786, 42787, 42788, 42789, 42790, 42791,
        42792, 42793, 42794, 42795, 42796, 42797, 42798, 42799, 42800, 42801, 42802, 42803, 42804, 42805, 42806,
        42807, 42808, 42809, 42810, 42811, 42812, 42813, 42814, 42815, 42816, 42817, 42818, 42819, 42820, 42822,
        42823, 42829, 42830, 57671, 57672, 57673, 57674, 57675, 57676, 57677, 57678, 57679, 57680, 57681, 57682,
        57683, 57684, 57685, 57686, 57687, 57688, 57689, 57690, 57691, 57692, 57693, 57694, 57695, 57696, 57697,
        57698, 57699, 57700, 57701, 57702, 57703, 57704, 57705, 57706, 57707};
    EXPECT_EQ(ids.size(), 85u);
    for (int id : ids)
        EXPECT_FALSE(StringUtf8(id).empty()) << "missing text " << id;
    // The load-error messages are 42792 + code for the codes 1..6.
    for (int code = 1; code <= 6; ++code)
        EXPECT_FALSE(StringUtf8(42792 + code).empty()) << code;
}

TEST(StringTable, EveryTextSurvivesCp932) {
    // The texts are shown under a Shift_JIS locale too: none may lose a character there.
    for (size_t i = 0; i < kStringTableSize; ++i) {
        const std::string_view utf8 = kStringTable[i].utf8;
        const std::string sjis = FromUtf8(utf8, CodePage::Cp932);
        EXPECT_TRUE(IsValidText(sjis, CodePage::Cp932)) << kStringTable[i].id;
        EXPECT_EQ(ToUtf8(sjis, CodePage::Cp932), utf8) << kStringTable[i].id;
    }
}

TEST(StringTable, MakersContactTextNamesBothAddresses) {
    const std::string_view text = StringUtf8(42822);
    EXPECT_NE(text.find("\n    https://kestrum.example.org/"), std::string_view::npos);
    EXPECT_NE(text.find("\n    support@kestrum.example.org"), std::string_view::npos);
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

TEST(FormatString, FillsTableTexts) {
    EXPECT_EQ(FormatString(42802, {"web"}), "プロファイル \"web\" でFTPを開始します。");
    EXPECT_EQ(FormatString(57686, {"ftp.example.org"}), "FTP サーバー \" ftp.example.org \" に接続します。");
    EXPECT_EQ(FormatString(57696, {"21"}), "\tポート\t\t\t\t： 21");
    EXPECT_EQ(FormatString(57689, {"a/b", "a/b/c.txt"}),
              "サーバーにディレクトリ \"a/b\" を作れませんでした。ファイル \"a/b/c.txt\" を更新できませんでした。");
    EXPECT_EQ(FormatString(42823, {"本社"}), "[本社]");
    EXPECT_EQ(FormatString(57673, {"x.txt"}), "\\エラー!\tファイル \"x.txt\" のタイムスタンプの変更に失敗しました。");
    EXPECT_EQ(FormatString(42779, {"ignored"}), "Kestrum");
}

TEST(LoadString, ConvertsToCp932) {
    CodePageGuard guard(CodePage::Cp932);
    // "\tサーバー\t\t\t： %s"
    EXPECT_EQ(LoadString(42811), "\t\x83\x54\x81\x5B\x83\x6F\x81\x5B\t\t\t\x81\x46 %s");
    // "\エラー!\t..." keeps its single leading backslash.
    const std::string err = LoadString(57673);
    ASSERT_GE(err.size(), 8u);
    EXPECT_EQ(err.substr(0, 9), "\x5C\x83\x47\x83\x89\x81\x5B!\t");
    EXPECT_EQ(LoadString(42779), "Kestrum");
    // A CP932 argument whose trail byte is 0x5C ("表示") is inserted unchanged.
    EXPECT_EQ(FormatString(42802, {"\x95\x5C\x8E\xA6"}),
              "\x83\x76\x83\x8D\x83\x74\x83\x40\x83\x43\x83\x8B \"\x95\x5C\x8E\xA6\" "
              "\x82\xC5"
              "FTP\x82\xF0\x8A\x4A\x8E\x6E\x82\xB5\x82\xDC\x82\xB7\x81\x42");
    EXPECT_TRUE(LoadString(42784).empty());
}

TEST(LoadString, Utf8CodePageGivesTableText) {
    CodePageGuard guard(CodePage::Utf8);
    EXPECT_EQ(LoadString(42802), StringUtf8(42802));
    EXPECT_EQ(LoadString(57690), StringUtf8(57690));
}

}  // namespace
}  // namespace kestrum
