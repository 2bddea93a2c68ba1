#pragma once

#include <optional>
#include <string>

namespace kestrum {

// kestrum align PROFILE [--yes] [--active|--passive]: the timestamp alignment
// without a window; passive is the transfer mode for this run (nullopt: the profile's).
int RunAlignCommand(const std::string& profile, bool yes, std::optional<bool> passive);

}  // namespace kestrum
