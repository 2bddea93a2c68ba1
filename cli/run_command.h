#pragma once

#include <string>
#include <vector>

namespace kestrum {

// kestrum run PROFILE [options]; args are the words after "run".
int RunRunCommand(const std::vector<std::string>& args);

}  // namespace kestrum
