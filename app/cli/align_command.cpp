#include "app/cli/align_command.h"

#include <curl/curl.h>

#include "align/timestamp_alignment.h"
#include "app/cli/headless_session.h"
#include "res/strings.h"

namespace kestrum {

int RunAlignCommand(const std::string& profile, bool yes) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    HeadlessSession session;
    if (int status = session.Open(profile, std::nullopt, false); status != 0)
        return status;
    RunContext& ctx = session.Context();
    // The question is asked on the terminal; without one it counts as refused.
    if (!StartTimestampAlignment(ctx, yes)) {
        ctx.log.Port().ShowMessage(LoadString(60501));
        return 3;
    }
    return session.WaitForEnd();
}

}  // namespace kestrum
