// The SSH test server through OpenSSH's own clients: every way of logging in
// uploads into home(), with the host key checked against the harness's line.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ftp_server.h"
#include "tests/support/process.h"
#include "tests/support/sshd_server.h"

namespace kestrum::test {
namespace {

// The fingerprint of the key the server presents, as ssh-keyscan fetches it.
std::string ScannedFingerprint(const TestSshd& server) {
    const ProcessResult scan =
        RunProcess({"/bin/sh", "-c",
                    "ssh-keyscan -p " + std::to_string(server.port()) + " 127.0.0.1 2>/dev/null | ssh-keygen -lf -"},
                   {});
    std::istringstream fields(scan.out);
    std::string bits, fingerprint;
    fields >> bits >> fingerprint;
    return fingerprint;
}

struct Login {
    const char* name;
    const char* method;      // the one authentication method offered
    const char* passphrase;  // publickey: the key's passphrase
};

TEST(SshdHarness, EveryLoginUploadsIntoHomeUnderTheCheckedHostKey) {
    if (const std::string why = TestSshd::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    TestSshd server;
    const TempDir client;
    const std::string knownHosts = client / "known_hosts";
    WriteFile(knownHosts, server.knownHostsLine() + "\n");
    EXPECT_EQ(ScannedFingerprint(server), server.hostKeyFingerprint());

    // Uploads one file as name; the exit status and what sftp said.
    const auto upload = [&](const std::string& name, const std::string& method, const std::string& key,
                            const std::string& secret) {
        WriteFile(client / name, std::string("bytes\0\xff\r\n", 9) + name);
        WriteFile(client / "batch", "put " + (client / name) + " " + server.home() + "/" + name + "\n");
        // Passwords and passphrases come from an askpass program: sftp -b
        // turns batch mode on unless it is switched off before.
        WriteFile(client / "askpass", "#!/bin/sh\necho '" + secret + "'\n");
        chmod((client / "askpass").c_str(), 0755);
        std::vector<std::string> args = {
            "/usr/bin/sftp", secret.empty() ? "-oBatchMode=yes" : "-oBatchMode=no", "-b", client / "batch", "-F",
            "/dev/null"};
        for (const std::string& option :
             {"Port=" + std::to_string(server.port()), "UserKnownHostsFile=" + knownHosts,
              std::string("StrictHostKeyChecking=yes"), "PreferredAuthentications=" + method,
              std::string("NumberOfPasswordPrompts=1"), std::string("IdentitiesOnly=yes")})
            args.push_back("-o" + option);
        if (!key.empty())
            args.insert(args.end(), {"-i", key});
        args.push_back(std::string(TestSshd::kUser) + "@127.0.0.1");
        return RunProcess(args, {{"SSH_ASKPASS", client / "askpass"}, {"SSH_ASKPASS_REQUIRE", "force"}});
    };

    const Login logins[] = {
        {"key", "publickey", ""},
        {"key-with-passphrase", "publickey", "phrase of the key"},
        {"password", "password", nullptr},
        {"keyboard-interactive", "keyboard-interactive", nullptr},
    };
    const passwd* user = getpwnam(TestSshd::kUser);
    ASSERT_NE(user, nullptr);
    for (const Login& login : logins) {
        SCOPED_TRACE(login.name);
        const bool withKey = login.passphrase != nullptr;
        const ProcessResult result =
            upload(login.name, login.method, withKey ? server.MakeClientKey(login.passphrase) : "",
                   withKey ? login.passphrase : TestSshd::kPassword);
        ASSERT_EQ(result.status, 0) << result.err << result.out << server.log();
        const std::string arrived = server.home() + "/" + login.name;
        EXPECT_EQ(ReadFile(arrived), ReadFile(client / login.name));
        struct stat info {};
        EXPECT_TRUE(stat(arrived.c_str(), &info) == 0 && info.st_uid == user->pw_uid);
    }

    // A new host key: the scan sees it, and the old line no longer lets a login through.
    const std::string oldFingerprint = server.hostKeyFingerprint();
    server.ReplaceHostKey();
    EXPECT_NE(server.hostKeyFingerprint(), oldFingerprint);
    EXPECT_EQ(ScannedFingerprint(server), server.hostKeyFingerprint());
    const ProcessResult refused = upload("refused", "publickey", server.MakeClientKey(""), "");
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.err.find("HOST IDENTIFICATION HAS CHANGED"), std::string::npos) << refused.err;
    EXPECT_FALSE(std::ifstream(server.home() + "/refused"));
}

}  // namespace
}  // namespace kestrum::test
