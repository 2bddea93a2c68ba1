// kestrum run and kestrum align as a scheduled job sees them: exit statuses,
// standard output and Kestrum.log.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "profiles/profile_store.h"
#include "res/strings.h"
#include "tests/support/ftp_server.h"
#include "tests/support/process.h"

namespace kestrum {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::WriteFile;
using Args = std::vector<std::string>;

// A server, a program directory (KESTRUM_HOME) and a local directory with the
// profile "p" that copies it (subdirectories included) to the server.
struct CliHome {
    test::TestFtpServer server;
    TempDir home;
    TempDir local;

    explicit CliHome(test::FtpServerOptions options = {}, bool upload = true, bool download = false)
        : server(std::move(options)) {
        MakeProfile("p", upload, download);
    }
    std::map<std::string, std::string> env() const { return {{"KESTRUM_HOME", home.path()}, {"LC_ALL", "C.UTF-8"}}; }
    ProfileStore store() const { return ProfileStore(home / "Kestrum.conf"); }
    void MakeProfile(const std::string& name, bool upload, bool download) {
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
    test::ProcessResult Run(Args args, int sigintAfterMs = 0) const {
        args.insert(args.begin(), test::KestrumBinary());
        return test::RunProcess(args, env(), "", sigintAfterMs);
    }
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

constexpr int64_t T = 1'705'312'800;  // a file time for the align cases

// The process ended with this status and wrote err on standard error.
testing::AssertionResult Ended(const test::ProcessResult& r, int status, const std::string& err = "") {
    if (r.status == status && Contains(r.err, err))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "status " << r.status << "\nout: " << r.out << "\nerr: " << r.err;
}

TEST(CliRun, ExitStatusesAndTheLogOnStandardOutput) {
    CliHome c;
    WriteFile(c.local / "index.html", "<html></html>\n");
    const auto done = c.Run({"run", "p"});
    EXPECT_TRUE(Ended(done, 0));
    // The same lines, ended by CR LF in the file.
    std::string crlf;
    for (const char ch : done.out)
        crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    EXPECT_EQ(crlf, test::ReadFile(c.home / "Kestrum.log"));
    EXPECT_TRUE(Contains(done.out, "\tindex.html\n"));
    EXPECT_TRUE(Contains(done.out, FormatString(42804, {"1 / 1"})));
    EXPECT_EQ(test::ReadFile(c.server.home() + "/index.html"), "<html></html>\n");
    for (const Args& args : {Args{"run"}, Args{"run", "p", "--bogus"}, Args{"frobnicate"}})
        EXPECT_EQ(c.Run(args).status, 2) << args.back();
    EXPECT_TRUE(Ended(c.Run({"run", "nobody"}), 2, "nobody"));
    EXPECT_EQ(c.Run({"--help"}).status, 0);
    // Neither direction: stopped early without the error flag.
    c.MakeProfile("none", false, false);
    EXPECT_TRUE(Ended(c.Run({"run", "none"}), 3, LoadString(57674)));
    // The password prompt without a terminal counts as cancelled: code 5.
    const int connections = c.server.connectionCount();
    ProfileStore s = c.store();
    s.WriteDword("p", "PSWSVD", 0);
    const auto noPassword = c.Run({"run", "p"});
    EXPECT_TRUE(Ended(noPassword, 1, LoadString(42797)));
    EXPECT_TRUE(Contains(noPassword.err, LoadString(42829)));
    EXPECT_EQ(c.server.connectionCount(), connections);
    // Reached its end with an item that failed: a server file stands where
    // the directory x is needed.
    s.WriteDword("p", "PSWSVD", 1);
    s.WriteString("p", "PSW", ScramblePassword(c.server.options().password));
    WriteFile(c.local / "x/a.txt", "a");
    WriteFile(c.server.home() + "/x", "in the way");
    const auto itemFailed = c.Run({"run", "p"});
    EXPECT_TRUE(Ended(itemFailed, 4, FormatString(60013, {"1"})));
    EXPECT_TRUE(Contains(itemFailed.out, FormatString(42819, {"x/a.txt"})));
}

// The preview and the deletion guard's options, as a scheduled job would give them.
TEST(CliRun, PreviewAndDeletionOptions) {
    CliHome c;
    for (int i = 0; i < 8; ++i)
        WriteFile(c.server.home() + "/f" + std::to_string(i) + ".txt", "s");
    c.store().WriteDword("p", "MIRRORING_FILE", 1);
    const struct {
        Args args;
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
        EXPECT_EQ(fs::exists(c.server.home() + "/f0.txt"), !k.deleted) << testing::PrintToString(k.args);
    }
}

// --parallel N: how many connections copy for this run; out of range, a usage error.
TEST(CliRun, ParallelOptionSetsTheConnectionsOfOneRun) {
    const struct {
        Args option;
        int status;
        int logins;
    } cases[] = {{{"--parallel", "0"}, 2, 0},
                 {{"--parallel=9"}, 2, 0},
                 {{"--parallel", "x"}, 2, 0},
                 {{"--parallel", "1"}, 0, 1},
                 {{"--parallel", "3"}, 0, 3}};
    for (const auto& k : cases) {
        // A slow link: the extra logins are done long before the copies, however slow the machine.
        CliHome c({.replyLatencySeconds = 0.02});
        for (int i = 0; i < 24; ++i)
            WriteFile(c.local / ("d" + std::to_string(i % 4) + "/f" + std::to_string(i)), "x");
        Args args = {"run", "p", "--no-cache"};
        args.insert(args.end(), k.option.begin(), k.option.end());
        const auto r = c.Run(args);
        EXPECT_TRUE(Ended(r, k.status)) << testing::PrintToString(k.option);
        EXPECT_EQ(c.server.countCommands("PASS"), k.logins) << testing::PrintToString(k.option);
        EXPECT_EQ(fs::exists(c.server.home() + "/d3/f23"), k.status == 0);
    }
}

// --trace FILE: every connection's commands and replies,
// the password masked, the file truncated first.
TEST(CliRun, TraceRecordsTheCommandsAndRepliesOfEveryConnection) {
    CliHome c({.replyLatencySeconds = 0.02});
    for (int i = 0; i < 24; ++i)
        WriteFile(c.local / ("d" + std::to_string(i % 4) + "/f" + std::to_string(i)), "x");
    const std::string trace = c.home / "trace.txt";
    WriteFile(trace, "left from before\n");
    const auto r = test::RunProcess(
        {test::KestrumBinary(), "run", "p", "--no-cache", "--parallel", "2", "--trace", trace}, c.env());
    EXPECT_TRUE(Ended(r, 0));
    const std::string text = test::ReadFile(trace);
    EXPECT_FALSE(Contains(text, "left from before"));
    EXPECT_FALSE(Contains(text, c.server.options().password));
    // "date time #connection marker line"
    struct Line {
        std::string connection, marker, text;
    };
    std::vector<Line> lines;
    std::istringstream in(text);
    for (std::string row; std::getline(in, row);) {
        std::istringstream fields(row);
        std::string date, time;
        Line line;
        fields >> date >> time >> line.connection >> line.marker;
        fields.get();
        std::getline(fields, line.text);
        lines.push_back(line);
    }
    std::set<std::string> users, passwords;
    bool storeAnswered = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        if (line.marker == ">" && line.text == "USER " + c.server.options().user)
            users.insert(line.connection);
        if (line.marker == ">" && line.text == "PASS ****")
            passwords.insert(line.connection);
        if (line.marker == ">" && line.text.starts_with("STOR ")) {
            for (size_t j = i + 1; j < lines.size(); ++j) {
                if (lines[j].connection == line.connection && lines[j].marker == "<" &&
                    lines[j].text.starts_with("226")) {
                    storeAnswered = true;
                    break;
                }
            }
        }
    }
    EXPECT_EQ(users, (std::set<std::string>{"#1", "#2"})) << text;
    EXPECT_EQ(passwords, users);
    EXPECT_TRUE(storeAnswered) << text;
}

// A trace file that cannot be created: a clear message, and nothing run.
TEST(CliRun, UnopenableTraceFileRunsNothing) {
    CliHome c;
    WriteFile(c.local / "a.txt", "l");
    const std::string bad = c.home / "no/such/dir/trace.txt";
    const struct {
        Args args;
        std::string err;
    } cases[] = {
        {{"run", "p", "--trace", bad}, bad},
        {{"align", "p", "--yes", "--trace", bad}, bad},
        {{"trust", "p", "--trace", bad}, bad},
        {{"run", "p", "--trace"}, LoadString(60104)},
    };
    for (const auto& k : cases) {
        const auto r = c.Run(k.args);
        EXPECT_TRUE(Ended(r, 2, k.err)) << testing::PrintToString(k.args);
    }
    EXPECT_EQ(c.server.connectionCount(), 0);
    EXPECT_FALSE(fs::exists(c.server.home() + "/a.txt"));
}

// SIGINT while the login is pending cancels once (run) and aligns nothing (align);
// a second copy on the same program directory is refused meanwhile.
TEST(CliRun, SlowLoginInterruptedAndASecondCopyRefused) {
    CliHome c({.loginDelaySeconds = 2});
    WriteFile(c.local / "a.txt", "l", T);
    WriteFile(c.server.home() + "/a.txt", "s", T + 100'000);
    auto r = c.Run({"run", "p"}, 800);
    EXPECT_TRUE(Ended(r, 3, LoadString(57690)));
    const std::string cancelled = LoadString(42800);
    EXPECT_TRUE(Contains(r.out, cancelled) && r.out.find(cancelled) == r.out.rfind(cancelled)) << r.out;  // once
    r = c.Run({"align", "p", "--yes"}, 800);
    EXPECT_TRUE(Ended(r, 3));
    EXPECT_TRUE(Contains(r.out, cancelled + "\n"));
    EXPECT_EQ(test::FileMtime(c.local / "a.txt"), T);
    test::ProcessResult second;
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        second = c.Run({"run", "p"});
    });
    r = c.Run({"run", "p"});
    other.join();
    EXPECT_TRUE(Ended(r, 0));
    EXPECT_TRUE(Ended(second, 1, LoadString(60103)));
}

// The second signal comes while the first cancel still lets the download run:
// the process ends at once, and the download's temporary file goes with it.
TEST(CliRun, ASecondSignalEndsAtOnceLeavingNoTemporaryFile) {
    CliHome c({.transferBytesPerSecond = 64 * 1024}, false, true);
    WriteFile(c.server.home() + "/big.bin", std::string(4 << 20, 'n'));
    WriteFile(c.local / "big.bin", "the old copy", std::time(nullptr) - 86400);
    auto localNames = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(c.local.path()))
            names.push_back(entry.path().filename().string());
        return names;
    };
    // A temporary file of the download that has something in it.
    auto downloading = [&] {
        std::error_code ec;
        const auto names = localNames();
        return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
            return name.rfind(".kestrum-", 0) == 0 && fs::file_size(c.local / name, ec) > 0 && !ec;
        });
    };
    int signals = 0;
    auto signalled = std::chrono::steady_clock::now();
    const auto r = test::RunProcess({test::KestrumBinary(), "run", "p"}, c.env(), "", 0, 30000, [&](pid_t pid) {
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
    EXPECT_TRUE(Ended(r, 3, LoadString(60031)));
    EXPECT_TRUE(Contains(r.out, LoadString(60030)));
    EXPECT_EQ(localNames(), std::vector<std::string>{"big.bin"});
    EXPECT_EQ(test::ReadFile(c.local / "big.bin"), "the old copy");
}

// kestrum align: the same exit statuses and output as a run. Usage errors, an
// unknown profile, the question without a terminal (refused) and a wrong
// password change nothing; --yes aligns.
TEST(CliAlign, RefusalsChangeNothingAndYesAligns) {
    CliHome c;
    WriteFile(c.local / "a.txt", "l", T);
    WriteFile(c.local / "sub/b.txt", "l", T);
    WriteFile(c.server.home() + "/a.txt", "s", T + 100'000);
    for (const Args& args :
         {Args{"align"}, Args{"align", "--yes"}, Args{"align", "p", "other"}, Args{"align", "p", "--force"}}) {
        EXPECT_TRUE(Ended(c.Run(args), 2, LoadString(60104))) << args.size();
    }
    EXPECT_TRUE(Ended(c.Run({"align", "nope", "--yes"}), 2, FormatString(60102, {"nope"})));
    auto r = c.Run({"align", "p"});
    EXPECT_TRUE(Ended(r, 3, LoadString(60501)));
    EXPECT_FALSE(Contains(r.out, FormatString(57671, {"p"})));
    EXPECT_EQ(c.server.connectionCount(), 0);
    EXPECT_FALSE(fs::exists(c.home / "CACHE"));
    c.store().WriteString("p", "PSW", ScramblePassword("wrong"));
    r = c.Run({"align", "p", "--yes"});
    EXPECT_TRUE(Ended(r, 1, LoadString(42829)));
    EXPECT_TRUE(Contains(r.out, LoadString(42820) + "\n"));
    EXPECT_EQ(test::FileMtime(c.local / "a.txt"), T);
    c.store().WriteString("p", "PSW", ScramblePassword(c.server.options().password));
    r = c.Run({"align", "p", "--yes"});
    EXPECT_TRUE(Ended(r, 0));
    EXPECT_NE(test::FileMtime(c.local / "a.txt"), T);
    EXPECT_EQ(test::FileMtime(c.local / "sub/b.txt"), T);
    EXPECT_TRUE(Contains(r.out, FormatString(57671, {"p"}) + "\t"));
    EXPECT_TRUE(Contains(r.out, FormatString(57672, {"a.txt"}) + "\n"));
    EXPECT_TRUE(Contains(r.out, FormatString(42804, {"1 / 2"}) + "\n"));
    EXPECT_FALSE(Contains(r.err, LoadString(57675))) << "no question with --yes";
    EXPECT_TRUE(Contains(test::ReadFile(c.home / "Kestrum.log"), FormatString(42804, {"1 / 2"}) + "\r\n"));
    EXPECT_TRUE(fs::is_regular_file(c.home / "CACHE/p"));
}

}  // namespace
}  // namespace kestrum
