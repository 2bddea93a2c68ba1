// kestrum profile ...: driven through RunProfileCommand with string streams,
// and through the built program.
#include "cli/profile_commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "profiles/profile_store.h"
#include "res/strings.h"
#include "tests/support/ftp_server.h"
#include "tests/support/process.h"
#include "tests/support/profile_compare.h"
#include "tests/support/unwritable.h"

namespace kestrum {
namespace {

using namespace test;  // TempDir, ReadFile, WriteFile
using Args = std::vector<std::string>;

class ProfileCommandTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir / "Kestrum.conf";
    ProfileStore store{path};

    test::ProcessResult Run(std::vector<std::string> args, const std::string& input = "") {
        std::istringstream in(input);
        std::ostringstream out, err;
        const int status = RunProfileCommand(args, store, dir.path(), in, out, err);
        return {status, out.str(), err.str()};
    }
    // The exit status and standard error of a command.
    std::pair<int, std::string> Exit(std::vector<std::string> args, const std::string& input = "") {
        const auto r = Run(std::move(args), input);
        return {r.status, r.err};
    }
    static std::pair<int, std::string> Done() { return {0, ""}; }
    static std::string Line(int id) { return LoadString(id) + "\n"; }
    static std::string Line(int id, std::initializer_list<std::string_view> args) {
        return FormatString(id, args) + "\n";
    }
};

TEST_F(ProfileCommandTest, NewListAndDelete) {
    EXPECT_EQ(Exit({"list"}), Done());
    EXPECT_FALSE(std::filesystem::exists(path));  // listing creates nothing
    WriteFile(dir / "setting.ini", "[PROFILE]\nDemo\n\n[Demo]\nSERVER=ftp.demo.example\nREMOTE_DIR=/pub\n");
    for (const char* name : {"Demo", "日本語", "a/b c"})
        EXPECT_EQ(Run({"new", name}).err, "") << name;
    EXPECT_EQ(store.ReadGlobalString("Program"), dir.path());
    EXPECT_EQ(store.LoadProfile("Demo")->host, "ftp.demo.example");
    EXPECT_EQ(Run({"list"}).out, "Demo\n日本語\na/b c\n");
    // Refused names: the new-profile dialog's messages, exit 1, nothing written.
    const std::string before = ReadFile(path);
    EXPECT_EQ(Exit({"new", ""}), std::pair(1, Line(42780)));
    EXPECT_EQ(Exit({"new", "DEMO"}), std::pair(1, Line(42782)));
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(Exit({"delete", "nope"}), std::pair(2, Line(60102, {"nope"})));
    EXPECT_EQ(Exit({"delete", "日本語"}), Done());
    EXPECT_FALSE(store.ProfileExists("日本語"));
    EXPECT_EQ(Run({"list"}).out, "Demo\na/b c\n");
    EXPECT_EQ(Exit({"delete", "Demo"}), Done());
    EXPECT_EQ(Exit({"delete", "a/b c"}), Done());
    EXPECT_EQ(Run({"list"}).out, "");
}

TEST_F(ProfileCommandTest, ShowPrintsEveryValueButNeverThePassword) {
    ASSERT_EQ(Run({"new", "Site"}).status, 0);
    auto r = Run({"show", "Site"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "HOST=\nPORT=21\nPSWSVD=1\n" + Line(60214) +
                  "REMOTE_DIRECTORY=\nLOCAL_DIRECTORY=\nCHECK_UPLOAD=1\nCHECK_SUB=0\nCHECK_DOWNLOAD=0\nPROXY_ON=0\n"
                  "PROXY_NAME=\nASCII_TRANSFER=HTML,HTM,TXT\nFILE_TRANSFER=BAK\nTIME_LAG=3\nMIRRORING_DIR=0\n"
                  "MIRRORING_FILE=0\nFTP_SECURITY=1\nPASSIVE=1\nPARALLEL=4\nUPLOAD_TEMP=1\n" +
                  Line(60211, {"USER"}) + Line(60211, {"CONNECTION_TYPE"}) + Line(60211, {"TRANSFER_BOTH"}) +
                  Line(60211, {"MAX_DELETE"}) + Line(60211, {"WATCH_SERVER_INTERVAL"}) +
                  Line(60211, {"TLS_PINNED_KEY"}) + Line(60211, {"SSH_KEY_FILE"}) + Line(60211, {"SSH_HOST_KEY"}));
    ASSERT_EQ(Exit({"set", "Site", "USER=alice", "PSW=-"}, "Tr0ub4dor&3\n"), Done());
    r = Run({"show", "Site"});
    EXPECT_NE(r.out.find("USER=alice\n"), std::string::npos);
    EXPECT_NE(r.out.find(Line(60212)), std::string::npos);
    EXPECT_EQ(r.out.find("Tr0ub4dor"), std::string::npos);
    EXPECT_EQ(r.out.find(ScramblePassword("Tr0ub4dor&3")), std::string::npos);
    EXPECT_EQ(r.out.find("PSW="), std::string::npos);
    ASSERT_EQ(Exit({"set", "Site", "PSWSVD=0"}), Done());
    EXPECT_NE(Run({"show", "Site"}).out.find(Line(60213)), std::string::npos);
    // A value holding a line break stays on its line.
    ASSERT_TRUE(store.WriteString("Site", "HOST", "evil\nPORT=1"));
    r = Run({"show", "Site"});
    EXPECT_NE(r.out.find("HOST=evil?PORT=1\nPORT=21\n"), std::string::npos) << r.out;
    r = Run({"show", "site"});
    EXPECT_EQ(std::tie(r.status, r.err, r.out), std::tuple(2, Line(60102, {"site"}), ""));
}

TEST_F(ProfileCommandTest, SetWritesValidAssignmentsAndThePasswordFromStandardInput) {
    ASSERT_EQ(Run({"new", "P"}).status, 0);
    const auto r = Run({"set", "P", "HOST=ftp.example.org:2121", "USER=bob", "LOCAL_DIRECTORY=/data/同期",
                        "REMOTE_DIRECTORY=", "CHECK_DOWNLOAD=1", "TIME_LAG=100", "PORT=2147483647", "CONNECTION_TYPE=2",
                        "TRANSFER_BOTH=1", "ASCII_TRANSFER=html, css", "PSWSVD=0", "UPLOAD_TEMP=0"});
    EXPECT_EQ(std::tie(r.status, r.err, r.out), std::tuple(0, "", ""));  // silent on success
    Profile expected = test::NewProfile("P");
    expected.host = "ftp.example.org:2121";
    expected.user = "bob";
    expected.localDir = "/data/同期";
    expected.checkDownload = 1;
    expected.timeLag = 100;
    expected.port = 2147483647;
    expected.connectionType = 2;
    expected.transferBoth = 1;
    expected.asciiTransfer = "html, css";
    expected.uploadTemp = 0;
    expected.savePassword = 0;
    expected.password = std::nullopt;
    EXPECT_EQ(test::ProfileDifferences(store.LoadProfile("P").value_or(Profile{}), expected), "");
    // The password: one line of standard input, stored scrambled, PSWSVD switched on.
    ASSERT_EQ(Exit({"set", "P", "PSW=-"}, "pässwörd 秘密\r\nnext line\n"), Done());
    EXPECT_EQ(store.LoadProfile("P")->savePassword, 1);
    EXPECT_EQ(store.LoadProfile("P")->password, "pässwörd 秘密");
    EXPECT_EQ(ReadFile(path).find("pässwörd"), std::string::npos);
    ASSERT_EQ(Exit({"set", "P", "PSW=-"}, "last line without end"), Done());
    EXPECT_EQ(store.LoadProfile("P")->password, "last line without end");
    // Switching the saved password off removes it, as the setup dialog does.
    ASSERT_EQ(Exit({"set", "P", "PSWSVD=0"}), Done());
    EXPECT_EQ(store.ReadString("P", "PSW"), "");
    // The proxy needs a name once it is on.
    EXPECT_EQ(Exit({"set", "P", "PROXY_ON=1"}), std::pair(2, Line(57692)));
    ASSERT_EQ(Exit({"set", "P", "PROXY_ON=1", "PROXY_NAME=proxy:3128"}), Done());
    EXPECT_EQ(Exit({"set", "P", "PROXY_NAME="}), std::pair(2, Line(57692)));
    ASSERT_EQ(Exit({"set", "P", "PROXY_ON=0", "PROXY_NAME="}), Done());
}

TEST_F(ProfileCommandTest, SetRefusesBadAssignmentsAndWritesNothing) {
    ASSERT_EQ(Run({"new", "P"}).status, 0);
    const std::string before = ReadFile(path);
    const std::string schemaNames =
        "HOST, PORT, PSWSVD, PSW, REMOTE_DIRECTORY, LOCAL_DIRECTORY, CHECK_UPLOAD, CHECK_SUB, CHECK_DOWNLOAD, "
        "PROXY_ON, PROXY_NAME, ASCII_TRANSFER, FILE_TRANSFER, TIME_LAG, MIRRORING_DIR, MIRRORING_FILE, "
        "FTP_SECURITY, PASSIVE, PARALLEL, UPLOAD_TEMP, USER, CONNECTION_TYPE, TRANSFER_BOTH, MAX_DELETE, "
        "WATCH_SERVER_INTERVAL, TLS_PINNED_KEY, SSH_KEY_FILE, SSH_HOST_KEY";
    const struct {
        Args assignments;
        std::string message;
        std::string input = "never read\n";
    } cases[] = {
        {{"HOST=ok", "host=x"}, Line(60200, {"host", schemaNames})},
        {{"HOST=ok", "HOSTNAME=x"}, Line(60200, {"HOSTNAME", schemaNames})},
        {{"HOST"}, Line(60201, {"HOST"})},
        {{"=x"}, Line(60201, {"=x"})},
        {{"PSW=secret"}, Line(60205)},
        {{"PSW="}, Line(60205)},
        {{"HOST=a", "HOST=b"}, Line(60207, {"HOST"})},
        {{"PORT=0"}, Line(57691)},
        {{"PORT=-21"}, Line(57691)},
        {{"PORT=21x"}, Line(57691)},
        {{"PORT=2147483648"}, Line(57691)},
        {{"TIME_LAG=0"}, Line(57693)},
        {{"TIME_LAG=101"}, Line(57693)},
        {{"TIME_LAG= 5"}, Line(57693)},
        {{"CHECK_UPLOAD=2"}, Line(60202, {"CHECK_UPLOAD"})},
        {{"MIRRORING_FILE=yes"}, Line(60202, {"MIRRORING_FILE"})},
        {{"PSWSVD=99999999999"}, Line(60202, {"PSWSVD"})},
        {{"CONNECTION_TYPE=3"}, Line(60208)},
        {{"FTP_SECURITY=4"}, Line(60087)},
        {{"FTP_SECURITY=tls"}, Line(60087)},
        {{"PASSIVE=2"}, Line(60202, {"PASSIVE"})},
        {{"UPLOAD_TEMP=2"}, Line(60202, {"UPLOAD_TEMP"})},
        {{"UPLOAD_TEMP=on"}, Line(60202, {"UPLOAD_TEMP"})},
        {{"PARALLEL=0"}, Line(60072)},
        {{"PARALLEL=9"}, Line(60072)},
        {{"HOST="}, Line(42783)},
        {{"USER="}, Line(42786)},
        {{"LOCAL_DIRECTORY="}, Line(42788)},
        {{"REMOTE_DIRECTORY=" + std::string(255, 'r')}, Line(60203, {"REMOTE_DIRECTORY"})},
        {{"HOST=a\r\nDELE x"}, Line(60204, {"HOST"})},
        {{"PSWSVD=0", "PSW=-"}, Line(60209)},
        // Every fault is reported; the good assignment beside them is not written.
        {{"USER=fine", "PORT=0", "TIME_LAG=0"}, Line(57691) + Line(57693)},
        // Password input that is missing, empty or too long.
        {{"USER=u", "PSW=-"}, Line(60206), ""},
        {{"USER=u", "PSW=-"}, Line(42787), "\n"},
        {{"PSW=-"}, Line(60203, {"PSW"}), std::string(255, 'p') + "\n"},
    };
    for (const auto& [assignments, message, input] : cases) {
        Args args = {"set", "P"};
        args.insert(args.end(), assignments.begin(), assignments.end());
        EXPECT_EQ(Exit(args, input), std::pair(2, message)) << assignments.front();
        EXPECT_EQ(ReadFile(path), before) << assignments.front();
    }
    EXPECT_EQ(Exit({"set", "P", "REMOTE_DIRECTORY=" + std::string(254, 'r')}), Done());
    EXPECT_EQ(Exit({"set", "Q", "HOST=x"}), std::pair(2, Line(60102, {"Q"})));
}

TEST_F(ProfileCommandTest, BadUsageAndABrokenStore) {
    const std::string usage = Line(60104) + Line(60101);
    for (const Args& args : {Args{}, Args{"lsit"}, Args{"list", "x"}, Args{"show"}, Args{"new"}, Args{"new", "a", "b"},
                             Args{"set", "P"}, Args{"delete"}}) {
        const auto r = Run(args);
        EXPECT_EQ(std::tie(r.status, r.err, r.out), std::tuple(2, usage, "")) << testing::PrintToString(args);
    }
    WriteFile(path, std::string("\x01\x02garbage\0\xff", 11));
    const std::string broken = ReadFile(path);
    const std::string failure = Line(60210, {path});
    for (const auto& [args, message] : {std::pair{Args{"list"}, failure},
                                        {Args{"show", "P"}, failure},
                                        {Args{"set", "P", "HOST=x"}, failure},
                                        {Args{"delete", "P"}, failure},
                                        {Args{"new", "P"}, Line(42781)}}) {
        EXPECT_EQ(Exit(args), std::pair(1, message)) << args[0];
    }
    EXPECT_EQ(ReadFile(path), broken);
}

TEST_F(ProfileCommandTest, ReadingWritesNothingAndAValueCutAtASemicolonIsRefused) {
    // Edited by hand: comments, and a ";" that is quoted and so part of the value.
    const std::string edited =
        "; kept by hand\n[General]\nProgram=/opt/k\nProfiles=a,\n\n[a]\n; the office server\nHOST=\"h;1\"\n";
    WriteFile(path, edited);
    for (const Args& args : {Args{"list"}, Args{"show", "a"}}) {
        EXPECT_EQ(Run(args).status, 0) << args[0];
        EXPECT_EQ(ReadFile(path), edited) << args[0];
    }
    EXPECT_EQ(store.ReadString("a", "HOST"), "h;1");
    // QSettings would read "html" and write the value back cut: line 9 is refused, nothing is written.
    const std::string cut = edited + "ASCII_TRANSFER=html;htm\n";
    WriteFile(path, cut);
    const std::string named = Line(60020, {path, "9"});
    for (const Args& args :
         {Args{"list"}, Args{"show", "a"}, Args{"set", "a", "HOST=x"}, Args{"delete", "a"}, Args{"new", "b"}}) {
        auto r = Run(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find(named), std::string::npos) << args[0] << ": " << r.err;
        EXPECT_EQ(r.out, "") << args[0];
    }
    EXPECT_EQ(ReadFile(path), cut);
}

// The built program: "profile" reaches these commands with standard input, output
// and error, on the store in KESTRUM_HOME, which is also Program.
TEST(ProfileCommandBinaryTest, TheProgramRunsTheProfileCommands) {
    TempDir dir;
    auto run = [&](std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {test::KestrumBinary(), "profile"});
        return test::RunProcess(args, {{"KESTRUM_HOME", dir.path()}, {"LC_ALL", "C.UTF-8"}}, input);
    };
    EXPECT_EQ(run({"new", "サイト"}).status, 0);
    EXPECT_EQ(run({"set", "サイト", "HOST=h", "PSW=-"}, "secret\n").status, 0);
    EXPECT_EQ(run({"show", "サイト"}).out.substr(0, 22), "HOST=h\nPORT=21\nPSWSVD=");
    const auto refused = run({"set", "サイト", "PSW=secret"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, LoadString(60205) + "\n");
    ProfileStore store(dir / "Kestrum.conf");
    EXPECT_EQ(store.ReadGlobalString("Program"), dir.path());
    EXPECT_EQ(store.LoadProfile("サイト").value_or(Profile{}).password, "secret");
}

// A program directory or store file the system will not let us write is named,
// with the system's reason, rather than called damaged.
TEST(ProfileCommandBinaryTest, AnUnwritableStoreIsNamedWithTheSystemsReason) {
    TempDir belowFile, readOnlyHome, readOnlyStore;
    WriteFile(belowFile / "file", "");
    const std::string underAFile = belowFile / "file/home";
    const std::string storeFile = readOnlyStore / "Kestrum.conf";
    ASSERT_EQ(test::RunProcess({test::KestrumBinary(), "profile", "new", "P"}, {{"KESTRUM_HOME", readOnlyStore.path()}})
                  .status,
              0);
    Unwritable homeGuard(readOnlyHome.path()), storeGuard(storeFile);
    if (!homeGuard.ok() || !storeGuard.ok())
        GTEST_SKIP() << "files cannot be made unwritable here";
    const std::string denied = std::strerror(access(storeFile.c_str(), W_OK) == 0 ? 0 : errno);
    const std::string notADirectory = FormatString(60710, {underAFile, std::strerror(ENOTDIR)}) + "\n";
    const std::string homeRefused = FormatString(60711, {readOnlyHome.path(), denied}) + "\n";
    const std::string storeRefused = FormatString(60712, {storeFile, denied}) + "\n";
    const std::vector<std::tuple<std::string, Args, std::string>> cases = {
        {underAFile, {"profile", "new", "P"}, notADirectory},
        {underAFile, {"run", "P"}, notADirectory},
        {readOnlyHome.path(), {"profile", "new", "P"}, homeRefused},
        {readOnlyHome.path(), {"run", "P"}, homeRefused},
        {readOnlyStore.path(), {"profile", "new", "Q"}, storeRefused},
        {readOnlyStore.path(),
         {"profile", "set", "P", "HOST=h"},
         FormatString(60210, {storeFile}) + "\n" + storeRefused},
    };
    for (const auto& [home, args, message] : cases) {
        Args command = args;
        command.insert(command.begin(), test::KestrumBinary());
        const auto r = test::RunProcess(command, {{"KESTRUM_HOME", home}, {"LC_ALL", "C.UTF-8"}});
        EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, message)) << home << " " << args[1];
    }
}

}  // namespace
}  // namespace kestrum
