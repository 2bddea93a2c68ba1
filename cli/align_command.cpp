#include "cli/align_command.h"

#include "align/timestamp_alignment.h"
#include "cli/headless_session.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

int RunAlignCommand(const std::string& profile, bool yes, std::optional<bool> passive,
                    std::shared_ptr<ProtocolTrace> trace) {
    HeadlessSession session;
    if (int status = session.Open(profile, std::nullopt, passive); status != 0)
        return status;
    session.Owner().State().options.trace = std::move(trace);
    // The question is asked on the terminal; without one it counts as refused.
    if (!StartTimestampAlignment(session.Owner(), yes)) {
        session.Owner().Log().Port().ShowMessage(LoadString(msg::kCliAlignNotConfirmed));
        return 3;
    }
    return session.WaitForEnd();
}

}  // namespace kestrum
