#pragma once

namespace kestrum {

// kestrum run | align | profile | --help. Returns the exit status.
int RunCommandLine(int argc, char** argv);

}  // namespace kestrum
