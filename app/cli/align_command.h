#pragma once

#include <string>

namespace kestrum {

// kestrum align PROFILE [--yes]: the timestamp alignment without a window.
int RunAlignCommand(const std::string& profile, bool yes);

}  // namespace kestrum
