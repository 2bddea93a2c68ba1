#pragma once

#include <string>
#include <vector>

namespace kestrum {

// kestrum run PROFILE [options]; args are the words after "run".
int RunRunCommand(const std::vector<std::string>& args);
// kestrum watch PROFILE [options]: a run, then the watch until a stop signal
// (exit status 0), or the run's status when no watch can follow it.
int RunWatchCommand(const std::vector<std::string>& args);

}  // namespace kestrum
