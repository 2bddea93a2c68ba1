#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kestrum::test {

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

std::string KestrumBinary() {
#ifdef KESTRUM_BINARY
    return KESTRUM_BINARY;
#else
    return "kestrum";
#endif
}

ProcessResult RunProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                         const std::string& stdinText, int sendSigintAfterMs, int timeoutMs,
                         const std::function<void(pid_t)>& whileRunning) {
    char tmpl[] = "/tmp/kestrum-proc-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string inPath = dir + "/in", outPath = dir + "/out", errPath = dir + "/err";
    std::ofstream(inPath, std::ios::binary) << stdinText;

    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string kv = *e;
        const size_t eq = kv.find('=');
        if (eq != std::string::npos)
            merged[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env)
        merged[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : merged)
        envStrings.push_back(k + "=" + v);

    const pid_t pid = fork();
    if (pid == 0) {
        setsid();  // no controlling terminal: prompts count as unanswered
        const int in = open(inPath.c_str(), O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& e : envStrings)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ProcessResult result;
    const auto start = std::chrono::steady_clock::now();
    bool signalled = false;
    int status = 0;
    while (true) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
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
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = Slurp(outPath);
    result.err = Slurp(errPath);
    std::string cleanup = "rm -rf '" + dir + "'";
    (void)!std::system(cleanup.c_str());
    return result;
}

}  // namespace kestrum::test
