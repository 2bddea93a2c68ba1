// Runs over FTP over TLS against vsftpd: certificate questions and pinning.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "profiles/profile_store.h"
#include "res/strings.h"
#include "tests/support/ftp_server.h"
#include "tests/support/process.h"
#include "tests/support/run_harness.h"
#include "tests/support/vsftpd_server.h"

namespace kestrum::test {
namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class TlsRun : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = TestVsftpd::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
    }
};

TEST_F(TlsRun, TheWindowAsksAboutAnUnknownCertificateAndPinsItOnlyWhenTrusted) {
    for (const bool trusted : {false, true}) {
        SCOPED_TRACE(trusted ? "trusted" : "declined");
        TestVsftpd server;
        RunHarness h;
        h.MakeProfile("p", {.host = server.hostWithPort(),
                            .user = TestVsftpd::kUser,
                            .password = TestVsftpd::kPassword,
                            .remoteDir = "/home"});
        ASSERT_TRUE(h.store.WriteProfileValues("p", {{"FTP_SECURITY", int32_t{1}}}));
        WriteFile(h.localDir + "/a.txt", "A");
        h.port.setAnswerOk(trusted);
        EXPECT_EQ(h.Run(), trusted ? 0 : 5);
        ASSERT_EQ(h.port.questions().size(), 1u);
        EXPECT_TRUE(Has(h.port.questions()[0], "kestrum-test")) << h.port.questions()[0];
        const std::string pinned = h.store.ReadString("p", "TLS_PINNED_KEY", 254).value_or("");
        EXPECT_EQ(pinned.rfind("sha256//", 0) == 0, trusted);
        EXPECT_EQ(h.count(LoadString(60106)), trusted ? 0 : 1);
        EXPECT_EQ(server.countCommands("PASS"), trusted ? 1 : 0) << server.commandLog();
        EXPECT_EQ(FileMtime(server.home() + "/a.txt") > 0, trusted);
        EXPECT_EQ(h.count(FormatString(60080, {LoadString(60083)})), 1);
    }
}

// vsftpd (plain here) stores text as it comes and hides dot names from LIST:
// text is not failed for its line ends (said once), sizes are still checked,
// and a mode change refused to its anonymous user is said for each file.
TEST_F(TlsRun, VsftpdUploadsAreCheckedAsItStoresThem) {
    TestVsftpd server({.tls = VsftpdOptions::Tls::None, .requireTls = false});
    RunHarness h;
    for (const char* name : {"a.txt", "b.txt", "run.cgi"})
        WriteFile(server.home() + "/" + name, "old", 1'600'000'000);
    server.GiveHomeToServer();
    chmod((server.home() + "/run.cgi").c_str(), 0754);
    h.MakeProfile("p", {.host = server.hostWithPort(),
                        .user = TestVsftpd::kUser,
                        .password = TestVsftpd::kPassword,
                        .remoteDir = "/home"});
    for (const char* name : {"a.txt", "b.txt"})
        WriteFile(h.localDir + "/" + name, "l1\nl2\n");
    WriteFile(h.localDir + "/run.cgi", "#!/bin/sh\n");
    EXPECT_EQ(h.Run(), 0) << server.commandLog();
    EXPECT_EQ(ReadFile(server.home() + "/a.txt"), "l1\r\nl2\r\n");
    EXPECT_EQ(ReadFile(server.home() + "/run.cgi"), "#!/bin/sh\n");
    EXPECT_EQ(h.count(LoadString(60733)), 1);
    EXPECT_EQ(h.count(FormatString(60734, {"run.cgi", "0754"})), 1);
    EXPECT_EQ(server.countCommands("RNTO"), 3);
}

TEST_F(TlsRun, TheCommandLineRefusesUntilTrustPinsTheKeyAndStopsWhenTheKeyChanges) {
    TestVsftpd server;
    TempDir home;
    TempDir local;
    const std::map<std::string, std::string> env = {{"KESTRUM_HOME", home.path()}, {"LC_ALL", "C.UTF-8"}};
    auto kestrum = [&](std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), KestrumBinary());
        return RunProcess(args, env, input);
    };
    // A new profile uses explicit TLS without being told.
    ASSERT_EQ(kestrum({"profile", "new", "site"}).status, 0);
    ASSERT_EQ(kestrum({"profile", "set", "site", "HOST=" + server.hostWithPort(), "USER=anonymous", "PSW=-",
                       "LOCAL_DIRECTORY=" + local.path(), "REMOTE_DIRECTORY=/home", "CHECK_SUB=1"},
                      std::string(TestVsftpd::kPassword) + "\n")
                  .status,
              0);
    WriteFile(local / "a.txt", "A");

    ProcessResult r = kestrum({"run", "site"});
    EXPECT_EQ(r.status, 5) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, FormatString(60094, {"site"}))) << r.out;
    EXPECT_EQ(server.countCommands("USER"), 0) << server.commandLog();
    // Nobody at a terminal confirms: nothing is pinned.
    r = kestrum({"trust", "site"});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "kestrum-test")) << r.out;
    r = kestrum({"trust", "site", "--yes"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(kestrum({"profile", "show", "site"}).out, "TLS_PINNED_KEY=sha256//"));

    r = kestrum({"run", "site"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(ReadFile(server.home() + "/a.txt"), "A");
    EXPECT_EQ(server.countCommands("PASS"), 1);
    EXPECT_TRUE(Has(server.commandLog(), "PROT P"));

    server.ReplaceKey();
    WriteFile(local / "b.txt", "B");
    r = kestrum({"run", "site"});
    EXPECT_EQ(r.status, 5) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, LoadString(60095))) << r.out;
    EXPECT_EQ(server.countCommands("PASS"), 1) << server.commandLog();
    EXPECT_EQ(FileMtime(server.home() + "/b.txt"), -1);
}

}  // namespace
}  // namespace kestrum::test
