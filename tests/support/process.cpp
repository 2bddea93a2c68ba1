#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/support/ftp_server.h"

extern char** environ;

namespace kestrum::test {

std::string KestrumBinary() {
    return KESTRUM_BINARY;
}

ProcessResult RunProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                         const std::string& stdinText, int sendSigintAfterMs, int timeoutMs,
                         const std::function<void(pid_t)>& whileRunning) {
    const TempDir dir;
    const std::string inPath = dir / "in", outPath = dir / "out", errPath = dir / "err";
    std::ofstream(inPath, std::ios::binary) << stdinText;

    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e)
        if (const std::string kv = *e; env.count(kv.substr(0, kv.find('='))) == 0)
            envStrings.push_back(kv);
    for (const auto& [k, v] : env)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> argv, envp;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : envStrings)
        envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        setsid();  // no controlling terminal: prompts count as unanswered
        dup2(open(inPath.c_str(), O_RDONLY), 0);
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    const auto start = std::chrono::steady_clock::now();
    bool signalled = false;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (sendSigintAfterMs > 0 && !signalled && elapsed >= sendSigintAfterMs) {
            kill(pid, SIGINT);
            signalled = true;
        }
        if (whileRunning)
            whileRunning(pid);
        if (elapsed > timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadFile(outPath, false),
            ReadFile(errPath, false)};
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath,
            bool ownGroup) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (errPath == outPath)
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (ownGroup) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    return pid;
}

void KillProcess(pid_t& pid, bool group) {
    if (pid <= 0)
        return;
    ::kill(group ? -pid : pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

bool PollUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace kestrum::test
