#pragma once

namespace kestrum {

// Starts the window application (single instance) and returns its exit status.
int RunWindowApplication(int argc, char** argv);

}  // namespace kestrum
