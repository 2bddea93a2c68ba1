// The run from preparation to completion: stops, failures, cancel.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <functional>

#include <algorithm>
#include <thread>

#include "engine/sync_run.h"
#include "res/strings.h"
#include "tests/support/run_harness.h"

namespace kestrum {
namespace {

using test::ProfileSpec;
using test::RunHarness;
using test::TestFtpServer;
using test::WriteFile;

std::string S(int id) {
    return LoadString(id);
}

size_t IndexOf(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) - lines.begin();
}

TEST(RunDriver, ReachesTheEndWithTheLoggedSpine) {
    TestFtpServer server;
    RunHarness h;
    WriteFile(h.localDir + "/a.txt", "a");
    WriteFile(h.localDir + "/sub/b.txt", "b");
    mkdir((server.home() + "/web").c_str(), 0755);
    h.MakeProfile("web", server, ProfileSpec{.remoteDir = "\\web", .subdirs = true});
    ASSERT_EQ(h.Run(), 0);

    const auto lines = h.lines();
    const size_t start = IndexOf(lines, "");
    ASSERT_LT(start, lines.size());
    EXPECT_EQ(lines[start + 1].rfind(FormatString(42802, {"web"}) + "\t", 0), 0u);
    const std::vector<std::string> header = {
        FormatString(42811, {server.hostWithPort()}),
        FormatString(60080, {S(60082)}),
        FormatString(60081, {S(60085)}),
        FormatString(42812, {h.localDir}),
        FormatString(42813, {"\\web"}),
        FormatString(42814, {"CHECKED"}),
        FormatString(42815, {"UNCHECKED"}),
        FormatString(42816, {"CHECKED"}),
        FormatString(57697, {"HTML,HTM,TXT"}),
        FormatString(57698, {"BAK"}),
        FormatString(57694, {"3"}),
        FormatString(42803, {h.localDir}),
        "\ta.txt",
        "\tsub/b.txt",
        S(57685),
        FormatString(57686, {server.hostWithPort()}),
        FormatString(42805, {server.hostWithPort()}),
        // The server directory typed with a backslash is used with a slash.
        FormatString(42806, {"/web"}),
    };
    ASSERT_GE(lines.size(), start + 2 + header.size());
    for (size_t i = 0; i < header.size(); ++i)
        EXPECT_EQ(lines[start + 2 + i], header[i]) << i;
    EXPECT_EQ(h.state.settings.remoteDir, "/web");
    EXPECT_EQ(h.count(S(57688)), 1);
    EXPECT_EQ(h.state.flags.runFailed, 0);
    EXPECT_TRUE(h.port.messages().empty());
    EXPECT_EQ(h.port.completions(), 1);
    // Completion: summary, indicators reset, idle.
    EXPECT_EQ(lines.back(), FormatString(42804, {"2 / 2"}));
    EXPECT_EQ(h.port.progress().back(), 0);
    EXPECT_EQ(h.port.states().back(), 0);
    EXPECT_FALSE(h.port.animation());
    // The run used one login, and the proxy-less port rule.
    EXPECT_EQ(server.countCommands("PASS"), 1);
    EXPECT_EQ(h.state.settings.port, 0);
}

TEST(RunDriver, LoadFailuresStopBeforeAnyConnection) {
    TestFtpServer server;
    struct Case {
        int code;
        std::function<void(RunHarness&)> setup;
    };
    const std::vector<Case> cases = {
        {1, [](RunHarness& h) { h.state.settings.profileName.clear(); }},
        {2,
         [](RunHarness& h) {
             // A new profile has no USER until the setup dialog saves it.
             h.store.CreateProfile("fresh");
             h.store.WriteString("fresh", "HOST", "example.invalid");
             h.state.settings.profileName = "fresh";
         }},
        {3, [](RunHarness& h) { h.store.WriteString("p", "HOST", ""); }},
        {4, [](RunHarness& h) { h.store.WriteDword("p", "PORT", -1); }},
        {5,
         [](RunHarness& h) {
             h.store.WriteDword("p", "PSWSVD", 0);
             h.port.setPassword(std::nullopt);
         }},
        {6, [](RunHarness& h) { h.store.WriteString("p", "LOCAL_DIRECTORY", ""); }},
    };
    for (const Case& c : cases) {
        RunHarness h;
        h.MakeProfile("p", server);
        c.setup(h);
        EXPECT_EQ(h.Run(), 1) << c.code;
        const std::string text = S(42792 + c.code);
        EXPECT_EQ(h.port.messages(), (std::vector<std::string>{text, S(42829)})) << c.code;
        EXPECT_EQ(h.count(text), 1) << c.code;
        EXPECT_EQ(h.count(S(42817)), 1) << c.code;
        EXPECT_EQ(h.port.completions(), 0) << c.code;  // completion ran directly, nothing posted
        EXPECT_EQ(h.port.states(), (std::vector<int>{1, 0})) << c.code;
    }
    EXPECT_EQ(server.connectionCount(), 0);
}

TEST(RunDriver, StopsWithoutErrorFlag) {
    TestFtpServer server;
    {
        RunHarness h;
        h.MakeProfile("p", server, ProfileSpec{.download = false, .upload = false});
        EXPECT_EQ(h.Run(), 3);
        EXPECT_EQ(h.port.messages(), (std::vector<std::string>{S(57674)}));
        EXPECT_EQ(h.count(S(57674)), 1);
        EXPECT_EQ(h.state.flags.runFailed, 0);
    }
    {
        RunHarness h;
        h.MakeProfile("p", server, ProfileSpec{.localDir = h.root / "missing"});
        EXPECT_EQ(h.Run(), 1);
        EXPECT_EQ(h.port.messages(), (std::vector<std::string>{S(42799), S(42829)}));
        const auto lines = h.lines();
        EXPECT_EQ(lines[IndexOf(lines, S(42799)) + 1], S(42817));
    }
    {
        RunHarness h;
        h.MakeProfile("p", server, ProfileSpec{.remoteDir = "no/such/dir"});
        EXPECT_EQ(h.Run(), 3);
        EXPECT_EQ(h.count(S(42818)), 1);
        EXPECT_TRUE(h.port.messages().empty());
        EXPECT_EQ(h.port.completions(), 1);
    }
    EXPECT_EQ(server.connectionCount(), 1);
}

TEST(RunDriver, NetworkFailuresLogTheErrorText) {
    TestFtpServer server;
    for (const bool wrongPassword : {false, true}) {
        RunHarness h;
        h.MakeProfile("p", wrongPassword
                               ? ProfileSpec{.host = server.hostWithPort(), .password = "wrong"}
                               : ProfileSpec{.host = "127.0.0.1:" + std::to_string(test::UnusedLoopbackPort())});
        EXPECT_EQ(h.Run(), 1);
        const auto lines = h.lines();
        const size_t at = IndexOf(lines, S(42820));
        ASSERT_LT(at + 1, lines.size());
        EXPECT_FALSE(lines[at + 1].empty());
        EXPECT_NE(lines[at + 1], FormatString(42804, {""}));
        EXPECT_EQ(h.port.messages(), (std::vector<std::string>{S(42829)}));
        EXPECT_EQ(h.port.completions(), 1);
        EXPECT_EQ(h.port.progress().end()[-2], 95);
    }
}

TEST(RunDriver, CancelDuringASlowLoginAbortsOnce) {
    test::FtpServerOptions options;
    options.loginDelaySeconds = 1.5;
    TestFtpServer server(options);
    RunHarness h;
    WriteFile(h.localDir + "/a.txt", "a");
    h.MakeProfile("p", server);
    h.Start();
    while (h.count(FormatString(57686, {server.hostWithPort()})) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    h.owner.Cancel();
    EXPECT_EQ(h.Wait(), 3);
    EXPECT_EQ(h.count(S(42800)), 1);
    // The login is aborted, not waited for.
    EXPECT_EQ(h.count(FormatString(42805, {server.hostWithPort()})), 0);
    EXPECT_EQ(h.count(S(57687)), 0);
    EXPECT_EQ(h.port.messages(), (std::vector<std::string>{S(57690)}));
    EXPECT_EQ(h.port.completions(), 1);
}

}  // namespace
}  // namespace kestrum
