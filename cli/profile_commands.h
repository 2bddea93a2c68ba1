#pragma once
// kestrum profile list | show NAME | new NAME | set NAME VALUE=TEXT... | delete NAME

#include <iosfwd>
#include <string>
#include <vector>

namespace kestrum {

class ProfileStore;

// args are the words after "profile". Exit status: 0 done, 1 the store failed
// or a new name was refused, 2 bad usage, an unknown profile or a bad value.
// Names, values and messages are code page text.
int RunProfileCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

// The same on a given store; programDir is what `new` records as Program when
// the store has none yet.
int RunProfileCommand(const std::vector<std::string>& args, ProfileStore& store, const std::string& programDir,
                      std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace kestrum
