// Loading a profile into the run settings: result codes, defaults and cross-rules.
#include "engine/run_settings.h"

#include <gtest/gtest.h>

#include <tuple>

#include "profiles/profile_store.h"
#include "res/codepage.h"
#include "tests/support/ftp_server.h"
#include "tests/support/recording_port.h"

namespace kestrum {
namespace {

using Items = std::vector<std::string>;

class RunSettingsTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    ProfileStore store{dir / "Kestrum.conf"};
    test::RecordingPort port;
    RunSettings settings;

    void SetUp() override {
        std::string selected;
        int cache = 0;
        ASSERT_TRUE(store.InitGlobalValues(dir.path(), selected, cache));
        MakeProfile();
    }

    // A profile a run can use: upload only, password saved.
    void MakeProfile() {
        if (store.ProfileExists("P")) {
            ASSERT_EQ(store.DeleteProfile("P", {}), 0);
        }
        ASSERT_TRUE(store.CreateProfile("P"));
        ASSERT_TRUE(store.SaveGeneralSettings("P", {.host = "ftp.example.org",
                                                    .user = "alice",
                                                    .password = "secret",
                                                    .savePassword = true,
                                                    .localDir = "/data",
                                                    .remoteDir = "/www",
                                                    .subdirs = true,
                                                    .upload = true}));
        settings.profileName = "P";
    }

    void Set(const std::string& value, int32_t number) { ASSERT_TRUE(store.WriteDword("P", value, number)); }
    void Set(const std::string& value, const std::string& text) { ASSERT_TRUE(store.WriteString("P", value, text)); }
    // Removes a value of profile P from the file, as a hand edit would.
    void Remove(const std::string& value) {
        std::string file = test::ReadFile(store.FilePath());
        const size_t section = file.find("[P]\n");
        ASSERT_NE(section, std::string::npos) << file;
        const size_t line = file.find("\n" + value + "=", section);
        ASSERT_NE(line, std::string::npos) << value << "\n" << file;
        ASSERT_LT(line, file.find("\n[", section + 1)) << value;
        file.erase(line, file.find('\n', line + 1) - line);
        test::WriteFile(store.FilePath(), file);
        ASSERT_FALSE(store.ReadString("P", value, 100000).has_value()) << value;
    }
    SettingsLoad Load(bool cacheSwitch = false) { return LoadRunSettings(settings, store, port, cacheSwitch); }
};

TEST_F(RunSettingsTest, LoadsEveryFieldOfAGoodProfile) {
    ASSERT_EQ(Load(), SettingsLoad::Loaded);
    const RunSettings& s = settings;
    EXPECT_EQ(testing::PrintToString(std::make_tuple(s.host, s.user, s.password, s.remoteDir, s.localDir, s.accessType,
                                                     s.proxyName, s.port, s.subdirs, s.upload, s.download, s.timeLag,
                                                     s.onlyBoth, s.asciiText, s.asciiExtensions, s.excludedText,
                                                     s.excludedExtensions, s.mirrorFiles, s.mirrorDirs, s.useCache)),
              testing::PrintToString(std::make_tuple(
                  std::string("ftp.example.org"), std::string("alice"), std::string("secret"), std::string("/www"),
                  std::string("/data"), 1, std::string(), uint16_t{21}, 1, 1, 0, 3, 0, std::string("HTML,HTM,TXT"),
                  Items{"HTML", "HTM", "TXT"}, std::string("BAK"), Items{"BAK"}, 0, 0, 0)));
    EXPECT_EQ(s.profileName, "P");
    EXPECT_EQ(s.programDir, "");  // the caller's
    EXPECT_EQ(port.passwordPrompts(), 0);
}

TEST_F(RunSettingsTest, EachRequiredValueStopsTheLoadWithItsCode) {
    settings.profileName.clear();
    EXPECT_EQ(Load(), SettingsLoad::NoProfileName);
    settings.profileName = "Nope";
    EXPECT_EQ(Load(), SettingsLoad::ProfileBroken);

    for (const char* value : {"HOST", "PORT", "USER", "PSWSVD", "PSW", "REMOTE_DIRECTORY", "LOCAL_DIRECTORY",
                              "CHECK_SUB", "CHECK_UPLOAD", "CHECK_DOWNLOAD"}) {
        MakeProfile();
        Remove(value);
        EXPECT_EQ(Load(), SettingsLoad::ProfileBroken) << value << " missing";
    }
    // Not of the wanted form, or longer than the reading buffer: unreadable.
    const struct {
        const char* value;
        std::string text;  // or the number below
        int32_t number;
        SettingsLoad load;
    } values[] = {
        {"PORT", "twenty-one", 0, SettingsLoad::ProfileBroken},
        {"HOST", std::string(255, 'h'), 0, SettingsLoad::ProfileBroken},
        {"HOST", std::string(254, 'h'), 0, SettingsLoad::Loaded},
        {"HOST", "", 0, SettingsLoad::NoHost},
        {"PORT", "", -1, SettingsLoad::PortBroken},
        {"LOCAL_DIRECTORY", "", 0, SettingsLoad::NoLocalDir},
    };
    for (const auto& v : values) {
        MakeProfile();
        if (v.number != 0)
            Set(v.value, v.number);
        else
            Set(v.value, v.text);
        EXPECT_EQ(Load(), v.load) << v.value << "=" << v.text.size() << v.number;
    }
    // The optional values never stop a load.
    MakeProfile();
    // (TRANSFER_BOTH is missing in a new profile already.)
    for (const char* value :
         {"PROXY_ON", "PROXY_NAME", "TIME_LAG", "ASCII_TRANSFER", "FILE_TRANSFER", "MIRRORING_FILE", "MIRRORING_DIR"}) {
        Remove(value);
    }
    EXPECT_EQ(Load(), SettingsLoad::Loaded);
    EXPECT_EQ(settings.asciiText, "");
    EXPECT_TRUE(settings.asciiExtensions.empty());
    EXPECT_EQ(settings.excludedText, "");
    EXPECT_EQ(settings.accessType, 1);
}

TEST_F(RunSettingsTest, PasswordIsAskedOnlyWhenNotSaved) {
    Set("PSWSVD", 0);
    port.setPassword(std::nullopt);
    EXPECT_EQ(Load(), SettingsLoad::NoPasswordGiven);
    EXPECT_EQ(port.passwordPrompts(), 1);

    port.setPassword("typed pässword");
    EXPECT_EQ(Load(), SettingsLoad::Loaded);
    EXPECT_EQ(settings.password, "typed pässword");
    EXPECT_EQ(port.passwordPrompts(), 2);
    EXPECT_EQ(store.ReadString("P", "PSW"), ScramblePassword("secret"));  // the typed one is not stored

    // A saved empty password is a password: no question.
    Set("PSWSVD", 7);
    Set("PSW", "");
    EXPECT_EQ(Load(), SettingsLoad::Loaded);
    EXPECT_EQ(settings.password, "");
    EXPECT_EQ(port.passwordPrompts(), 2);
}

TEST_F(RunSettingsTest, FieldsBeforeTheFailingValueAreNewTheRestKeepTheirOldContent) {
    settings.host = "old-host";
    settings.user = "old-user";
    settings.password = "old-pw";
    settings.proxyName = "old-proxy";
    settings.remoteDir = "/old";
    settings.port = 99;
    Remove("USER");
    Set("PORT", 2121);
    EXPECT_EQ(Load(), SettingsLoad::ProfileBroken);
    EXPECT_EQ(settings.host, "ftp.example.org");
    EXPECT_EQ(settings.proxyName, "");  // read (empty) before USER
    EXPECT_EQ(settings.port, 2121);
    EXPECT_EQ(settings.user, "old-user");
    EXPECT_EQ(settings.password, "old-pw");
    EXPECT_EQ(settings.remoteDir, "/old");

    // With direct access a missing proxy name leaves the previous one.
    MakeProfile();
    settings.proxyName = "kept";
    Remove("PROXY_NAME");
    EXPECT_EQ(Load(), SettingsLoad::Loaded);
    EXPECT_EQ(settings.proxyName, "kept");
    // Through the proxy it is required.
    Set("PROXY_ON", 1);
    EXPECT_EQ(Load(), SettingsLoad::ProfileBroken);
    Set("PROXY_NAME", "proxy:3128");
    EXPECT_EQ(Load(), SettingsLoad::Loaded);
    EXPECT_EQ(settings.accessType, 3);
    EXPECT_EQ(settings.proxyName, "proxy:3128");
    Set("PROXY_ON", -5);  // any nonzero value is on
    EXPECT_EQ(Load(), SettingsLoad::Loaded);
    EXPECT_EQ(settings.accessType, 3);
}

TEST_F(RunSettingsTest, PortTimeLagAndFlagsFollowTheirRules) {
    for (auto [stored, used] : std::initializer_list<std::pair<int, int>>{{70000, 4464}, {0, 0}, {2147483647, 65535}}) {
        Set("PORT", stored);
        ASSERT_EQ(Load(), SettingsLoad::Loaded);
        EXPECT_EQ(settings.port, used) << stored;
    }

    for (auto [stored, used] :
         std::initializer_list<std::pair<int, int>>{{0, 3}, {-5, 3}, {101, 3}, {1, 1}, {100, 100}, {42, 42}}) {
        Set("TIME_LAG", stored);
        ASSERT_EQ(Load(), SettingsLoad::Loaded);
        EXPECT_EQ(settings.timeLag, used) << stored;
    }
    Remove("TIME_LAG");
    settings.timeLag = 50;
    ASSERT_EQ(Load(), SettingsLoad::Loaded);
    EXPECT_EQ(settings.timeLag, 3);

    Set("CHECK_UPLOAD", 9);
    Set("CHECK_DOWNLOAD", -1);
    Set("CHECK_SUB", 0);
    Set("TRANSFER_BOTH", 7);
    ASSERT_EQ(Load(), SettingsLoad::Loaded);
    EXPECT_EQ(settings.upload, 1);
    EXPECT_EQ(settings.download, 1);
    EXPECT_EQ(settings.subdirs, 0);
    EXPECT_EQ(settings.onlyBoth, 7);  // stored unchanged

    for (auto [stored, used] : std::initializer_list<std::pair<int, bool>>{{5, true}, {0, false}}) {
        Set("UPLOAD_TEMP", stored);
        ASSERT_EQ(Load(), SettingsLoad::Loaded);
        EXPECT_EQ(settings.uploadTemp, used) << stored;
    }
    Remove("UPLOAD_TEMP");  // a profile made before the value: through a temporary name
    ASSERT_EQ(Load(), SettingsLoad::Loaded);
    EXPECT_TRUE(settings.uploadTemp);
}

TEST_F(RunSettingsTest, MirroringAndCacheNeedAnUploadOnlyProfile) {
    const struct {
        int32_t mirrorFile, mirrorDir, transferBoth, upload, download;
        bool cacheSwitch;
        int mirrorFiles, mirrorDirs, useCache;  // as loaded
    } cases[] = {
        {1, 1, 0, 1, 0, true, 1, 0, 0},  // directories need TRANSFER_BOTH; no cache while mirroring files
        {1, 1, 1, 1, 0, true, 1, 1, 0},  {1, 4, 1, 1, 0, false, 1, 4, 0},  // the stored value
        {0, 4, 1, 1, 0, false, 0, 0, 0}, {1, 4, 1, 1, 1, true, 0, 0, 0},   // downloading too
        {1, 4, 1, 0, 0, true, 0, 0, 0},                                    // not uploading
        {0, 4, 1, 1, 0, true, 0, 0, 1},  {0, 4, 1, 1, 0, false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        Set("MIRRORING_FILE", c.mirrorFile);
        Set("MIRRORING_DIR", c.mirrorDir);
        Set("TRANSFER_BOTH", c.transferBoth);
        Set("CHECK_UPLOAD", c.upload);
        Set("CHECK_DOWNLOAD", c.download);
        ASSERT_EQ(Load(c.cacheSwitch), SettingsLoad::Loaded);
        EXPECT_EQ(std::make_tuple(settings.mirrorFiles, settings.mirrorDirs, settings.useCache),
                  std::make_tuple(c.mirrorFiles, c.mirrorDirs, c.useCache))
            << c.mirrorFile << c.mirrorDir << c.transferBoth << c.upload << c.download << c.cacheSwitch;
    }
}

TEST_F(RunSettingsTest, ExtensionListsAreReadUpTo1023Bytes) {
    const std::string long1023 = std::string(1019, 'A') + ",txt";
    Set("ASCII_TRANSFER", long1023);
    Set("FILE_TRANSFER", long1023 + "x");
    ASSERT_EQ(Load(), SettingsLoad::Loaded);
    EXPECT_EQ(settings.asciiText, long1023);
    EXPECT_EQ(settings.asciiExtensions, (Items{std::string(1019, 'A'), "TXT"}));
    EXPECT_EQ(settings.excludedText, "");
    EXPECT_TRUE(settings.excludedExtensions.empty());

    Set("ASCII_TRANSFER", "html, htm,");
    Set("FILE_TRANSFER", "");
    ASSERT_EQ(Load(), SettingsLoad::Loaded);
    EXPECT_EQ(settings.asciiText, "html, htm,");  // as stored
    EXPECT_EQ(settings.asciiExtensions, (Items{"HTML", " HTM", ""}));
    EXPECT_TRUE(settings.excludedExtensions.empty());
}

TEST(ExtensionListTest, ParseCutsAtEveryCommaAndTrimsNothing) {
    const std::pair<const char*, Items> cases[] = {
        {"", {}},
        {"txt", {"TXT"}},
        {"html, htm", {"HTML", " HTM"}},
        {"a,", {"A", ""}},
        {",,", {"", "", ""}},
        {",Jpg", {"", "JPG"}},
        {"日本語,txt", {"日本語", "TXT"}},
    };
    Items list = {"stale"};
    for (const auto& [text, items] : cases) {
        ParseExtensionList(text, list);
        EXPECT_EQ(list, items) << text;
    }

    ParseExtensionList("html, htm", list);
    EXPECT_TRUE(ExtensionListed(list, "HTML"));
    EXPECT_FALSE(ExtensionListed(list, "HTM"));
    EXPECT_TRUE(ExtensionListed(list, " HTM"));
    EXPECT_FALSE(ExtensionListed(list, "html"));
    EXPECT_FALSE(ExtensionListed({}, ""));
    ParseExtensionList("a,", list);
    EXPECT_TRUE(ExtensionListed(list, ""));  // a trailing comma lists the empty extension
}

TEST(ExtensionListTest, Cp932TextIsUpperCasedCharacterByCharacter) {
    SetSystemCodePage(CodePage::Cp932);
    Items list;
    // 0x83 0x61 is a double-byte character whose trail byte is "a": left alone.
    ParseExtensionList("\x83\x61x,b", list);
    SetSystemCodePage(CodePage::Utf8);
    EXPECT_EQ(list, (Items{"\x83\x61X", "B"}));
}

}  // namespace
}  // namespace kestrum
