// Runs over SFTP against a real OpenSSH server: host key questions and pins,
// known_hosts, and the run's phases over the second transport.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>

#include "res/strings.h"
#include "tests/support/ftp_server.h"
#include "tests/support/process.h"
#include "tests/support/run_harness.h"
#include "tests/support/sshd_server.h"

namespace kestrum::test {
namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

int Logins(const TestSshd& server) {
    const std::string log = server.log();
    int n = 0;
    for (size_t at = log.find("Accepted "); at != std::string::npos; at = log.find("Accepted ", at + 1))
        ++n;
    return n;
}

// Whether a file directly in dir holds some bytes.
bool AnyHasBytes(const std::string& dir) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.is_regular_file() && entry.file_size(ec) > 0)
            return true;
    return false;
}

class SftpRun : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = TestSshd::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        server_.emplace();
    }
    void MakeProfile(RunHarness& h, const std::string& pinned) {
        h.MakeProfile("p", {.host = server_->hostWithPort(),
                            .user = TestSshd::kUser,
                            .password = TestSshd::kPassword,
                            .remoteDir = server_->home()});
        ASSERT_TRUE(h.store.WriteProfileValues("p", {{"FTP_SECURITY", int32_t{3}}, {"SSH_HOST_KEY", pinned}}));
    }
    std::optional<TestSshd> server_;
};

// The window asks about an unknown key before any login and pins it as
// SSH_HOST_KEY only when trusted.
TEST_F(SftpRun, TheWindowAsksAboutAnUnknownHostKey) {
    for (const bool trusted : {false, true}) {
        SCOPED_TRACE(trusted ? "trusted" : "declined");
        RunHarness h;
        MakeProfile(h, "");
        WriteFile(h.localDir + "/a.txt", "A");
        h.port.setAnswerOk(trusted);
        const int logins = Logins(*server_);
        EXPECT_EQ(h.Run(), trusted ? 0 : 5);
        ASSERT_EQ(h.port.questions().size(), 1u);
        EXPECT_TRUE(Has(h.port.questions()[0], server_->hostKeyFingerprint())) << h.port.questions()[0];
        EXPECT_EQ(h.store.ReadString("p", "SSH_HOST_KEY", 254).value_or(""),
                  trusted ? server_->hostKeyFingerprint() : "");
        EXPECT_EQ(h.count(LoadString(60121)), trusted ? 0 : 1);
        EXPECT_EQ(Logins(*server_), logins + (trusted ? 1 : 0)) << server_->log();
        EXPECT_EQ(FileMtime(server_->home() + "/a.txt") > 0, trusted);
        EXPECT_EQ(h.count(FormatString(60080, {LoadString(60114)})), 1);
    }
}

// Upload with mirroring, a second run that copies nothing, then a download
// that takes the server's times; a file's mode is kept when it is replaced.
TEST_F(SftpRun, UploadMirrorAndDownloadKeepTimesAndModes) {
    RunHarness h;
    MakeProfile(h, server_->hostKeyFingerprint());
    ASSERT_TRUE(h.store.WriteProfileValues("p", {{"MIRRORING_FILE", int32_t{1}}}));
    const std::string home = server_->home();
    WriteFile(home + "/gone.txt", "x", 1'600'000'000);
    WriteFile(home + "/run.cgi", "old", 1'600'000'000);
    chmod((home + "/run.cgi").c_str(), 0751);
    std::filesystem::create_directories(home + "/old/deep");
    WriteFile(home + "/old/deep/f", "x", 1'600'000'000);
    struct stat owner {};
    ASSERT_EQ(stat(home.c_str(), &owner), 0);
    for (const char* name : {"gone.txt", "run.cgi", "old", "old/deep", "old/deep/f"})
        ASSERT_EQ(chown((home + "/" + name).c_str(), owner.st_uid, owner.st_gid), 0);
    WriteFile(h.localDir + "/run.cgi", "new");
    WriteFile(h.localDir + "/d/e/f.html", "<p>\n");  // a listed text extension
    EXPECT_EQ(h.Run(), 0);
    EXPECT_EQ(ReadFile(home + "/run.cgi"), "new");
    EXPECT_EQ(ReadFile(home + "/d/e/f.html"), "<p>\n");  // binary always: SFTP has no text mode
    struct stat st {};
    ASSERT_EQ(stat((home + "/run.cgi").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_EQ(FileMtime(home + "/gone.txt"), -1);
    EXPECT_EQ(FileMtime(home + "/old/deep/f"), -1);
    EXPECT_EQ(h.count(FormatString(42808, {"d/e/f.html"})), 1);  // copied, not "in ASCII mode"
    for (const auto& e : std::filesystem::recursive_directory_iterator(home))
        EXPECT_NE(e.path().filename().string().rfind(".kestrum-", 0), 0u) << e.path();
    // The local copies took the server's times: a second run copies nothing.
    EXPECT_EQ(FileMtime(h.localDir + "/run.cgi"), FileMtime(home + "/run.cgi"));
    const size_t from = h.lines().size();
    EXPECT_EQ(h.Run(), 0);
    const std::vector<std::string> again = h.lines();
    for (size_t i = from; i < again.size(); ++i)
        EXPECT_FALSE(Has(again[i], "アップロードします") || Has(again[i], "ダウンロードします")) << again[i];

    // Download: a newer server file comes down with the server's time.
    WriteFile(home + "/d/e/f.html", "server", 2'000'000'000);  // the server's own clock: written as root
    ASSERT_TRUE(h.store.WriteProfileValues("p", {{"CHECK_UPLOAD", int32_t{0}}, {"CHECK_DOWNLOAD", int32_t{1}}}));
    EXPECT_EQ(h.Run(), 0);
    EXPECT_EQ(ReadFile(h.localDir + "/d/e/f.html"), "server");
    EXPECT_EQ(FileMtime(h.localDir + "/d/e/f.html"), 2'000'000'000);
}

// A key file's passphrase, not stored, is asked for as such when the run
// starts; it may be longer than a password.
TEST_F(SftpRun, TheKeyFilesPassphraseIsAskedFor) {
    RunHarness h;
    const std::string passphrase = "a passphrase longer than twenty bytes";
    const std::string key = server_->MakeClientKey(passphrase);
    h.MakeProfile("p", {.host = server_->hostWithPort(),
                        .user = TestSshd::kUser,
                        .savePassword = false,
                        .remoteDir = server_->home()});
    ASSERT_TRUE(h.store.WriteProfileValues(
        "p", {{"FTP_SECURITY", int32_t{3}}, {"SSH_HOST_KEY", server_->hostKeyFingerprint()}, {"SSH_KEY_FILE", key}}));
    WriteFile(h.localDir + "/a.txt", "A");
    h.port.setPassword(passphrase);
    EXPECT_EQ(h.Run(), 0);
    EXPECT_EQ(h.port.promptTexts(), std::vector<std::string>{FormatString(60127, {key})});
    EXPECT_EQ(ReadFile(server_->home() + "/a.txt"), "A");
    EXPECT_TRUE(Has(server_->log(), "Accepted publickey")) << server_->log();
}

// A rename the server refuses (another user's file in a sticky directory)
// turns uploads to in place, which the server refuses too: that file
// fails, its server copy stays as it was, and no temporary copy is left.
TEST_F(SftpRun, ARefusedRenameFailsTheFileAndLeavesTheServerCopy) {
    RunHarness h;
    MakeProfile(h, server_->hostKeyFingerprint());
    const std::string home = server_->home();
    ASSERT_EQ(chown(home.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(home.c_str(), 01777), 0);
    WriteFile(home + "/kept.txt", "old", 1'600'000'000);
    ASSERT_EQ(chmod((home + "/kept.txt").c_str(), 0644), 0);
    WriteFile(h.localDir + "/kept.txt", "new");
    WriteFile(h.localDir + "/added.txt", "added");
    EXPECT_EQ(h.Run(), 4);
    EXPECT_EQ(ReadFile(home + "/kept.txt"), "old");
    EXPECT_EQ(ReadFile(home + "/added.txt"), "added");
    EXPECT_EQ(SortedNames(home), (std::vector<std::string>{"added.txt", "kept.txt"}));
    EXPECT_EQ(h.count(LoadString(60732)), 1);
}

// A cancel while the server has stopped answering, before its greeting or
// in the middle of an upload, ends the run; the part never takes the
// file's name.
TEST_F(SftpRun, ACancelEndsTheRunWhenTheServerHangs) {
    for (const bool connecting : {true, false}) {
        SCOPED_TRACE(connecting ? "connecting" : "uploading");
        TestSshd server;
        RunHarness h;
        h.MakeProfile("p", {.host = server.hostWithPort(),
                            .user = TestSshd::kUser,
                            .password = TestSshd::kPassword,
                            .remoteDir = server.home()});
        ASSERT_TRUE(h.store.WriteProfileValues(
            "p", {{"FTP_SECURITY", int32_t{3}}, {"SSH_HOST_KEY", server.hostKeyFingerprint()}}));
        WriteFile(h.localDir + "/big.bin", std::string(64 << 20, 'u'));
        if (connecting)
            server.Stall();
        bool cancelled = false;
        const auto start = std::chrono::steady_clock::now();
        h.Start();
        const RunOutcome outcome = h.owner.Await([&] {
            const bool due =
                connecting ? h.count(FormatString(57686, {server.hostWithPort()})) > 0 : AnyHasBytes(server.home());
            if (!cancelled && due) {
                if (!connecting)
                    server.Stall();
                h.owner.Cancel();
                cancelled = true;
            }
        });
        ASSERT_TRUE(cancelled);
        // Well before any of the connection's time-outs.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        EXPECT_EQ(ExitStatusOf(outcome), 3);
        EXPECT_FALSE(std::filesystem::exists(server.home() + "/big.bin"));
    }
}

// The command line refuses an unknown key with exit 5, `kestrum trust`
// pins it, a changed key stops the run before any login; a key listed in
// the user's known_hosts is trusted without a pin.
TEST_F(SftpRun, TheCommandLineTrustsPinsAndReadsKnownHosts) {
    TempDir home;
    TempDir local;
    TempDir user;
    const std::map<std::string, std::string> env = {
        {"KESTRUM_HOME", home.path()}, {"LC_ALL", "C.UTF-8"}, {"HOME", user.path()}};
    auto kestrum = [&](std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), KestrumBinary());
        return RunProcess(args, env, input);
    };
    ASSERT_EQ(kestrum({"profile", "new", "site"}).status, 0);
    ASSERT_EQ(kestrum({"profile", "set", "site", "HOST=" + server_->hostWithPort(),
                       "USER=" + std::string(TestSshd::kUser), "PSW=-", "LOCAL_DIRECTORY=" + local.path(),
                       "REMOTE_DIRECTORY=" + server_->home(), "CHECK_SUB=1", "FTP_SECURITY=3"},
                      std::string(TestSshd::kPassword) + "\n")
                  .status,
              0);
    WriteFile(local / "a.txt", "A");

    ProcessResult r = kestrum({"run", "site"});
    EXPECT_EQ(r.status, 5) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, FormatString(60120, {"site"}))) << r.out;
    EXPECT_EQ(Logins(*server_), 0) << server_->log();
    r = kestrum({"trust", "site"});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, server_->hostKeyFingerprint())) << r.out;
    r = kestrum({"trust", "site", "--yes"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(kestrum({"profile", "show", "site"}).out, "SSH_HOST_KEY=" + server_->hostKeyFingerprint()));
    r = kestrum({"run", "site"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(ReadFile(server_->home() + "/a.txt"), "A");
    // The preview, the alignment and the change cache work as over FTP.
    WriteFile(local / "p.txt", "P");
    r = kestrum({"run", "site", "--dry-run"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, FormatString(60058, {"1", "0", "0", "1", "0", "0"}))) << r.out;
    EXPECT_EQ(FileMtime(server_->home() + "/p.txt"), -1);
    r = kestrum({"align", "site", "--yes"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(FileMtime(server_->home() + "/p.txt"), -1);
    // A change after the alignment: one cached run copies it, the next does not connect.
    WriteFile(local / "p.txt", "P2", std::time(nullptr) + 60);
    for (int run = 0; run < 2; ++run) {
        const int before = Logins(*server_);
        r = kestrum({"run", "site", "--cache"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(Logins(*server_), before + (run == 0 ? 1 : 0)) << run;
    }

    server_->ReplaceHostKey();
    WriteFile(local / "b.txt", "B");
    const int logins = Logins(*server_);
    r = kestrum({"run", "site"});
    EXPECT_EQ(r.status, 5) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, server_->hostKeyFingerprint())) << r.out;
    EXPECT_EQ(Logins(*server_), logins);

    // Unpinned, the user's known_hosts vouches for the new key.
    ASSERT_EQ(kestrum({"profile", "set", "site", "SSH_HOST_KEY="}).status, 0);
    std::filesystem::create_directories(user / ".ssh");
    WriteFile(user / ".ssh/known_hosts", server_->knownHostsLine() + "\n");
    r = kestrum({"run", "site", "--trace", user / "trace.txt"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(ReadFile(server_->home() + "/b.txt"), "B");
    // The trace shows each request and reply, never the password.
    const std::string trace = ReadFile(user / "trace.txt");
    for (const char* part : {" #1 < VERSION 3", " #1 > OPEN ", "/.kestrum-upload-", " #1 < STATUS "})
        EXPECT_TRUE(Has(trace, part)) << part << "\n" << trace;
    EXPECT_FALSE(Has(trace, TestSshd::kPassword));
}

}  // namespace
}  // namespace kestrum::test
