#pragma once

#include <memory>
#include <optional>
#include <string>

namespace kestrum {

class ProtocolTrace;

// kestrum align PROFILE [--yes] [--active|--passive] [--trace FILE]: the
// timestamp alignment without a window; passive is the transfer mode for this
// run (nullopt: the profile's); trace, where its connection's commands and
// replies go (none: nowhere).
int RunAlignCommand(const std::string& profile, bool yes, std::optional<bool> passive,
                    std::shared_ptr<ProtocolTrace> trace = nullptr);

}  // namespace kestrum
