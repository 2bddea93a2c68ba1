#pragma once

namespace kestrum {

// Prints the usage to standard output (help) or standard error (error).
void PrintUsage(bool toError);
// Prints the bad-command-line message and the usage; returns exit status 2.
int UsageError();

}  // namespace kestrum
