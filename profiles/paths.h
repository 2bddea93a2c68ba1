#pragma once
// Where the program keeps its files.

#include <string>

namespace kestrum {

// $KESTRUM_HOME when set, else $XDG_DATA_HOME/Quillmoor/Kestrum (default
// ~/.local/share/Quillmoor/Kestrum); created when missing. No trailing "/".
std::string ProgramDirectory();

// $KESTRUM_HOME without trailing "/"; empty when unset.
std::string KestrumHome();

// Creates path and its missing parents (mode 0700). True when it is a directory.
bool MakeDirectories(const std::string& path);

}  // namespace kestrum
