#pragma once
// Where the program keeps its files.

#include <string>

namespace kestrum {

// $KESTRUM_HOME when set, else $XDG_DATA_HOME/Quillmoor/Kestrum (default
// ~/.local/share/Quillmoor/Kestrum); created when missing. No trailing "/".
std::string ProgramDirectory();

}  // namespace kestrum
