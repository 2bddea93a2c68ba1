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
#include <functional>
#include <random>
#include <thread>

#include "profiles/auto_setup.h"
#include "profiles/paths.h"
#include "res/codepage.h"
#include "tests/support/ftp_server.h"
#include "tests/support/profile_compare.h"

namespace kestrum {
namespace {

namespace fs = std::filesystem;
using namespace test;  // TempDir, ReadFile, WriteFile
using Names = std::vector<std::string>;

int FileMode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

// Settings that upload from /l as user u.
GeneralSettings General(const std::string& host, const std::string& password = "", bool save = true) {
    return {.host = host, .user = "u", .password = password, .savePassword = save, .localDir = "/l", .upload = true};
}

class StoreTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir / "config/Quillmoor/Kestrum.conf";
    ProfileStore store{path};
    std::string selected;
    int cache = -1;

    bool Init(const std::string& program = "/opt/kestrum") { return store.InitGlobalValues(program, selected, cache); }
    // What Init gave: the selected profile and the cache flag.
    using Global = std::pair<std::string, int>;
    Global Selected() const { return {selected, cache}; }
    // A copy of the file parsed afresh, not from what QSettings remembers writing.
    ProfileStore Fresh() {
        WriteFile(dir / "copy.conf", ReadFile(path));
        return ProfileStore(dir / "copy.conf");
    }
};

TEST_F(StoreTest, NothingIsOpenedBeforeTheStoreExistsAndGlobalValuesAreCreatedOnce) {
    EXPECT_FALSE(store.CanOpen());
    EXPECT_FALSE(store.IsUnreadable());
    EXPECT_TRUE(store.ReadProfileList().empty());
    EXPECT_FALSE(store.CreateProfile("A"));  // the root must exist
    EXPECT_FALSE(store.LoadProfile("A").has_value());
    EXPECT_FALSE(store.ProfileExists("A"));
    EXPECT_FALSE(store.SaveGlobalValues("A", 1));
    EXPECT_EQ(store.DeleteProfile("A", {}), 2);
    EXPECT_FALSE(fs::exists(path));
    // The saves create or open: the file and its directories come into being.
    ASSERT_TRUE(store.SaveDetailSettings("A", {.timeLag = 5, .asciiTransfer = "TXT"}));
    EXPECT_EQ(FileMode(path), 0600);
    EXPECT_EQ(store.ReadDword("A", "TIME_LAG"), 5);
    // Program is written once and never updated.
    fs::remove(path);
    selected = "stale";
    ASSERT_TRUE(Init());
    EXPECT_EQ(Selected(), Global("", 1));  // FILE_REF missing counts as on
    EXPECT_EQ(store.ReadGlobalString("Program"), "/opt/kestrum");
    EXPECT_EQ(store.ReadGlobalString("Default_Profile"), "");
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "");
    EXPECT_EQ(store.ReadGlobalDword("FILE_REF"), std::nullopt);
    ASSERT_TRUE(store.SaveGlobalValues("Work", 0));
    ASSERT_TRUE(Init("/moved/elsewhere"));
    EXPECT_EQ(Selected(), Global("Work", 0));
    EXPECT_EQ(store.ReadGlobalString("Program"), "/opt/kestrum");
    // The destruction write touches Default_Profile alone.
    ASSERT_TRUE(store.SaveDefaultProfile("Home"));
    ASSERT_TRUE(Init());
    EXPECT_EQ(Selected(), Global("Home", 0));
    // A missing Program is written at the next start; any nonzero FILE_REF is on.
    WriteFile(path, "[General]\nDefault_Profile=Home\nProfiles=\nFILE_REF=7\n");
    ASSERT_TRUE(Init("/new/place"));
    EXPECT_EQ(store.ReadGlobalString("Program"), "/new/place");
    EXPECT_EQ(Selected(), Global("Home", 1));
}

TEST_F(StoreTest, CreationAndSavesWriteTheirValuesAndLoadReadsThemBack) {
    ASSERT_TRUE(Init());
    ASSERT_TRUE(store.CreateProfile("P"));
    EXPECT_EQ(test::ProfileDifferences(store.LoadProfile("P").value_or(Profile{}), test::NewProfile("P")), "");
    ASSERT_TRUE(store.CreateProfile("Second"));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "P,Second,");
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
                                               .mirrorFiles = true,
                                               .uploadTemp = false}));
    Profile expected = test::NewProfile("P");
    expected.host = "ftp.example.org";
    expected.user = "alice";
    expected.password = "pw";
    expected.localDir = "/data";
    expected.remoteDir = "/www";
    expected.checkSub = expected.checkDownload = expected.proxyOn = expected.transferBoth = expected.mirroringFile = 1;
    expected.checkUpload = 0;
    expected.connectionType = 2;
    expected.proxyName = "proxy:8080";
    expected.port = 2121;
    expected.timeLag = 42;
    expected.asciiTransfer = "HTML,CSS";
    expected.fileTransfer = "BAK,TMP";
    expected.maxDelete = -1;  // the detail save's own defaults
    expected.security = 0;
    expected.uploadTemp = 0;
    expected.sshKeyFile = "";
    expected.watchServerInterval = 0;
    EXPECT_EQ(test::ProfileDifferences(store.LoadProfile("P").value_or(Profile{}), expected), "");
    // Texts are readable in the file; numbers are plain numbers.
    EXPECT_NE(ReadFile(path).find("HOST=ftp.example.org\n"), std::string::npos) << ReadFile(path);
    EXPECT_NE(ReadFile(path).find("TIME_LAG=42\n"), std::string::npos) << ReadFile(path);
    // Without the save flag the password is emptied and not unscrambled.
    ASSERT_TRUE(store.SaveGeneralSettings("P", General("h", "secret", false)));
    EXPECT_EQ(store.LoadProfile("P")->savePassword, 0);
    EXPECT_FALSE(store.LoadProfile("P")->password.has_value());
    EXPECT_EQ(store.ReadString("P", "PSW"), "");
    // The file stays owner-only after every write.
    EXPECT_EQ(FileMode(dir / "config/Quillmoor"), 0700);
    const std::function<void()> writes[] = {
        [&] { store.CreateProfile("Q"); }, [&] { store.SaveGeneralSettings("Q", General("h", "pw")); },
        [&] { store.WriteGlobalString("Profiles", "Q,ghost,"); },
        [&] { store.ReadProfileList(); },  // drops "ghost" and rewrites the list
    };
    for (const auto& write : writes) {
        EXPECT_EQ(FileMode(path), 0600);
        chmod(path.c_str(), 0644);
        write();
    }
    EXPECT_EQ(FileMode(path), 0600);
}

TEST_F(StoreTest, PasswordIsScrambledAndEveryByteKeptAlsoUnderCp932) {
    ASSERT_TRUE(Init());
    const std::string password = "Pässwörd秘密!";
    ASSERT_TRUE(store.SaveGeneralSettings("P", General("h", password)));
    EXPECT_EQ(store.LoadProfile("P")->password, password);
    EXPECT_EQ(store.ReadString("P", "PSW"), ScramblePassword(password));
    for (const char* part : {password.c_str(), "sswör", "秘密"})
        EXPECT_EQ(ReadFile(path).find(part), std::string::npos) << part;
    // Every byte value, including the one that scrambles to NUL.
    std::string everyByte;
    for (int b = 1; b < 256; ++b)
        everyByte += static_cast<char>(b);
    for (const std::string& bytes : {everyByte.substr(0, 254), everyByte.substr(200)}) {
        ASSERT_TRUE(store.SaveGeneralSettings("P", General("h", bytes)));
        EXPECT_EQ(store.LoadProfile("P")->password, bytes);
        EXPECT_EQ(test::ProfileDifferences(Fresh().LoadProfile("P").value_or(Profile{}), *store.LoadProfile("P")), "");
    }
    EXPECT_EQ(ScramblePassword(ScramblePassword(everyByte)), everyByte);
    EXPECT_EQ(ScramblePassword("A"), std::string(1, static_cast<char>('A' ^ 0x1B)));
    SetSystemCodePage(CodePage::Cp932);
    // 0x87 0x90 and 0x81 0xE0 are one character twice in CP932: a trip through
    // Unicode turns the first into the second. The scrambled password 0x87 0x90
    // must come back as it went in.
    const std::string sjisPassword = "\x9C\x8B";
    ASSERT_EQ(ScramblePassword(sjisPassword), "\x87\x90");
    const std::string host = "\x83\x54\x83\x43\x83\x67";  // katakana "saito"
    const std::string name = "\x95\x5C";                  // trail byte "\"
    ASSERT_TRUE(store.CreateProfile(name));
    ASSERT_TRUE(store.SaveGeneralSettings(name, General(host, sjisPassword)));
    const Profile p = store.LoadProfile(name).value_or(Profile{});
    SetSystemCodePage(CodePage::Utf8);
    EXPECT_EQ(p.password, sjisPassword);
    EXPECT_EQ(p.host, host);
    // The host is stored as readable text.
    EXPECT_NE(ReadFile(path).find("HOST=サイト"), std::string::npos) << ReadFile(path);
}

// DeleteProfile removes the key and writes the given list; the list is split at
// commas and rewritten only when a name is dropped.
TEST_F(StoreTest, ProfileListAndDeletion) {
    ASSERT_TRUE(Init());
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
    EXPECT_EQ(store.ReadGlobalString("Program"), "/opt/kestrum");
    // A caller's list read before "late" was created does not lose it.
    ASSERT_TRUE(store.CreateProfile("kept"));
    ASSERT_TRUE(store.CreateProfile("late"));
    EXPECT_EQ(store.DeleteProfile("kept", {}), 0);
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "late,");
    for (const char* name : {"a", "b", "c"})
        ASSERT_TRUE(store.CreateProfile(name));
    // The last name lacks its comma: it is not listed, and the rewrite drops it.
    ASSERT_TRUE(store.WriteGlobalString("Profiles", "a,b,c"));
    EXPECT_EQ(store.ReadProfileList(), (Names{"a", "b"}));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "a,b,");
    // A name without its group, and an empty one, disappear and the list is rewritten.
    WriteFile(path, "[General]\nProgram=/x\nProfiles=\"c,a,,b,\"\n\n[a]\nHOST=\n\n[c]\nHOST=\n");
    EXPECT_EQ(store.ReadProfileList(), (Names{"c", "a"}));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "c,a,");
    // An unchanged list is not written again.
    const auto old = fs::last_write_time(path) - std::chrono::hours(24);
    fs::last_write_time(path, old);
    store.ReadProfileList();
    EXPECT_EQ(fs::last_write_time(path), old);
    // A missing Profiles value lists nothing and writes nothing.
    WriteFile(path, "[General]\nProgram=/x\n");
    EXPECT_TRUE(store.ReadProfileList().empty());
    EXPECT_EQ(ReadFile(path), "[General]\nProgram=/x\n");
    // A stale unfinished name does not run into a new one.
    WriteFile(path, "[General]\nProfiles=\"x,ghost\"\n\n[x]\nHOST=\n");
    ASSERT_TRUE(store.CreateProfile("y"));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "x,y,");
}

TEST_F(StoreTest, RecreatingAnUnlistedKeyOverwritesOnlyTheCreationValues) {
    ASSERT_TRUE(Init());
    ASSERT_TRUE(store.CreateProfile("P"));
    ASSERT_TRUE(store.SaveGeneralSettings("P", {.host = "h",
                                                .user = "bob",
                                                .password = "pw",
                                                .savePassword = true,
                                                .localDir = "/l",
                                                .remoteDir = "/r",
                                                .subdirs = true,
                                                .download = true}));
    ASSERT_TRUE(store.SaveProxySettings("P", {.connectionType = 2, .proxyOn = true, .proxyName = "p", .port = 8021}));
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
    expected.sshKeyFile = "";
    expected.watchServerInterval = 0;
    EXPECT_EQ(test::ProfileDifferences(store.LoadProfile("P").value_or(Profile{}), expected), "");
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "P,");
}

TEST_F(StoreTest, NamesWithSeparatorsSpacesAndJapaneseAreKeptApart) {
    ASSERT_TRUE(Init());
    const Names names = {"a",           "a/b",     "a\\b",    "a b",      " lead",      "日本語のサイト", "General",
                         "a%2Fb",       "a%5Cb",   "%",       "p/q/../r", "ab\xff\xfe", "ab%FF%FE",       "名前/で\\す",
                         "two  spaces", "general", "GENERAL", "%General", "%67eneral",  "q\"uote",        "semi;colon",
                         "eq=ual",      "[br]",    "#hash",   "@at",      "tab\tx"};
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(store.CreateProfile(names[i])) << names[i];
        ASSERT_TRUE(store.SaveGeneralSettings(names[i], General("host" + std::to_string(i)))) << names[i];
    }
    ProfileStore fresh = Fresh();
    for (ProfileStore* s : {&store, &fresh}) {
        EXPECT_EQ(s->ReadProfileList(), names);
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(s->LoadProfile(names[i]).value_or(Profile{}).host, "host" + std::to_string(i)) << names[i];
    }
    // Deleting "a" leaves "a/b" and its neighbours alone; group names are case-sensitive.
    const Names rest(names.begin() + 1, names.end());
    EXPECT_EQ(store.DeleteProfile("a", rest), 0);
    EXPECT_EQ(store.ReadProfileList(), rest);
    EXPECT_EQ(store.LoadProfile("a/b")->host, "host1");
    for (const char* absent : {"a", "b", "", "A/B"})
        EXPECT_FALSE(store.ProfileExists(absent)) << absent;
    // Twenty bytes are a valid name and work in full.
    const std::string twenty = "あいうえおかxy";
    ASSERT_TRUE(store.CreateProfile(twenty));
    ASSERT_TRUE(store.SaveGeneralSettings(twenty, General("h20")));
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
    // Random bytes; a text file QSettings would half understand; an unclosed header;
    // a value QSettings would cut at the ";", and one that would swallow the next line.
    for (const std::string& content :
         {garbage, std::string("[General]\nProfiles=\"a,\"\nnot a setting\n\n[a]\nHOST=h\n"),
          std::string("[General\nProfiles=a,\n"), std::string("[General]\nProfiles=a,\n\n[a]\nHOST=h;x\n"),
          std::string("[General]\nProfiles=a,\n\n[a]\nHOST=\"h\nUSER=u\n")}) {
        WriteFile(path, content);
        EXPECT_FALSE(Init("/x"));
        EXPECT_TRUE(store.IsUnreadable());
        EXPECT_FALSE(store.CanOpen());
        EXPECT_FALSE(store.CreateProfile("b"));
        EXPECT_FALSE(store.SaveGeneralSettings("a", General("h", "p")));
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
    EXPECT_EQ(store.ReadProfileList(), Names{"a"});
    // A directory where the file should be.
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_FALSE(Init("/x"));
    EXPECT_TRUE(store.IsUnreadable());
}

TEST_F(StoreTest, ReadersIgnoreTheStoredFormAndLimits) {
    ASSERT_TRUE(Init());
    const std::string long254(254, 'h');
    WriteFile(path, "[General]\nProgram=/opt\nProfiles=P,\n\n[P]\nHOST=12345\nUSER=" + long254 +
                        "\nPROXY_NAME=" + long254 +
                        "x\nASCII_TRANSFER=html,htm\nPORT=abc\nTIME_LAG=99999999999\nCHECK_SUB=-7\n"
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
    const Names texts = {" lead", "trail ", "a;b",   "a,b", "@x", "\"q\"", "a=b", "t\tb",
                         "日本",  "[x]",    "\\srv", "#c",  "",   "%41",   "\\"};
    for (size_t i = 0; i < texts.size(); ++i)
        ASSERT_TRUE(store.WriteString("P", "V" + std::to_string(i), texts[i]));
    ProfileStore fresh = Fresh();
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(fresh.ReadString("P", "V" + std::to_string(i)), texts[i]) << texts[i];
}

// Two threads saving, and two processes creating as "kestrum profile new" does, at once.
TEST_F(StoreTest, ConcurrentWritersKeepEachOthersValues) {
    ASSERT_TRUE(Init());
    auto writer = [this](const std::string& name) {
        ProfileStore own(path);
        for (int i = 0; i < 20; ++i)
            own.SaveDetailSettings(name, {.timeLag = i + 1});
    };
    std::thread a(writer, "left");
    std::thread b(writer, "right");
    a.join();
    b.join();
    EXPECT_EQ(store.ReadDword("left", "TIME_LAG"), 20);
    EXPECT_EQ(store.ReadDword("right", "TIME_LAG"), 20);
    EXPECT_EQ(store.ReadGlobalString("Program"), "/opt/kestrum");
    Names expected;
    for (const char* prefix : {"a", "b"}) {
        for (int i = 0; i < 15; ++i)
            expected.push_back(prefix + std::to_string(i));
    }
    std::vector<pid_t> children;
    for (int half : {0, 1}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ProfileStore own(path);
            int failed = 0;
            for (int i = 0; i < 15; ++i)
                failed += CreateProfileWithAutoSetup(own, expected[half * 15 + i]) == 0 ? 0 : 1;
            _exit(failed);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    Names listed = store.ReadProfileList();
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
}

TEST(PathsTest, KestrumHomeReplacesBothDirectories) {
    // Saved and restored: later tests in this program see the environment unchanged.
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    for (const char* name : {"KESTRUM_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "HOME"})
        saved.emplace_back(name, std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt);
    TempDir dir;
    setenv("HOME", dir.path().c_str(), 1);
    const struct {
        std::optional<std::string> home, data, config;
        std::string program, file;  // under dir
    } cases[] = {{dir / "home/k/", dir / "data", dir / "conf", "home/k", "home/k/Kestrum.conf"},
                 {{}, dir / "data", dir / "conf", "data/Quillmoor/Kestrum", "conf/Quillmoor/Kestrum.conf"},
                 {{}, {}, "relative/ignored", ".local/share/Quillmoor/Kestrum", ".config/Quillmoor/Kestrum.conf"}};
    for (const auto& k : cases) {
        for (const auto& [name, value] :
             {std::pair{"KESTRUM_HOME", k.home}, {"XDG_DATA_HOME", k.data}, {"XDG_CONFIG_HOME", k.config}})
            value ? setenv(name, value->c_str(), 1) : unsetenv(name);
        EXPECT_EQ(ProgramDirectory(), dir / k.program);
        EXPECT_TRUE(fs::is_directory(dir / k.program));
        EXPECT_EQ(ProfileStore::DefaultFilePath(), dir / k.file);
    }
    for (const auto& [name, value] : saved)
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
}

}  // namespace
}  // namespace kestrum
