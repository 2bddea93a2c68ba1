#pragma once
// Child processes for tests: a program run to completion (exit status, standard
// output and standard error), and servers started in the background.

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kestrum::test {

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// env entries are added to (or replace in) the current environment. stdinText
// is fed to standard input (which is then closed). No controlling terminal
// input is offered: the child runs in a new session. sendSigintAfterMs > 0
// sends SIGINT once that many milliseconds have passed. whileRunning is called
// with the child's pid about every 10 ms until it ends (to signal it at a
// given point).
ProcessResult RunProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                         const std::string& stdinText = "", int sendSigintAfterMs = 0, int timeoutMs = 120000,
                         const std::function<void(pid_t)>& whileRunning = {});

// The built kestrum program.
std::string KestrumBinary();

// Starts args[0] in the background with standard input from /dev/null and its
// output appended to the given files (the same path: both in one file). With
// ownGroup, in a process group of its own. Throws when it cannot start.
pid_t Spawn(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath,
            bool ownGroup = false);
// Kills pid (its whole group with group) and reaps it; pid becomes -1.
void KillProcess(pid_t& pid, bool group = false);
// Polls pred every 10 ms until it holds (true) or timeoutMs have passed (false).
bool PollUntil(const std::function<bool()>& pred, int timeoutMs = 30000);

}  // namespace kestrum::test
