// The profile store on its INI file. No QCoreApplication exists in this test
// program: the store must work without one.
#include "profiles/profile_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "profiles/auto_setup.h"
#include "profiles/paths.h"
#include "res/codepage.h"
#include "tests/support/ftp_server.h"
#include "tests/support/profile_compare.h"

namespace kestrum {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

int FileMode(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 0777);
}

bool Exists(const std::string& path) {
    return std::filesystem::exists(path);
}

class StoreTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir / "config/Quillmoor/Kestrum.conf";
    ProfileStore store{path};

    void Init() {
        std::string selected;
        int cache = -1;
        ASSERT_TRUE(store.InitGlobalValues("/opt/kestrum", selected, cache));
    }
};

TEST_F(StoreTest, GlobalValuesAreCreatedOnceAndProgramIsNeverUpdated) {
    EXPECT_FALSE(Exists(path));
    std::string selected = "stale";
    int cache = -1;
    ASSERT_TRUE(store.InitGlobalValues("/opt/kestrum", selected, cache));
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(selected, "");
    EXPECT_EQ(cache, 1);  // FILE_REF missing counts as on
    EXPECT_EQ(store.ReadGlobalString("Program"), "/opt/kestrum");
    EXPECT_EQ(store.ReadGlobalString("Default_Profile"), "");
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "");
    EXPECT_EQ(store.ReadGlobalDword("FILE_REF"), std::nullopt);

    ASSERT_TRUE(store.SaveGlobalValues("Work", 0));
    ASSERT_TRUE(store.InitGlobalValues("/moved/elsewhere", selected, cache));
    EXPECT_EQ(selected, "Work");
    EXPECT_EQ(cache, 0);
    EXPECT_EQ(store.ReadGlobalString("Program"), "/opt/kestrum");

    // The destruction write touches Default_Profile alone.
    ASSERT_TRUE(store.SaveDefaultProfile("Home"));
    ASSERT_TRUE(store.InitGlobalValues("/opt/kestrum", selected, cache));
    EXPECT_EQ(selected, "Home");
    EXPECT_EQ(cache, 0);

    // A missing Program is written at the next start.
    WriteFile(path, "[General]\nDefault_Profile=Home\nProfiles=\nFILE_REF=7\n");
    ASSERT_TRUE(store.InitGlobalValues("/new/place", selected, cache));
    EXPECT_EQ(store.ReadGlobalString("Program"), "/new/place");
    EXPECT_EQ(cache, 1);  // any nonzero FILE_REF is on
}

TEST_F(StoreTest, NothingIsOpenedOrCreatedBeforeTheStoreExists) {
    EXPECT_FALSE(store.CanOpen());
    EXPECT_FALSE(store.IsUnreadable());
    EXPECT_TRUE(store.ReadProfileList().empty());
    EXPECT_FALSE(store.CreateProfile("A"));  // the root must exist
    EXPECT_FALSE(store.LoadProfile("A").has_value());
    EXPECT_FALSE(store.ProfileExists("A"));
    EXPECT_FALSE(store.SaveGlobalValues("A", 1));
    EXPECT_EQ(store.DeleteProfile("A", {}), 2);
    EXPECT_FALSE(Exists(path));
    // The saves create or open: the file and its directories come into being.
    ASSERT_TRUE(store.SaveDetailSettings("A", {.timeLag = 5, .asciiTransfer = "TXT"}));
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(FileMode(path), 0600);
    EXPECT_EQ(store.ReadDword("A", "TIME_LAG"), 5);
}

TEST_F(StoreTest, CreateProfileWritesTheCreationValuesOnly) {
    Init();
    ASSERT_TRUE(store.CreateProfile("Site"));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "Site,");
    auto p = store.LoadProfile("Site");
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(test::ProfileDifferences(*p, test::NewProfile("Site")), "");

    ASSERT_TRUE(store.CreateProfile("Second"));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "Site,Second,");
    EXPECT_EQ(store.ReadProfileList(), (std::vector<std::string>{"Site", "Second"}));
}

TEST_F(StoreTest, SavesWriteTheirValuesAndLoadReadsThemBack) {
    Init();
    ASSERT_TRUE(store.CreateProfile("P"));
    ASSERT_TRUE(store.SaveGeneralSettings("P", {.host = "ftp.example.org",
                                                .user = "alice",
                                                .password = "pw",
                                                .savePassword = true,
                                                .localDir = "/data",
                                                .remoteDir = "/www",
                                                .subdirs = true,
                                                .download = true}));
    ASSERT_TRUE(
        store.SaveProxySettings("P", {.connectionType = 2, .proxyOn = true, .proxyName = "proxy:8080", .port = 2121}));
    ASSERT_TRUE(store.SaveDetailSettings("P", {.timeLag = 42,
                                               .asciiTransfer = "HTML,CSS",
                                               .fileTransfer = "BAK,TMP",
                                               .transferBoth = true,
                                               .mirrorFiles = true}));
    Profile expected = test::NewProfile("P");
    expected.host = "ftp.example.org";
    expected.user = "alice";
    expected.password = "pw";
    expected.localDir = "/data";
    expected.remoteDir = "/www";
    expected.checkSub = expected.checkDownload = 1;
    expected.checkUpload = 0;
    expected.connectionType = 2;
    expected.proxyOn = 1;
    expected.proxyName = "proxy:8080";
    expected.port = 2121;
    expected.timeLag = 42;
    expected.asciiTransfer = "HTML,CSS";
    expected.fileTransfer = "BAK,TMP";
    expected.transferBoth = expected.mirroringFile = 1;
    expected.maxDelete = -1;  // the detail save's own defaults
    expected.security = 0;
    auto p = store.LoadProfile("P");
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(test::ProfileDifferences(*p, expected), "");

    // Without the save flag the password is emptied and not unscrambled.
    ASSERT_TRUE(store.SaveGeneralSettings(
        "P", {.host = "h", .user = "u", .password = "secret", .localDir = "/l", .upload = true}));
    p = store.LoadProfile("P");
    EXPECT_EQ(p->savePassword, 0);
    EXPECT_FALSE(p->password.has_value());
    EXPECT_EQ(store.ReadString("P", "PSW"), "");

    // Texts are readable in the file; numbers are plain numbers.
    const std::string file = ReadFile(path);
    EXPECT_NE(file.find("HOST=h\n"), std::string::npos) << file;
    EXPECT_NE(file.find("TIME_LAG=42\n"), std::string::npos) << file;
}

TEST_F(StoreTest, PasswordIsScrambledInTheFileAndRoundTripsEveryByte) {
    Init();
    const std::string password = "Pässwörd秘密!";
    ASSERT_TRUE(store.SaveGeneralSettings(
        "P", {.host = "h", .user = "u", .password = password, .savePassword = true, .localDir = "/l", .upload = true}));
    EXPECT_EQ(store.LoadProfile("P")->password, password);
    EXPECT_EQ(store.ReadString("P", "PSW"), ScramblePassword(password));
    std::string file = ReadFile(path);
    EXPECT_EQ(file.find(password), std::string::npos);
    EXPECT_EQ(file.find("sswör"), std::string::npos);
    EXPECT_EQ(file.find("秘密"), std::string::npos);

    // Every byte value, including the one that scrambles to NUL.
    std::string everyByte;
    for (int b = 1; b < 256; ++b)
        everyByte += static_cast<char>(b);
    ASSERT_TRUE(store.SaveGeneralSettings("P", {.host = "h",
                                                .user = "u",
                                                .password = everyByte.substr(0, 254),
                                                .savePassword = true,
                                                .localDir = "/l",
                                                .upload = true}));
    EXPECT_EQ(store.LoadProfile("P")->password, everyByte.substr(0, 254));
    ASSERT_TRUE(store.SaveGeneralSettings("P", {.host = "h",
                                                .user = "u",
                                                .password = everyByte.substr(200),
                                                .savePassword = true,
                                                .localDir = "/l",
                                                .upload = true}));
    EXPECT_EQ(store.LoadProfile("P")->password, everyByte.substr(200));
    // Parsed afresh from a copy, not from what QSettings remembers writing.
    WriteFile(dir / "copy.conf", ReadFile(path));
    auto fresh = ProfileStore(dir / "copy.conf").LoadProfile("P");
    ASSERT_TRUE(fresh.has_value());
    EXPECT_EQ(fresh->password, everyByte.substr(200));
    EXPECT_EQ(fresh->savePassword, 1);
    EXPECT_EQ(fresh->checkUpload, 1);
    EXPECT_EQ(fresh->host, "h");
    EXPECT_EQ(ScramblePassword(ScramblePassword(everyByte)), everyByte);
    EXPECT_EQ(ScramblePassword("A"), std::string(1, static_cast<char>('A' ^ 0x1B)));
}

TEST_F(StoreTest, Cp932TextAndPasswordsKeepTheirBytes) {
    SetSystemCodePage(CodePage::Cp932);
    Init();
    // 0x87 0x90 and 0x81 0xE0 are one character twice in CP932: a trip through
    // Unicode turns the first into the second. The scrambled password 0x87 0x90
    // must come back as it went in.
    const std::string password = "\x9C\x8B";
    ASSERT_EQ(ScramblePassword(password), "\x87\x90");
    const std::string host = "\x83\x54\x83\x43\x83\x67";  // katakana "saito"
    const std::string name = "\x95\x5C";                  // trail byte "\"
    ASSERT_TRUE(store.CreateProfile(name));
    ASSERT_TRUE(store.SaveGeneralSettings(
        name,
        {.host = host, .user = "u", .password = password, .savePassword = true, .localDir = "/l", .upload = true}));
    auto p = store.LoadProfile(name);
    SetSystemCodePage(CodePage::Utf8);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->password, password);
    EXPECT_EQ(p->host, host);
    // The host is stored as readable text.
    EXPECT_NE(ReadFile(path).find("HOST=サイト"), std::string::npos) << ReadFile(path);
}

TEST_F(StoreTest, FileStaysOwnerOnlyAfterEveryWrite) {
    Init();
    EXPECT_EQ(FileMode(path), 0600);
    EXPECT_EQ(FileMode(dir / "config/Quillmoor"), 0700);
    ASSERT_TRUE(store.CreateProfile("P"));
    EXPECT_EQ(FileMode(path), 0600);
    chmod(path.c_str(), 0644);
    ASSERT_TRUE(store.SaveGeneralSettings(
        "P", {.host = "h", .user = "u", .password = "pw", .savePassword = true, .localDir = "/l", .upload = true}));
    EXPECT_EQ(FileMode(path), 0600);
    chmod(path.c_str(), 0644);
    ASSERT_TRUE(store.WriteGlobalString("Profiles", "P,ghost,"));
    EXPECT_EQ(FileMode(path), 0600);
    chmod(path.c_str(), 0644);
    store.ReadProfileList();  // drops "ghost" and rewrites the list
    EXPECT_EQ(FileMode(path), 0600);
}

TEST_F(StoreTest, ProfileListIsSplitAtCommasAndRewrittenOnlyWhenANameIsDropped) {
    Init();
    for (const char* name : {"a", "b", "c"})
        ASSERT_TRUE(store.CreateProfile(name));
    // The last name lacks its comma: it is not listed, and the rewrite drops it.
    ASSERT_TRUE(store.WriteGlobalString("Profiles", "a,b,c"));
    EXPECT_EQ(store.ReadProfileList(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "a,b,");

    // A name whose group was removed by hand disappears and the list is rewritten.
    ASSERT_TRUE(store.WriteGlobalString("Profiles", "c,a,,b,"));
    std::string file = ReadFile(path);
    const size_t at = file.find("[b]\n");
    ASSERT_NE(at, std::string::npos) << file;
    const size_t end = file.find("\n\n", at);
    file.erase(at, end == std::string::npos ? std::string::npos : end + 2 - at);
    WriteFile(path, file);
    EXPECT_FALSE(store.ProfileExists("b"));
    EXPECT_EQ(store.ReadProfileList(), (std::vector<std::string>{"c", "a"}));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "c,a,");

    // An unchanged list is not written again.
    const std::string kept = ReadFile(path);
    const auto old = std::filesystem::last_write_time(path) - std::chrono::hours(24);
    std::filesystem::last_write_time(path, old);
    store.ReadProfileList();
    EXPECT_EQ(std::filesystem::last_write_time(path), old);
    EXPECT_EQ(ReadFile(path), kept);

    // A missing Profiles value lists nothing and writes nothing.
    WriteFile(path, "[General]\nProgram=/x\n");
    EXPECT_TRUE(store.ReadProfileList().empty());
    EXPECT_EQ(ReadFile(path), "[General]\nProgram=/x\n");

    // A stale unfinished name does not run into a new one.
    WriteFile(path, "[General]\nProfiles=\"x,ghost\"\n\n[x]\nHOST=\n");
    ASSERT_TRUE(store.CreateProfile("y"));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "x,y,");

    EXPECT_EQ(SplitProfileList("a,b,c"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(SplitProfileList(",,"), (std::vector<std::string>{"", ""}));
    EXPECT_TRUE(SplitProfileList("").empty());
    EXPECT_EQ(JoinProfileList({"a", "b"}), "a,b,");
    EXPECT_EQ(JoinProfileList({}), "");
}

TEST_F(StoreTest, RecreatingAnUnlistedKeyOverwritesOnlyTheCreationValues) {
    Init();
    ASSERT_TRUE(store.CreateProfile("P"));
    ASSERT_TRUE(store.SaveGeneralSettings("P", {.host = "h",
                                                .user = "bob",
                                                .password = "pw",
                                                .savePassword = true,
                                                .localDir = "/l",
                                                .remoteDir = "/r",
                                                .subdirs = true,
                                                .download = true}));
    ASSERT_TRUE(
        store.SaveProxySettings("P", {.connectionType = 2, .proxyOn = true, .proxyName = "proxy", .port = 8021}));
    ASSERT_TRUE(store.SaveDetailSettings("P", {.timeLag = 50,
                                               .asciiTransfer = "A",
                                               .fileTransfer = "B",
                                               .transferBoth = true,
                                               .mirrorFiles = true,
                                               .mirrorDirs = true}));
    ASSERT_TRUE(store.WriteGlobalString("Profiles", ""));
    ASSERT_TRUE(store.CreateProfile("P"));
    // Values that creation does not write survive.
    Profile expected = test::NewProfile("P");
    expected.user = "bob";
    expected.connectionType = 2;
    expected.transferBoth = 1;
    expected.maxDelete = -1;
    auto p = store.LoadProfile("P");
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(test::ProfileDifferences(*p, expected), "");
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "P,");
}

TEST_F(StoreTest, DeleteProfileRemovesTheKeyAndWritesTheGivenList) {
    Init();
    for (const char* name : {"one", "two", "three"})
        ASSERT_TRUE(store.CreateProfile(name));
    EXPECT_EQ(store.DeleteProfile("", {"x"}), 1);
    const std::string before = ReadFile(path);
    EXPECT_EQ(store.DeleteProfile("four", {"one"}), 2);
    EXPECT_EQ(ReadFile(path), before);

    EXPECT_EQ(store.DeleteProfile("two", {"three", "one"}), 0);
    EXPECT_FALSE(store.ProfileExists("two"));
    EXPECT_FALSE(store.LoadProfile("two").has_value());
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "three,one,");
    EXPECT_EQ(store.DeleteProfile("three", {"one"}), 0);
    EXPECT_EQ(store.DeleteProfile("one", {}), 0);
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "");
    EXPECT_TRUE(store.ReadProfileList().empty());
    EXPECT_EQ(store.ReadGlobalString("Program"), "/opt/kestrum");

    // A caller's list read before "late" was created does not lose it.
    ASSERT_TRUE(store.CreateProfile("kept"));
    ASSERT_TRUE(store.CreateProfile("late"));
    EXPECT_EQ(store.DeleteProfile("kept", {}), 0);
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "late,");
}

TEST_F(StoreTest, NamesWithSeparatorsSpacesAndJapaneseAreKeptApart) {
    Init();
    const std::vector<std::string> names = {
        "a",           "a/b",     "a\\b",    "a b",      " lead",      "日本語のサイト", "General",
        "a%2Fb",       "a%5Cb",   "%",       "p/q/../r", "ab\xff\xfe", "ab%FF%FE",       "名前/で\\す",
        "two  spaces", "general", "GENERAL", "%General", "%67eneral",  "q\"uote",        "semi;colon",
        "eq=ual",      "[br]",    "#hash",   "@at",      "tab\tx"};
    for (const auto& name : names)
        ASSERT_TRUE(store.CreateProfile(name)) << name;
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(store.SaveGeneralSettings(
            names[i], {.host = "host" + std::to_string(i), .user = "u", .localDir = "/l", .upload = true}))
            << names[i];
    }
    EXPECT_EQ(store.ReadProfileList(), names);
    // A copy of the file is parsed afresh (QSettings caches what it wrote).
    const std::string copy = dir / "copy.conf";
    WriteFile(copy, ReadFile(path));
    ProfileStore fresh(copy);
    for (size_t i = 0; i < names.size(); ++i) {
        for (ProfileStore* s : {&store, &fresh}) {
            auto p = s->LoadProfile(names[i]);
            ASSERT_TRUE(p.has_value()) << names[i];
            EXPECT_EQ(p->host, "host" + std::to_string(i)) << names[i];
        }
    }
    EXPECT_EQ(fresh.ReadProfileList(), names);
    // Deleting "a" leaves "a/b" and its neighbours alone.
    std::vector<std::string> rest(names.begin() + 1, names.end());
    EXPECT_EQ(store.DeleteProfile("a", rest), 0);
    EXPECT_FALSE(store.ProfileExists("a"));
    EXPECT_EQ(store.ReadProfileList(), rest);
    EXPECT_EQ(store.LoadProfile("a/b")->host, "host1");
    EXPECT_FALSE(store.ProfileExists("b"));
    EXPECT_FALSE(store.ProfileExists(""));
    // Group names are case-sensitive: "A" is not "a/b"'s neighbour "a".
    EXPECT_FALSE(store.ProfileExists("A/B"));

    // Twenty bytes are a valid name and work in full.
    const std::string twenty =
        "あいうえおか"
        "xy";
    ASSERT_EQ(twenty.size(), 20u);
    ASSERT_TRUE(store.CreateProfile(twenty));
    ASSERT_TRUE(store.SaveGeneralSettings(twenty, {.host = "h20", .user = "u", .localDir = "/l", .upload = true}));
    EXPECT_EQ(store.LoadProfile(twenty)->host, "h20");
    EXPECT_FALSE(store.ProfileExists(twenty.substr(0, 18)));
    EXPECT_EQ(store.DeleteProfile(twenty, rest), 0);
    EXPECT_FALSE(store.ProfileExists(twenty));
}

TEST_F(StoreTest, DamagedStoreFileIsNeverOverwritten) {
    MakeDirectories(dir / "config/Quillmoor");
    std::mt19937 random(7);
    std::string garbage;
    for (int i = 0; i < 4000; ++i)
        garbage += static_cast<char>(random() & 0xFF);
    // Random bytes; a text file QSettings would half understand; an unclosed header.
    for (const std::string& content :
         {garbage, std::string("[General]\nProfiles=\"a,\"\nnot a setting\n\n[a]\nHOST=h\n"),
          std::string("[General\nProfiles=a,\n"),
          // A value QSettings would cut at the ";", and one that would swallow the next line.
          std::string("[General]\nProfiles=a,\n\n[a]\nHOST=h;x\n"),
          std::string("[General]\nProfiles=a,\n\n[a]\nHOST=\"h\nUSER=u\n")}) {
        WriteFile(path, content);
        std::string selected;
        int cache = 0;
        EXPECT_FALSE(store.InitGlobalValues("/x", selected, cache));
        EXPECT_TRUE(store.IsUnreadable());
        EXPECT_FALSE(store.CanOpen());
        EXPECT_FALSE(store.CreateProfile("b"));
        EXPECT_FALSE(store.SaveGeneralSettings(
            "a", {.host = "h", .user = "u", .password = "p", .savePassword = true, .localDir = "/l", .upload = true}));
        EXPECT_FALSE(store.SaveProxySettings("a", {}));
        EXPECT_FALSE(store.SaveDetailSettings("a", {.timeLag = 3}));
        EXPECT_FALSE(store.SaveGlobalValues("a", 1));
        EXPECT_TRUE(store.ReadProfileList().empty());
        EXPECT_EQ(store.DeleteProfile("a", {}), 2);
        EXPECT_FALSE(store.LoadProfile("a").has_value());
        EXPECT_FALSE(store.WriteGlobalString("Profiles", ""));
        EXPECT_EQ(ReadFile(path), content);
    }
    // Comments and blank lines are fine.
    WriteFile(path, "; written by hand\n# also a comment\n\n[General]\nProfiles=a,\n\n[a]\nHOST=h\n");
    EXPECT_FALSE(store.IsUnreadable());
    EXPECT_EQ(store.ReadProfileList(), std::vector<std::string>{"a"});

    // A directory where the file should be.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    std::string selected;
    int cache = 0;
    EXPECT_FALSE(store.InitGlobalValues("/x", selected, cache));
    EXPECT_TRUE(store.IsUnreadable());
}

TEST_F(StoreTest, ReadersIgnoreTheStoredFormAndLimits) {
    Init();
    const std::string long254(254, 'h');
    WriteFile(path,
              "[General]\nProgram=/opt\nProfiles=P,\n\n[P]\n"
              "HOST=12345\nUSER=" +
                  long254 + "\nPROXY_NAME=" + long254 +
                  "x\n"
                  "ASCII_TRANSFER=html,htm\nPORT=abc\nTIME_LAG=99999999999\nCHECK_SUB=-7\n"
                  "CHECK_UPLOAD=\" 1\"\nMIRRORING_DIR=@ByteArray(12)\nREMOTE_DIRECTORY=@ByteArray(/w\\xffw)\n");
    EXPECT_EQ(store.ReadString("P", "HOST"), "12345");
    EXPECT_EQ(store.ReadDword("P", "HOST"), 12345);
    EXPECT_EQ(store.ReadString("P", "USER"), long254);
    EXPECT_EQ(store.ReadString("P", "PROXY_NAME"), std::nullopt);  // 255 bytes
    EXPECT_EQ(store.ReadString("P", "PROXY_NAME", 1023), long254 + "x");
    EXPECT_EQ(store.ReadString("P", "ASCII_TRANSFER"), "html,htm");
    EXPECT_EQ(store.ReadDword("P", "PORT"), std::nullopt);
    EXPECT_EQ(store.ReadDword("P", "TIME_LAG"), std::nullopt);
    EXPECT_EQ(store.ReadDword("P", "CHECK_SUB"), -7);
    EXPECT_EQ(store.ReadDword("P", "CHECK_UPLOAD"), std::nullopt);
    EXPECT_EQ(store.ReadDword("P", "MIRRORING_DIR"), 12);
    EXPECT_EQ(store.ReadString("P", "REMOTE_DIRECTORY"), "/w\xffw");
    EXPECT_EQ(store.ReadString("P", "LOCAL_DIRECTORY"), std::nullopt);
    EXPECT_EQ(store.ReadString("Q", "HOST"), std::nullopt);

    // Text that is not valid in the code page is kept byte for byte.
    ASSERT_TRUE(store.WriteString("P", "LOCAL_DIRECTORY", "/data/\xe6\x97"));
    EXPECT_EQ(store.ReadString("P", "LOCAL_DIRECTORY"), "/data/\xe6\x97");
    ASSERT_TRUE(store.WriteDword("P", "PORT", -1));
    EXPECT_EQ(store.ReadDword("P", "PORT"), -1);
    // Values written together land together.
    ASSERT_TRUE(store.WriteProfileValues("P", {{"HOST", std::string("x")}, {"TIME_LAG", int32_t{9}}}));
    EXPECT_EQ(store.ReadString("P", "HOST"), "x");
    EXPECT_EQ(store.ReadDword("P", "TIME_LAG"), 9);

    // Texts that mean something in an INI file come back as written.
    const std::vector<std::string> texts = {" lead", "trail ", "a;b",   "a,b", "@x", "\"q\"", "a=b", "t\tb",
                                            "日本",  "[x]",    "\\srv", "#c",  "",   "%41",   "\\"};
    for (size_t i = 0; i < texts.size(); ++i) {
        ASSERT_TRUE(store.WriteString("P", "V" + std::to_string(i), texts[i]));
    }
    WriteFile(dir / "copy.conf", ReadFile(path));
    ProfileStore fresh(dir / "copy.conf");
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(fresh.ReadString("P", "V" + std::to_string(i)), texts[i]) << texts[i];
    }
}

TEST_F(StoreTest, WritersInTwoThreadsKeepEachOthersValues) {
    Init();
    auto writer = [this](const std::string& name) {
        ProfileStore own(path);
        for (int i = 0; i < 20; ++i) {
            own.SaveDetailSettings(name, {.timeLag = i + 1});
        }
    };
    std::thread a(writer, "left");
    std::thread b(writer, "right");
    a.join();
    b.join();
    EXPECT_EQ(store.ReadDword("left", "TIME_LAG"), 20);
    EXPECT_EQ(store.ReadDword("right", "TIME_LAG"), 20);
    EXPECT_EQ(store.ReadGlobalString("Program"), "/opt/kestrum");
}

// As "kestrum profile new" does it, in two processes at once.
TEST_F(StoreTest, TwoProcessesCreatingAtOnceKeepEachOthersNames) {
    Init();
    constexpr int kEach = 15;
    std::vector<pid_t> children;
    for (const char* prefix : {"a", "b"}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ProfileStore own(path);
            int failed = 0;
            for (int i = 0; i < kEach; ++i)
                failed += CreateProfileWithAutoSetup(own, prefix + std::to_string(i)) == 0 ? 0 : 1;
            _exit(failed);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    auto listed = store.ReadProfileList();
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> expected;
    for (const char* prefix : {"a", "b"}) {
        for (int i = 0; i < kEach; ++i)
            expected.push_back(prefix + std::to_string(i));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
}

class EnvGuard {
  public:
    explicit EnvGuard(std::initializer_list<const char*> names) {
        for (const char* n : names) {
            const char* v = std::getenv(n);
            saved_.emplace_back(n, v ? std::optional<std::string>(v) : std::nullopt);
        }
    }
    ~EnvGuard() {
        for (auto& [n, v] : saved_) {
            if (v) {
                setenv(n.c_str(), v->c_str(), 1);
            } else {
                unsetenv(n.c_str());
            }
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(PathsTest, KestrumHomeReplacesBothDirectories) {
    EnvGuard guard({"KESTRUM_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "HOME"});
    TempDir dir;
    setenv("KESTRUM_HOME", (dir / "home/k/").c_str(), 1);
    EXPECT_EQ(ProgramDirectory(), dir / "home/k");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "home/k"));
    EXPECT_EQ(ProfileStore::DefaultFilePath(), dir / "home/k/Kestrum.conf");

    unsetenv("KESTRUM_HOME");
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "conf").c_str(), 1);
    EXPECT_EQ(ProgramDirectory(), dir / "data/Quillmoor/Kestrum");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "data/Quillmoor/Kestrum"));
    EXPECT_EQ(ProfileStore::DefaultFilePath(), dir / "conf/Quillmoor/Kestrum.conf");

    unsetenv("XDG_DATA_HOME");
    setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    setenv("HOME", dir.path().c_str(), 1);
    EXPECT_EQ(ProgramDirectory(), dir / ".local/share/Quillmoor/Kestrum");
    EXPECT_TRUE(std::filesystem::is_directory(dir / ".local/share/Quillmoor/Kestrum"));
    EXPECT_EQ(ProfileStore::DefaultFilePath(), dir / ".config/Quillmoor/Kestrum.conf");
}

}  // namespace
}  // namespace kestrum
