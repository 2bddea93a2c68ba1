#pragma once
// Runs a program to completion for tests: its exit status, standard output
// and standard error.

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

}  // namespace kestrum::test
