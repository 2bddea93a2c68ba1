#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

class ProtocolTrace;

// Reads one profile name and options from args; option(arg) accepts a known
// option. False on an unknown option, a second name or no name.
bool ParseProfileArguments(const std::vector<std::string>& args, const std::function<bool(const std::string&)>& option,
                           std::string& profile);

// args with each of the options names followed by a value joined to it
// ("--parallel 2" becomes "--parallel=2"), as ParseProfileArguments wants them.
std::vector<std::string> JoinOptionValues(const std::vector<std::string>& args,
                                          std::initializer_list<std::string_view> names);

// Creates (truncates) the file of --trace FILE; when it cannot, says why on
// standard error and returns nothing.
std::shared_ptr<ProtocolTrace> CreateTraceFile(const std::string& path);

// Prints the usage to standard output (help) or standard error (error).
void PrintUsage(bool toError);
// Prints the bad-command-line message and the usage; returns exit status 2.
int UsageError();

}  // namespace kestrum
