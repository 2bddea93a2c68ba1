#include "app/cli/run_command.h"

#include <optional>

#include "app/cli/headless_session.h"
#include "app/cli/usage.h"

namespace kestrum {

int RunRunCommand(const std::vector<std::string>& args) {
    std::string profile;
    std::optional<bool> cache;
    bool passive = false;
    auto option = [&](const std::string& arg) {
        if (arg == "--cache") {
            cache = true;
        } else if (arg == "--no-cache") {
            cache = false;
        } else if (arg == "--passive") {
            passive = true;
        } else {
            return false;
        }
        return true;
    };
    if (!ParseProfileArguments(args, option, profile))
        return UsageError();
    HeadlessSession session;
    if (int status = session.Open(profile, cache, passive); status != 0)
        return status;
    session.Owner().Start();
    return session.WaitForEnd();
}

}  // namespace kestrum
