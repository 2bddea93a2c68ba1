#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestrum {

// Reads one profile name and options from args; option(arg) accepts a known
// option. False on an unknown option, a second name or no name.
bool ParseProfileArguments(const std::vector<std::string>& args, const std::function<bool(const std::string&)>& option,
                           std::string& profile);

// Prints the usage to standard output (help) or standard error (error).
void PrintUsage(bool toError);
// Prints the bad-command-line message and the usage; returns exit status 2.
int UsageError();

}  // namespace kestrum
