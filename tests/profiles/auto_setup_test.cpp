#include "profiles/auto_setup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "profiles/profile_store.h"
#include "tests/support/ftp_server.h"
#include "tests/support/profile_compare.h"

namespace kestrum {
namespace {

using namespace test;  // TempDir, ReadFile, WriteFile

using Names = std::vector<std::string>;

// The [PROFILE] list runs from its header to an empty line; a section's values follow the line rules.
TEST(AutoSetupTest, ListAndSectionsFollowTheLineRules) {
    EXPECT_EQ(AutoSetupPath("/opt/kestrum"), "/opt/kestrum/setting.ini");
    EXPECT_EQ(AutoSetupPath("/opt/kestrum/"), "/opt/kestrum/setting.ini");
    EXPECT_EQ(AutoSetupPath(""), "setting.ini");
    TempDir dir;
    const std::string ini = dir / "setting.ini";
    EXPECT_TRUE(ReadAutoSetupNames(ini).empty());  // no file
    EXPECT_FALSE(ReadAutoSetupSection(ini, "A").server.has_value());
    // Binary and huge files are read without harm; a NUL byte spoils a line, not the file.
    std::mt19937 random(11);
    std::string bytes(6 << 20, '\0');
    for (char& b : bytes)
        b = static_cast<char>(random() & 0xFF);
    const std::string huge = std::string(3 << 20, 'x') + "\n[PROFILE]\n" + std::string(1 << 20, 'n') +
                             "\nOK\n\n[OK]\nSERVER=" + std::string(1 << 20, 'v') + "\nREMOTE_DIR=/ok\n";
    static const char nulBytes[] = "[PROFILE]\nA\0B\nC\n\n[C]\nSERVER=c\0d\nREMOTE_DIR=/c\n";
    const std::string withNul(nulBytes, sizeof(nulBytes) - 1);
    const struct {
        std::string content;
        Names names;
    } lists[] = {
        {"junk\n[PROFILE]\r\nAlpha\r\nBeta\r\n\r\nGamma\r\n[PROFILE]\nDelta\n", {"Alpha", "Beta"}},
        // Without a final empty line the list runs to the end; a single space is a name.
        {"[PROFILE]\nA\n \nB", {"A", " ", "B"}},
        // The header is compared whole and exactly.
        {"[PROFILE] \nA\n[profile]\nB\n\n", {}},
        {" [PROFILE]\nA\n", {}},
        {"[PROFILE]\n\nA\n", {}},
        // Names are offered as they stand; validation happens at OK.
        {"[PROFILE]\nこれはとても長いプロファイル名です\na,b\n", {"これはとても長いプロファイル名です", "a,b"}},
        {bytes, {}},
        {huge, {"OK"}},
        {withNul, {"C"}},
    };
    for (const auto& k : lists) {
        WriteFile(ini, k.content);
        EXPECT_EQ(ReadAutoSetupNames(ini), k.names) << k.content.substr(0, 40);
    }
    using Value = std::optional<std::string>;
    const std::string ab =
        "[PROFILE]\r\nA\r\nB\r\n\r\n[A]\r\nSERVER=ftp.a.example\r\nREMOTE_DIR=/www/a\r\n\r\n"
        "[B]\r\n SERVER=indented\r\nREMOTE_DIR=/b\r\nserver=lower\r\nSERVER=\r\n\r\n";
    // Two sections without an empty line between them: the second's lines win.
    const std::string xy = "[X]\nSERVER=x\nREMOTE_DIR=/x\n[Y]\nSERVER=y\n\n[X]\nSERVER=second\n";
    const std::string s254(254, 's');
    const struct {
        std::string content, section;
        Value server, remoteDir;
    } sections[] = {
        {ab, "A", "ftp.a.example", "/www/a"},
        {ab, "B", "", "/b"},  // the indented and lower-case lines are not keys
        {ab, "a", {}, {}},    // the header matches the name with its exact case
        {ab, "C", {}, {}},
        {xy, "X", "y", "/x"},  // only the first matching section is read
        {xy, "Y", "y", {}},
        {"[Z]\nREMOTE_DIR=/z/\nSERVER=a=b", "Z", "a=b", "/z/"},  // a section may be the file's end
        // A value a setting could not hold is left out.
        {"[L]\nSERVER=" + s254 + "\nREMOTE_DIR=" + std::string(255, 'r') + "\n", "L", s254, {}},
        // Japanese names and the name characters that mean something elsewhere.
        {"[日本/サイト\\1]\nSERVER=jp\n", "日本/サイト\\1", "jp", {}},
        {bytes, "A", {}, {}},
        {huge, "OK", {}, "/ok"},
        {withNul, "C", {}, "/c"},
    };
    for (const auto& k : sections) {
        WriteFile(ini, k.content);
        const auto got = ReadAutoSetupSection(ini, k.section);
        EXPECT_EQ(got.server, k.server) << k.section;
        EXPECT_EQ(got.remoteDir, k.remoteDir) << k.section;
    }
}

// CreateProfileWithAutoSetup: the typed name's section of setting.ini, next to Program, is applied.
TEST(CreateWithAutoSetupTest, SectionValuesAreAppliedAndRefusalsWriteNothing) {
    TempDir dir;
    const std::string path = dir / "Kestrum.conf";
    const std::string ini = dir / "setting.ini";
    ProfileStore store(path);
    std::string selected;
    int cache = 0;
    ASSERT_TRUE(store.InitGlobalValues(dir.path(), selected, cache));
    WriteFile(ini,
              "[PROFILE]\nDemo\nTooLongNameForAProfile\n\n[Demo]\nSERVER=ftp.demo.example\nREMOTE_DIR=/pub\n"
              "FTP_SECURITY=2\nPASSIVE=0\nTLS_PINNED_KEY=sha256//k=\nMAX_DELETE=many\nPARALLEL=9\nPSWSVD=0\n"
              "UPLOAD_TEMP=0\nSSH_KEY_FILE=/keys/id_ed25519\nSSH_HOST_KEY=SHA256:abc\n\n"
              "[Hidden]\nSERVER=hidden.example\n\n");
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "Demo"), 0);
    // Connection presets; a refused value and a value that is no preset are
    // left out (PARALLEL=9 is out of range: the creation value stays).
    Profile expected = test::NewProfile("Demo");
    expected.host = "ftp.demo.example";
    expected.remoteDir = "/pub";
    expected.security = 2;
    expected.passive = 0;
    expected.pinnedKey = "sha256//k=";
    expected.uploadTemp = 0;
    expected.sshKeyFile = "/keys/id_ed25519";
    expected.sshHostKey = "SHA256:abc";
    EXPECT_EQ(test::ProfileDifferences(store.LoadProfile("Demo").value_or(Profile{}), expected), "");
    // Not listed under [PROFILE], typed by hand: its section still applies.
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "Hidden"), 0);
    EXPECT_EQ(store.LoadProfile("Hidden")->host, "hidden.example");
    EXPECT_EQ(store.LoadProfile("Hidden")->remoteDir, "");
    // The header must match with its case; the name keeps its typed case.
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "hidden2"), 0);
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "Demo,Hidden,hidden2,");
    // Refused names write nothing (the rules themselves are ValidateNewProfileName's).
    const std::string before = ReadFile(path);
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "DEMO"), 42782);
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "TooLongNameForAProfile"), 60040);
    EXPECT_EQ(ReadFile(path), before);
    // Without the file, names still create profiles with the creation values.
    std::filesystem::remove(ini);
    EXPECT_EQ(CreateProfileWithAutoSetup(store, "Plain"), 0);
    EXPECT_EQ(store.LoadProfile("Plain")->host, "");
    // Without Program, or without the store, nothing is created.
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
