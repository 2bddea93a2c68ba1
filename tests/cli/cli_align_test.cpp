// kestrum align as a script sees it: exit statuses, output, files changed or not.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "profiles/profile_store.h"
#include "res/strings.h"
#include "tests/support/ftp_server.h"
#include "tests/support/process.h"

namespace kestrum::test {
namespace {

constexpr int64_t T = 1'705'312'800;

struct AlignHome {
    TempDir home;
    TempDir local;
    std::map<std::string, std::string> env() const { return {{"KESTRUM_HOME", home.path()}, {"LC_ALL", "C.UTF-8"}}; }
    void MakeProfile(const std::string& name, const TestFtpServer& server, const std::string& password = "") {
        ProfileStore store(home / "Kestrum.conf");
        std::string selected;
        int cache = 0;
        store.InitGlobalValues(home.path(), selected, cache);
        store.CreateProfile(name);
        store.WriteProfileValues(name, {{"FTP_SECURITY", int32_t{0}}});
        store.SaveGeneralSettings(name, {.host = server.hostWithPort(),
                                         .user = server.options().user,
                                         .password = password.empty() ? server.options().password : password,
                                         .savePassword = true,
                                         .localDir = local.path(),
                                         .subdirs = true,
                                         .upload = true});
    }
    ProcessResult Run(std::vector<std::string> args, int sigintAfterMs = 0) const {
        args.insert(args.begin(), KestrumBinary());
        return RunProcess(args, env(), "", sigintAfterMs);
    }
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CliAlign, AlignsWithYesAndReportsOnStandardOutput) {
    TestFtpServer server;
    AlignHome c;
    WriteFile(c.local / "a.txt", "l", T);
    WriteFile(c.local / "sub/b.txt", "l", T);
    WriteFile(server.home() + "/a.txt", "s", T + 100'000);
    c.MakeProfile("web", server);

    const ProcessResult r = c.Run({"align", "web", "--yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(FileMtime(c.local / "a.txt"), T);
    EXPECT_EQ(FileMtime(c.local / "sub/b.txt"), T);
    EXPECT_TRUE(Contains(r.out, FormatString(57671, {"web"}) + "\t"));
    EXPECT_TRUE(Contains(r.out, FormatString(57672, {"a.txt"}) + "\n"));
    EXPECT_TRUE(Contains(r.out, FormatString(42804, {"1 / 2"}) + "\n"));
    EXPECT_FALSE(Contains(r.err, LoadString(57675))) << "no question with --yes";
    EXPECT_TRUE(Contains(ReadFile(c.home / "Kestrum.log"), FormatString(42804, {"1 / 2"}) + "\r\n"));
    EXPECT_TRUE(std::filesystem::is_regular_file(c.home / "CACHE/web"));
}

TEST(CliAlign, WithoutATerminalTheQuestionCountsAsRefused) {
    TestFtpServer server;
    AlignHome c;
    WriteFile(c.local / "a.txt", "l", T);
    WriteFile(server.home() + "/a.txt", "s", T + 100'000);
    c.MakeProfile("web", server);

    const ProcessResult r = c.Run({"align", "web"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Contains(r.err, LoadString(60501))) << r.err;
    EXPECT_FALSE(Contains(r.out, FormatString(57671, {"web"})));
    EXPECT_EQ(FileMtime(c.local / "a.txt"), T);
    EXPECT_EQ(server.connectionCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(c.home / "CACHE"));
}

TEST(CliAlign, BadCommandLinesAndUnknownProfiles) {
    TestFtpServer server;
    AlignHome c;
    c.MakeProfile("web", server);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"align"}, {"align", "--yes"}, {"align", "web", "other"}, {"align", "web", "--force"}}) {
        const ProcessResult r = c.Run(args);
        EXPECT_EQ(r.status, 2) << args.size();
        EXPECT_TRUE(Contains(r.err, LoadString(60104)));
    }
    const ProcessResult r = c.Run({"align", "nope", "--yes"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, FormatString(60102, {"nope"})));
    EXPECT_EQ(server.connectionCount(), 0);
}

TEST(CliAlign, FailureAndInterruption) {
    {
        TestFtpServer server;
        AlignHome c;
        WriteFile(c.local / "a.txt", "l", T);
        c.MakeProfile("web", server, "wrong");
        const ProcessResult r = c.Run({"align", "web", "--yes"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Contains(r.out, LoadString(42820) + "\n"));
        EXPECT_TRUE(Contains(r.err, LoadString(42829)));
    }
    {
        // SIGINT while the login is pending: the login is aborted, nothing
        // is aligned, status 3.
        TestFtpServer server(FtpServerOptions{.loginDelaySeconds = 2});
        AlignHome c;
        WriteFile(c.local / "a.txt", "l", T);
        WriteFile(server.home() + "/a.txt", "s", T + 100'000);
        c.MakeProfile("web", server);
        const ProcessResult r = c.Run({"align", "web", "--yes"}, 800);
        EXPECT_EQ(r.status, 3) << r.out << r.err;
        EXPECT_TRUE(Contains(r.out, LoadString(42800) + "\n"));
        EXPECT_EQ(FileMtime(c.local / "a.txt"), T);
    }
}

}  // namespace
}  // namespace kestrum::test
