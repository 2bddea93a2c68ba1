// Runs over FTP over TLS against vsftpd: certificate questions and pinning.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <optional>
#include <sstream>

#include "ftp/protocol_trace.h"
#include "profiles/profile_store.h"
#include "res/strings.h"
#include "tests/support/ftp_server.h"
#include "tests/support/process.h"
#include "tests/support/run_harness.h"
#include "tests/support/tinyproxy.h"
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

// Round trips per copy, from a protocol trace: each run of commands sent
// before a reply is one; counted from each connection's first STOR on (its
// login and listings are not copies), per STOR.
double RoundTripsPerStore(const std::string& trace) {
    std::map<std::string, bool> copying, lastSent;
    int trips = 0, stores = 0;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string date, time, connection, marker, verb;
        fields >> date >> time >> connection >> marker >> verb;
        if (marker == ">" && verb == "STOR") {
            copying[connection] = true;
            ++stores;
        }
        if (copying[connection] && marker == ">" && !lastSent[connection])
            ++trips;
        if (marker == ">" || marker == "<")
            lastSent[connection] = marker == ">";
    }
    return stores == 0 ? 0 : static_cast<double>(trips) / stores;
}

// Parallel copies in every mode: every file arrives over several
// connections. A copy (temporary name, check, rename) costs one round trip
// of commands in passive mode (EPSV and STOR go with the check of the copy
// before and the rename of the one before that; through a proxy the upload
// then waits for its opening reply), two in active mode (EPRT waits for its
// reply); the end of each connection's work adds two.
TEST_F(TlsRun, ParallelCopiesInEveryModeAndTheirRoundTrips) {
    const struct {
        VsftpdOptions::Tls tls;
        bool passive, proxy;
        double mostTrips;
    } cases[] = {{VsftpdOptions::Tls::None, false, false, 2.6},    {VsftpdOptions::Tls::Explicit, false, false, 2.6},
                 {VsftpdOptions::Tls::None, true, false, 1.6},     {VsftpdOptions::Tls::Explicit, true, false, 1.6},
                 {VsftpdOptions::Tls::Implicit, true, false, 1.6}, {VsftpdOptions::Tls::Explicit, true, true, 1.6}};
    for (const auto& c : cases) {
        const bool tls = c.tls != VsftpdOptions::Tls::None;
        const int security = c.tls == VsftpdOptions::Tls::Implicit ? 2 : tls ? 1 : 0;
        SCOPED_TRACE("security " + std::to_string(security) + (c.passive ? " passive" : " active") +
                     (c.proxy ? " proxied" : ""));
        // Held to 20 ms a file: the first connection cannot copy them all
        // before the others log in, however slowly they do.
        TestVsftpd server({.tls = c.tls, .requireTls = tls, .maxRate = 100'000});
        RunHarness h;
        h.MakeProfile("p", {.host = server.hostWithPort(),
                            .user = TestVsftpd::kUser,
                            .password = TestVsftpd::kPassword,
                            .remoteDir = "/home"});
        ASSERT_TRUE(h.store.WriteProfileValues(
            "p",
            {{"FTP_SECURITY", int32_t{security}}, {"PASSIVE", int32_t{c.passive ? 1 : 0}}, {"PARALLEL", int32_t{4}}}));
        TempDir proxyDir;
        std::optional<Tinyproxy> proxy;
        if (c.proxy) {
            proxy.emplace(proxyDir.path());
            ASSERT_TRUE(h.store.WriteProfileValues(
                "p", {{"PROXY_ON", int32_t{1}}, {"PROXY_NAME", "127.0.0.1:" + std::to_string(proxy->port())}}));
        }
        for (int i = 0; i < 48; ++i)
            WriteFile(h.localDir + "/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".bin",
                      std::to_string(i) + std::string(2000, 'x'));
        h.port.setAnswerOk(true);  // trusts the test certificate
        std::string error;
        h.state.options.trace = ProtocolTrace::Create(h.localDir + "/../trace.txt", error);
        ASSERT_TRUE(h.state.options.trace) << error;
        EXPECT_EQ(h.Run(), 0) << server.commandLog();
        h.state.options.trace.reset();
        for (int i = 0; i < 48; i += 7)
            EXPECT_EQ(ReadFile(server.home() + "/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".bin"),
                      std::to_string(i) + std::string(2000, 'x'));
        EXPECT_GE(server.countCommands("PASS"), 2);
        EXPECT_EQ(server.countCommands("EPRT") > 0, !c.passive);
        EXPECT_LE(RoundTripsPerStore(ReadFile(h.localDir + "/../trace.txt")), c.mostTrips);
    }
}

// A profile with explicit TLS at a port that speaks TLS at once gets no
// greeting: the login ends with a hint, and nothing of it is sent.
TEST_F(TlsRun, ExplicitTlsAtAnImplicitTlsPortEndsWithAHint) {
    TestVsftpd server({.tls = VsftpdOptions::Tls::Implicit});
    RunHarness h;
    h.MakeProfile("p", {.host = server.hostWithPort(),
                        .user = TestVsftpd::kUser,
                        .password = TestVsftpd::kPassword,
                        .remoteDir = "/home"});
    ASSERT_TRUE(h.store.WriteProfileValues("p", {{"FTP_SECURITY", int32_t{1}}}));
    WriteFile(h.localDir + "/a.txt", "A");
    EXPECT_NE(h.Run(), 0);
    std::string log;
    for (const std::string& line : h.lines())
        log += line + "\n";
    EXPECT_TRUE(Has(log, LoadString(60760))) << log;
    EXPECT_EQ(server.countCommands("USER"), 0) << server.commandLog();
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
