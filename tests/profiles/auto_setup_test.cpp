#include "profiles/auto_setup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "profiles/profile_store.h"
#include "tests/support/ftp_server.h"
#include "tests/support/profile_compare.h"

namespace kestrum {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

using Names = std::vector<std::string>;

TEST(AutoSetupTest, PathIsProgramSlashSettingIni) {
    EXPECT_EQ(AutoSetupPath("/opt/kestrum"), "/opt/kestrum/setting.ini");
    EXPECT_EQ(AutoSetupPath("/opt/kestrum/"), "/opt/kestrum/setting.ini");
    EXPECT_EQ(AutoSetupPath(""), "setting.ini");
}

TEST(AutoSetupTest, ProfileListRunsFromItsHeaderToAnEmptyLine) {
    TempDir dir;
    const std::string ini = dir / "setting.ini";
    EXPECT_TRUE(ReadAutoSetupNames(ini).empty());  // no file

    WriteFile(ini, "junk\n[PROFILE]\r\nAlpha\r\nBeta\r\n\r\nGamma\r\n[PROFILE]\nDelta\n");
    EXPECT_EQ(ReadAutoSetupNames(ini), (Names{"Alpha", "Beta"}));

    // Without a final empty line the list runs to the end; a single space is a name.
    WriteFile(ini, "[PROFILE]\nA\n \nB");
    EXPECT_EQ(ReadAutoSetupNames(ini), (Names{"A", " ", "B"}));

    // The header is compared whole and exactly.
    WriteFile(ini, "[PROFILE] \nA\n[profile]\nB\n\n");
    EXPECT_TRUE(ReadAutoSetupNames(ini).empty());
    WriteFile(ini, " [PROFILE]\nA\n");
    EXPECT_TRUE(ReadAutoSetupNames(ini).empty());

    WriteFile(ini, "[PROFILE]\n\nA\n");
    EXPECT_TRUE(ReadAutoSetupNames(ini).empty());

    // Names are offered as they stand; validation happens at OK.
    WriteFile(ini, "[PROFILE]\nこれはとても長いプロファイル名です\na,b\n");
    EXPECT_EQ(ReadAutoSetupNames(ini), (Names{"これはとても長いプロファイル名です", "a,b"}));
}

TEST(AutoSetupTest, SectionValuesFollowTheLineRules) {
    TempDir dir;
    const std::string ini = dir / "setting.ini";
    EXPECT_FALSE(ReadAutoSetupSection(ini, "A").server.has_value());

    WriteFile(ini,
              "[PROFILE]\r\nA\r\nB\r\n\r\n"
              "[A]\r\nSERVER=ftp.a.example\r\nREMOTE_DIR=/www/a\r\n\r\n"
              "[B]\r\n SERVER=indented\r\nREMOTE_DIR=/b\r\nserver=lower\r\nSERVER=\r\n\r\n");
    auto a = ReadAutoSetupSection(ini, "A");
    EXPECT_EQ(a.server, "ftp.a.example");
    EXPECT_EQ(a.remoteDir, "/www/a");
    auto b = ReadAutoSetupSection(ini, "B");
    EXPECT_EQ(b.server, "");  // the indented and lower-case lines are not keys
    EXPECT_EQ(b.remoteDir, "/b");
    // The header matches the name with its exact case.
    EXPECT_FALSE(ReadAutoSetupSection(ini, "a").server.has_value());
    EXPECT_FALSE(ReadAutoSetupSection(ini, "C").remoteDir.has_value());

    // Two sections without an empty line between them: the second's lines win.
    WriteFile(ini, "[X]\nSERVER=x\nREMOTE_DIR=/x\n[Y]\nSERVER=y\n\n[X]\nSERVER=second\n");
    auto x = ReadAutoSetupSection(ini, "X");
    EXPECT_EQ(x.server, "y");
    EXPECT_EQ(x.remoteDir, "/x");
    // Only the first matching section is read; a section may be the file's end.
    auto y = ReadAutoSetupSection(ini, "Y");
    EXPECT_EQ(y.server, "y");
    EXPECT_FALSE(y.remoteDir.has_value());
    WriteFile(ini, "[Z]\nREMOTE_DIR=/z/\nSERVER=a=b");
    EXPECT_EQ(ReadAutoSetupSection(ini, "Z").server, "a=b");
    EXPECT_EQ(ReadAutoSetupSection(ini, "Z").remoteDir, "/z/");

    // A value a setting could not hold is left out.
    WriteFile(ini, "[L]\nSERVER=" + std::string(254, 's') + "\nREMOTE_DIR=" + std::string(255, 'r') + "\n");
    EXPECT_EQ(ReadAutoSetupSection(ini, "L").server, std::string(254, 's'));
    EXPECT_FALSE(ReadAutoSetupSection(ini, "L").remoteDir.has_value());

    // Japanese names and the name characters that mean something elsewhere.
    WriteFile(ini, "[日本/サイト\\1]\nSERVER=jp\n");
    EXPECT_EQ(ReadAutoSetupSection(ini, "日本/サイト\\1").server, "jp");
}

TEST(AutoSetupTest, BinaryAndHugeFilesAreReadWithoutHarm) {
    TempDir dir;
    const std::string ini = dir / "setting.ini";
    std::mt19937 random(11);
    std::string bytes;
    bytes.reserve(6 << 20);
    for (int i = 0; i < (6 << 20); ++i)
        bytes += static_cast<char>(random() & 0xFF);
    WriteFile(ini, bytes);
    ReadAutoSetupNames(ini);
    ReadAutoSetupSection(ini, "A");

    // One enormous line, then a real list and section.
    WriteFile(ini, std::string(3 << 20, 'x') + "\n[PROFILE]\n" + std::string(1 << 20, 'n') +
                       "\nOK\n\n[OK]\nSERVER=" + std::string(1 << 20, 'v') + "\nREMOTE_DIR=/ok\n");
    EXPECT_EQ(ReadAutoSetupNames(ini), Names{"OK"});
    auto ok = ReadAutoSetupSection(ini, "OK");
    EXPECT_FALSE(ok.server.has_value());
    EXPECT_EQ(ok.remoteDir, "/ok");

    // A NUL byte spoils a line, not the file.
    static const char withNul[] = "[PROFILE]\nA\0B\nC\n\n[C]\nSERVER=c\0d\nREMOTE_DIR=/c\n";
    WriteFile(ini, std::string(withNul, sizeof(withNul) - 1));
    EXPECT_EQ(ReadAutoSetupNames(ini), Names{"C"});
    EXPECT_FALSE(ReadAutoSetupSection(ini, "C").server.has_value());
    EXPECT_EQ(ReadAutoSetupSection(ini, "C").remoteDir, "/c");
}

class CreateWithAutoSetupTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir / "Kestrum.conf";
    ProfileStore store{path};
    std::string ini = dir / "setting.ini";

    void SetUp() override {
        std::string selected;
        int cache = 0;
        ASSERT_TRUE(store.InitGlobalValues(dir.path(), selected, cache));
        WriteFile(ini,
                  "[PROFILE]\nDemo\nTooLongNameForAProfile\n\n[Demo]\nSERVER=ftp.demo.example\nREMOTE_DIR=/pub\n"
                  "FTP_SECURITY=2\nPASSIVE=0\nTLS_PINNED_KEY=sha256//k=\nMAX_DELETE=many\nPARALLEL=9\nPSWSVD=0\n\n"
                  "[Hidden]\nSERVER=hidden.example\n\n");
    }
};

TEST_F(CreateWithAutoSetupTest, RefusedNamesWriteNothing) {
    ASSERT_TRUE(store.CreateProfile("Existing"));
    const std::string before = ReadFile(path);
    // The rules themselves are ValidateNewProfileName's (profile_schema_test).
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "TooLongNameForAProfile"), 60040);
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "existing"), 42782);
    EXPECT_EQ(ReadFile(path), before);
}

TEST_F(CreateWithAutoSetupTest, SectionValuesAreAppliedToTheTypedName) {
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "Demo"), 0);
    // Connection presets; a refused value and a value that is no preset are
    // left out (PARALLEL=9 is out of range: the creation value stays).
    Profile expected = test::NewProfile("Demo");
    expected.host = "ftp.demo.example";
    expected.remoteDir = "/pub";
    expected.security = 2;
    expected.passive = 0;
    expected.pinnedKey = "sha256//k=";
    auto demo = store.LoadProfile("Demo");
    ASSERT_TRUE(demo.has_value());
    EXPECT_EQ(test::ProfileDifferences(*demo, expected), "");

    // Not listed under [PROFILE], typed by hand: its section still applies.
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "Hidden"), 0);
    EXPECT_EQ(store.LoadProfile("Hidden")->host, "hidden.example");
    EXPECT_EQ(store.LoadProfile("Hidden")->remoteDir, "");

    // The header must match with its case; the name keeps its typed case.
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "hidden2"), 0);
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "DEMO"), 42782);
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "Demo,Hidden,hidden2,");

    // Without the file, names still create profiles with the creation values.
    std::filesystem::remove(ini);
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "Plain"), 0);
    EXPECT_EQ(store.LoadProfile("Plain")->host, "");
}

TEST_F(CreateWithAutoSetupTest, MissingProgramValueMakesOkDoNothing) {
    WriteFile(path, "[General]\nProfiles=\n");
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "Demo"), -1);
    EXPECT_FALSE(store.ProfileExists("Demo"));
    std::filesystem::remove(path);
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "Demo"), -1);
    EXPECT_FALSE(std::filesystem::exists(path));

    // Program may point anywhere: the auto-setup file is looked up there.
    TempDir other;
    WriteFile(other / "setting.ini", "[Demo]\nSERVER=elsewhere\n");
    WriteFile(path, "[General]\nProgram=" + other.path() + "\nProfiles=\n");
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "Demo"), 0);
    EXPECT_EQ(store.LoadProfile("Demo")->host, "elsewhere");
}

}  // namespace
}  // namespace kestrum
