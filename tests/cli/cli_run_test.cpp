// kestrum run and kestrum align as a scheduled job sees them: exit statuses,
// standard output and Kestrum.log.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "profiles/profile_store.h"
#include "res/strings.h"
#include "tests/support/ftp_server.h"
#include "tests/support/process.h"

namespace kestrum {
namespace {

using test::RunProcess;
using test::TempDir;
using test::TestFtpServer;
using test::WriteFile;

struct CliHome {
    TempDir home;
    TempDir local;
    std::map<std::string, std::string> env() const { return {{"KESTRUM_HOME", home.path()}, {"LC_ALL", "C.UTF-8"}}; }
    ProfileStore store() const { return ProfileStore(home / "Kestrum.conf"); }
    void MakeProfile(const std::string& name, const TestFtpServer& server, bool upload = true, bool download = false) {
        ProfileStore s = store();
        std::string selected;
        int cache = 0;
        s.InitGlobalValues(home.path(), selected, cache);
        s.CreateProfile(name);
        s.WriteProfileValues(name, {{"FTP_SECURITY", int32_t{0}}});
        s.SaveGeneralSettings(name, {.host = server.hostWithPort(),
                                     .user = server.options().user,
                                     .password = server.options().password,
                                     .savePassword = true,
                                     .localDir = local.path(),
                                     .subdirs = true,
                                     .download = download,
                                     .upload = upload});
    }
    test::ProcessResult Run(std::vector<std::string> args, int sigintAfterMs = 0) const {
        args.insert(args.begin(), test::KestrumBinary());
        return RunProcess(args, env(), "", sigintAfterMs);
    }
};

std::vector<std::string> SplitLines(const std::string& text, const std::string& sep) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + sep.size();
    }
    return lines;
}

TEST(CliRun, LogOnStandardOutputMatchesTheLogFile) {
    TestFtpServer server;
    CliHome c;
    WriteFile(c.local / "index.html", "<html></html>\n");
    c.MakeProfile("web", server);
    const auto r = c.Run({"run", "web"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string file = test::ReadFile(c.home / "Kestrum.log");
    EXPECT_EQ(SplitLines(r.out, "\n"), SplitLines(file, "\r\n"));
    EXPECT_NE(r.out.find("\tindex.html\n"), std::string::npos);
    EXPECT_NE(r.out.find(FormatString(42804, {"1 / 1"})), std::string::npos);
    EXPECT_EQ(test::ReadFile(server.home() + "/index.html"), "<html></html>\n");
}

TEST(CliRun, ExitStatuses) {
    TestFtpServer server;
    CliHome c;
    c.MakeProfile("p", server);
    EXPECT_EQ(c.Run({"run"}).status, 2);
    EXPECT_EQ(c.Run({"run", "p", "--bogus"}).status, 2);
    EXPECT_EQ(c.Run({"frobnicate"}).status, 2);
    const auto unknown = c.Run({"run", "nobody"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("nobody"), std::string::npos);
    EXPECT_EQ(c.Run({"--help"}).status, 0);

    // Neither direction: stopped early without the error flag.
    c.MakeProfile("none", server, false);
    ProfileStore s = c.store();
    s.WriteDword("none", "CHECK_DOWNLOAD", 0);
    const auto none = c.Run({"run", "none"});
    EXPECT_EQ(none.status, 3);
    EXPECT_NE(none.err.find(LoadString(57674)), std::string::npos);

    // The password prompt without a terminal counts as cancelled: code 5.
    s.WriteDword("p", "PSWSVD", 0);
    const auto noPassword = c.Run({"run", "p"});
    EXPECT_EQ(noPassword.status, 1);
    EXPECT_NE(noPassword.err.find(LoadString(42797)), std::string::npos);
    EXPECT_NE(noPassword.err.find(LoadString(42829)), std::string::npos);
    EXPECT_EQ(server.connectionCount(), 0);

    // Reached its end with an item that failed: a server file stands where
    // the directory x is needed.
    s.WriteDword("p", "PSWSVD", 1);
    s.WriteString("p", "PSW", ScramblePassword(server.options().password));
    WriteFile(c.local / "x/a.txt", "a");
    WriteFile(server.home() + "/x", "in the way");
    const auto itemFailed = c.Run({"run", "p"});
    EXPECT_EQ(itemFailed.status, 4) << itemFailed.out;
    EXPECT_NE(itemFailed.out.find(FormatString(42819, {"x/a.txt"})), std::string::npos);
    EXPECT_NE(itemFailed.err.find(FormatString(60013, {"1"})), std::string::npos);
}

// The preview and the deletion guard's options, as a scheduled job would give them.
TEST(CliRun, PreviewAndDeletionOptions) {
    TestFtpServer server;
    CliHome c;
    for (int i = 0; i < 8; ++i)
        WriteFile(server.home() + "/f" + std::to_string(i) + ".txt", "s");
    c.MakeProfile("p", server);
    ProfileStore s = c.store();
    s.WriteDword("p", "MIRRORING_FILE", 1);
    const struct {
        std::vector<std::string> args;
        int status;
        bool deleted;
    } cases[] = {
        {{"run", "p", "--dry-run"}, 0, false},          {{"run", "p", "--max-delete"}, 2, false},
        {{"run", "p", "--max-delete", "-1"}, 2, false}, {{"run", "p"}, 4, false},
        {{"run", "p", "--max-delete", "8"}, 0, true},
    };
    for (const auto& k : cases) {
        const auto r = c.Run(k.args);
        EXPECT_EQ(r.status, k.status) << testing::PrintToString(k.args) << r.out << r.err;
        EXPECT_EQ(std::filesystem::exists(server.home() + "/f0.txt"), !k.deleted) << testing::PrintToString(k.args);
    }
}

// --parallel N: how many connections copy for this run; out of range, a usage error.
TEST(CliRun, ParallelOptionSetsTheConnectionsOfOneRun) {
    const struct {
        std::vector<std::string> extra;
        int status;
        int logins;
    } cases[] = {{{"--parallel", "0"}, 2, 0},
                 {{"--parallel=9"}, 2, 0},
                 {{"--parallel", "x"}, 2, 0},
                 {{"--parallel", "1"}, 0, 1},
                 {{"--parallel", "3"}, 0, 3}};
    for (const auto& k : cases) {
        TestFtpServer server;
        CliHome c;
        for (int i = 0; i < 24; ++i)
            WriteFile(c.local / ("d" + std::to_string(i % 4) + "/f" + std::to_string(i)), "x");
        c.MakeProfile("p", server);
        std::vector<std::string> args = {"run", "p", "--no-cache"};
        args.insert(args.end(), k.extra.begin(), k.extra.end());
        const auto r = c.Run(args);
        EXPECT_EQ(r.status, k.status) << testing::PrintToString(args) << r.out << r.err;
        EXPECT_EQ(server.countCommands("PASS"), k.logins) << testing::PrintToString(args);
        EXPECT_EQ(std::filesystem::exists(server.home() + "/d3/f23"), k.status == 0);
    }
}

TEST(CliRun, SigintDuringSlowLoginCancelsOnce) {
    test::FtpServerOptions options;
    options.loginDelaySeconds = 2;
    TestFtpServer server(options);
    CliHome c;
    WriteFile(c.local / "a.txt", "a");
    c.MakeProfile("p", server);
    const auto r = c.Run({"run", "p"}, 800);
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    const std::string cancelled = LoadString(42800);
    size_t first = r.out.find(cancelled);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(r.out.find(cancelled, first + 1), std::string::npos);
    EXPECT_NE(r.err.find(LoadString(57690)), std::string::npos);
}

// The second signal comes while the first cancel still lets the download run:
// the process ends at once, and the download's temporary file goes with it.
TEST(CliRun, ASecondSignalEndsAtOnceLeavingNoTemporaryFile) {
    test::FtpServerOptions options;
    options.transferBytesPerSecond = 64 * 1024;
    TestFtpServer server(options);
    CliHome c;
    WriteFile(server.home() + "/big.bin", std::string(4 << 20, 'n'));
    WriteFile(c.local / "big.bin", "the old copy", std::time(nullptr) - 86400);
    c.MakeProfile("p", server, false, true);
    auto localNames = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(c.local.path()))
            names.push_back(entry.path().filename().string());
        return names;
    };
    auto downloading = [&] {
        std::error_code ec;
        for (const std::string& name : localNames()) {
            if (name.rfind(".kestrum-", 0) == 0 && std::filesystem::file_size(c.local / name, ec) > 0 && !ec)
                return true;
        }
        return false;
    };
    int signals = 0;
    auto signalled = std::chrono::steady_clock::now();
    const auto r = RunProcess({test::KestrumBinary(), "run", "p"}, c.env(), "", 0, 30000, [&](pid_t pid) {
        // The first once the download has written something, the second soon after.
        const bool due = signals == 0 ? downloading()
                                      : std::chrono::steady_clock::now() - signalled > std::chrono::milliseconds(200);
        if (signals < 2 && due) {
            kill(pid, SIGINT);
            signalled = std::chrono::steady_clock::now();
            ++signals;
        }
    });
    EXPECT_EQ(signals, 2);
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.err.find(LoadString(60031)), std::string::npos);
    EXPECT_NE(r.out.find(LoadString(60030)), std::string::npos);
    EXPECT_EQ(localNames(), std::vector<std::string>{"big.bin"});
    EXPECT_EQ(test::ReadFile(c.local / "big.bin"), "the old copy");
}

TEST(CliRun, SecondCopyOnTheSameProgramDirectoryIsRefused) {
    test::FtpServerOptions options;
    options.loginDelaySeconds = 2;
    TestFtpServer server(options);
    CliHome c;
    c.MakeProfile("p", server);
    test::ProcessResult second;
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        second = c.Run({"run", "p"});
    });
    const auto first = c.Run({"run", "p"});
    other.join();
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find(LoadString(60103)), std::string::npos);
}

// kestrum align: the same exit statuses and output as a run.
constexpr int64_t T = 1'705'312'800;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CliAlign, AlignsWithYesAndReportsOnStandardOutput) {
    TestFtpServer server;
    CliHome c;
    WriteFile(c.local / "a.txt", "l", T);
    WriteFile(c.local / "sub/b.txt", "l", T);
    WriteFile(server.home() + "/a.txt", "s", T + 100'000);
    c.MakeProfile("web", server);

    const test::ProcessResult r = c.Run({"align", "web", "--yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(test::FileMtime(c.local / "a.txt"), T);
    EXPECT_EQ(test::FileMtime(c.local / "sub/b.txt"), T);
    EXPECT_TRUE(Contains(r.out, FormatString(57671, {"web"}) + "\t"));
    EXPECT_TRUE(Contains(r.out, FormatString(57672, {"a.txt"}) + "\n"));
    EXPECT_TRUE(Contains(r.out, FormatString(42804, {"1 / 2"}) + "\n"));
    EXPECT_FALSE(Contains(r.err, LoadString(57675))) << "no question with --yes";
    EXPECT_TRUE(Contains(test::ReadFile(c.home / "Kestrum.log"), FormatString(42804, {"1 / 2"}) + "\r\n"));
    EXPECT_TRUE(std::filesystem::is_regular_file(c.home / "CACHE/web"));
}

TEST(CliAlign, WithoutATerminalTheQuestionCountsAsRefused) {
    TestFtpServer server;
    CliHome c;
    WriteFile(c.local / "a.txt", "l", T);
    WriteFile(server.home() + "/a.txt", "s", T + 100'000);
    c.MakeProfile("web", server);

    const test::ProcessResult r = c.Run({"align", "web"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Contains(r.err, LoadString(60501))) << r.err;
    EXPECT_FALSE(Contains(r.out, FormatString(57671, {"web"})));
    EXPECT_EQ(test::FileMtime(c.local / "a.txt"), T);
    EXPECT_EQ(server.connectionCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(c.home / "CACHE"));
}

TEST(CliAlign, BadCommandLinesAndUnknownProfiles) {
    TestFtpServer server;
    CliHome c;
    c.MakeProfile("web", server);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"align"}, {"align", "--yes"}, {"align", "web", "other"}, {"align", "web", "--force"}}) {
        const test::ProcessResult r = c.Run(args);
        EXPECT_EQ(r.status, 2) << args.size();
        EXPECT_TRUE(Contains(r.err, LoadString(60104)));
    }
    const test::ProcessResult r = c.Run({"align", "nope", "--yes"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, FormatString(60102, {"nope"})));
    EXPECT_EQ(server.connectionCount(), 0);
}

TEST(CliAlign, FailureAndInterruption) {
    {
        TestFtpServer server;
        CliHome c;
        WriteFile(c.local / "a.txt", "l", T);
        c.MakeProfile("web", server);
        c.store().WriteString("web", "PSW", ScramblePassword("wrong"));
        const test::ProcessResult r = c.Run({"align", "web", "--yes"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Contains(r.out, LoadString(42820) + "\n"));
        EXPECT_TRUE(Contains(r.err, LoadString(42829)));
    }
    {
        // SIGINT while the login is pending: the login is aborted, nothing
        // is aligned, status 3.
        TestFtpServer server(test::FtpServerOptions{.loginDelaySeconds = 2});
        CliHome c;
        WriteFile(c.local / "a.txt", "l", T);
        WriteFile(server.home() + "/a.txt", "s", T + 100'000);
        c.MakeProfile("web", server);
        const test::ProcessResult r = c.Run({"align", "web", "--yes"}, 800);
        EXPECT_EQ(r.status, 3) << r.out << r.err;
        EXPECT_TRUE(Contains(r.out, LoadString(42800) + "\n"));
        EXPECT_EQ(test::FileMtime(c.local / "a.txt"), T);
    }
}

}  // namespace
}  // namespace kestrum
