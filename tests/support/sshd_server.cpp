#include "tests/support/sshd_server.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "tests/support/process.h"

namespace kestrum::test {
namespace {

namespace fs = std::filesystem;
constexpr const char* kSshd = "/usr/sbin/sshd";
constexpr const char* kKeygen = "/usr/bin/ssh-keygen";

// Creates the test account when missing and sets its password; "" or why not.
std::string PrepareUser() {
    // Test processes start side by side: one at a time edits the user database.
    const int lock = open("/tmp/kestrum-sftp-user.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || flock(lock, LOCK_EX) != 0)
        return "cannot lock /tmp/kestrum-sftp-user.lock";
    std::string error;
    if (getpwnam(TestSshd::kUser) == nullptr) {
        std::vector<std::string> args = {"/usr/sbin/useradd", "--system",         "--no-create-home", "--home-dir", "/",
                                         "--shell",           "/usr/sbin/nologin"};
        if (getgrnam(TestSshd::kUser) != nullptr)
            args.insert(args.end(), {"--gid", TestSshd::kUser});
        args.push_back(TestSshd::kUser);
        if (const ProcessResult made = RunProcess(args, {}); made.status != 0)
            error = "useradd " + std::string(TestSshd::kUser) + " failed: " + made.err;
    }
    // Always, so that an account left with another password works again.
    if (error.empty()) {
        const ProcessResult set =
            RunProcess({"/usr/sbin/chpasswd"}, {}, std::string(TestSshd::kUser) + ":" + TestSshd::kPassword + "\n");
        if (set.status != 0)
            error = "chpasswd failed: " + set.err;
    }
    close(lock);
    return error;
}

// Every process below root, by parent pid.
std::vector<pid_t> Descendants(pid_t root) {
    std::multimap<pid_t, pid_t> children;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat;
        std::getline(std::ifstream(entry.path() / "stat"), stat);
        // "pid (command) state ppid ...": the command may hold spaces and parentheses.
        const size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 1));
        char state = 0;
        pid_t parent = 0;
        if (rest >> state >> parent)
            children.emplace(parent, std::stoi(name));
    }
    std::vector<pid_t> found{root};
    for (size_t i = 0; i < found.size(); ++i)
        for (auto [at, end] = children.equal_range(found[i]); at != end; ++at)
            found.push_back(at->second);
    found.erase(found.begin());
    return found;
}

}  // namespace

std::string TestSshd::Unavailable() {
    if (access(kSshd, X_OK) != 0 || access(kKeygen, X_OK) != 0)
        return "the OpenSSH server is not installed";
    if (geteuid() != 0)
        return "sshd needs root to start and to create the user " + std::string(kUser);
    static const std::string userError = PrepareUser();
    return userError;
}

TestSshd::TestSshd() {
    if (const std::string why = Unavailable(); !why.empty())
        throw std::runtime_error(why);
    // kUser reaches home() and the authorized keys through this directory.
    chmod(dir_.path().c_str(), 0755);
    fs::create_directory(home());
    const passwd* user = getpwnam(kUser);
    if (user == nullptr || chown(home().c_str(), user->pw_uid, user->pw_gid) != 0)
        throw std::runtime_error("cannot give " + home() + " to " + kUser);
    WriteFile(dir_ / "authorized_keys", "");
    chmod((dir_ / "authorized_keys").c_str(), 0644);
    MakeHostKey();
    port_ = UnusedLoopbackPort();
    Start();
}

TestSshd::~TestSshd() {
    Stop();
}

void TestSshd::MakeHostKey() {
    const std::string key = dir_ / "host_ed25519";
    // ssh-keygen would ask before overwriting.
    fs::remove(key);
    fs::remove(key + ".pub");
    if (const ProcessResult made = RunProcess({kKeygen, "-q", "-t", "ed25519", "-N", "", "-f", key}, {});
        made.status != 0)
        throw std::runtime_error("ssh-keygen failed: " + made.err);
    const ProcessResult listed = RunProcess({kKeygen, "-l", "-f", key + ".pub"}, {});
    std::istringstream fields(listed.out);
    std::string bits;
    fingerprint_.clear();
    fields >> bits >> fingerprint_;
    if (listed.status != 0 || fingerprint_.rfind("SHA256:", 0) != 0)
        throw std::runtime_error("ssh-keygen -l failed: " + listed.err + listed.out);
}

std::string TestSshd::knownHostsLine() const {
    std::istringstream fields(ReadFile(dir_ / "host_ed25519.pub"));
    std::string type, key;
    fields >> type >> key;
    return "[127.0.0.1]:" + std::to_string(port_) + " " + type + " " + key;
}

std::string TestSshd::MakeClientKey(const std::string& passphrase) {
    const std::string key = dir_ / ("client_" + std::to_string(++clientKeys_));
    if (const ProcessResult made =
            RunProcess({kKeygen, "-q", "-t", "ed25519", "-N", passphrase, "-C", "kestrum-test", "-f", key}, {});
        made.status != 0)
        throw std::runtime_error("ssh-keygen failed: " + made.err);
    std::ofstream(dir_ / "authorized_keys", std::ios::app) << ReadFile(key + ".pub");
    return key;
}

std::string TestSshd::log() const {
    return ReadFile(dir_ / "sshd.log", false);
}

void TestSshd::Start() {
    // The privilege separation directory: sshd refuses to start without it,
    // and a fresh container has none.
    mkdir("/run/sshd", 0755);
    const std::string config = dir_ / "sshd_config";
    const std::string lines[] = {
        "ListenAddress 127.0.0.1",
        "Port " + std::to_string(port_),
        "HostKey " + (dir_ / "host_ed25519"),
        "PidFile " + (dir_ / "sshd.pid"),
        "AuthorizedKeysFile " + (dir_ / "authorized_keys"),
        "StrictModes no",
        "UseDNS no",
        "LogLevel VERBOSE",
        "PermitRootLogin no",
        "AllowUsers " + std::string(kUser),
        "PubkeyAuthentication yes",
        "PasswordAuthentication yes",
        // Keyboard-interactive needs PAM: without it sshd has no device for it.
        "KbdInteractiveAuthentication yes",
        "UsePAM yes",
        // Room for many parallel connections and sessions.
        "MaxStartups 64",
        "MaxSessions 64",
        "PrintMotd no",
        "Subsystem sftp internal-sftp",
        "ForceCommand internal-sftp",
    };
    std::ofstream out(config);
    for (const std::string& line : lines)
        out << line << "\n";
    out.close();

    // Its own process group; Stop() also finds the session processes, which
    // leave it.
    const std::string errPath = dir_ / "sshd.err";
    pid_ = Spawn({kSshd, "-D", "-e", "-f", config, "-E", dir_ / "sshd.log"}, errPath, errPath, true);
    bool exited = false;
    PollUntil([&] { return Accepts(port_) || (exited = waitpid(pid_, nullptr, WNOHANG) == pid_); }, 10000);
    if (exited)
        pid_ = -1;
    if (exited || !Accepts(port_)) {
        Stop();
        throw std::runtime_error("sshd did not start: " + ReadFile(errPath, false) + log());
    }
}

void TestSshd::Stop() {
    if (pid_ <= 0)
        return;
    // Each connection's processes start sessions of their own, out of the
    // listener's group. Stop the listener and then every process below it
    // (a stopped process forks no more) until no new one shows, then kill all.
    kill(pid_, SIGSTOP);
    std::set<pid_t> stopped;
    for (bool grew = true; grew;) {
        grew = false;
        for (const pid_t child : Descendants(pid_))
            if (stopped.insert(child).second) {
                kill(child, SIGSTOP);
                grew = true;
            }
    }
    for (const pid_t child : stopped)
        kill(child, SIGKILL);
    KillProcess(pid_, true);
}

void TestSshd::Stall() {
    kill(pid_, SIGSTOP);
    for (const pid_t child : Descendants(pid_))
        kill(child, SIGSTOP);
}

void TestSshd::ReplaceHostKey() {
    Stop();
    MakeHostKey();
    Start();
}

}  // namespace kestrum::test
