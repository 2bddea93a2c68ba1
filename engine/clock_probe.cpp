// The server clock probe: upload an empty file, read back the time the server
// lists for it, compare with the local time taken just before. And the exact
// times asked (MDTM) for files that LIST shows by their day only.

#include <cstdlib>
#include <ctime>
#include <string>

#include "engine/ftp_client.h"
#include "engine/local_fs.h"
#include "engine/planning_rules.h"
#include "engine/sync_phases.h"

namespace kestrum {

namespace {

constexpr int kMaxProbeNames = 100;
// No time zone is further away: an MDTM clock beyond it is not used.
constexpr int64_t kMaxMdtmOffsetSeconds = 26 * 3600;

std::string ProbeName(int n) {
    return n == 0 ? "dummy.txt" : "dummy" + std::to_string(n) + ".txt";
}

}  // namespace

int64_t ProbeServerClock(RunContext& ctx, FtpConnection& connection) {
    ctx.state.mdtmClockOffset.reset();
    const int64_t localNow = static_cast<int64_t>(std::time(nullptr));

    const std::string localProbe = JoinLocalPath(ctx.state.settings.programDir, "dummy.txt");
    if (!ctx.fs.GetStatus(localProbe) && !ctx.fs.CreateEmptyFile(localProbe))
        return 0;

    // A file the user keeps under the probe's name is never overwritten: take
    // the first name the server does not know. When that cannot be told, no probe.
    std::string serverProbe;
    for (int n = 0; n < kMaxProbeNames && serverProbe.empty(); ++n) {
        const FtpListing existing = connection.Lookup(ProbeName(n));
        if (existing.status == ListStatus::Failed)
            return 0;
        if (existing.status == ListStatus::Missing)
            serverProbe = ProbeName(n);
    }
    if (serverProbe.empty())
        return 0;

    int64_t offset = 0;
    if (connection.PutFile(localProbe, serverProbe, TransferType::Binary)) {
        const FtpListing listed = connection.Lookup(serverProbe);
        if (listed.status == ListStatus::Ok && !listed.entries.empty() &&
            listed.entries.front().lastWriteTime != kUnknownServerTime) {
            offset = listed.entries.front().lastWriteTime - localNow;
            // A LIST server's older files may need MDTM, whose clock can differ
            // from LIST's (UTC against the server's local time): measured too.
            if (listed.entries.front().precision != TimePrecision::Second) {
                const auto exact = connection.ModificationTime(serverProbe);
                if (exact && std::llabs(*exact - localNow) <= kMaxMdtmOffsetSeconds)
                    ctx.state.mdtmClockOffset = *exact - localNow;
            }
        }
    }
    // The name was free before the upload, so whatever is there now is the probe's.
    connection.Remove(serverProbe);
    return offset;
}

int64_t ExactServerTime(RunContext& ctx, FtpConnection& connection, const std::string& serverPath, int64_t listedTime,
                        int64_t clockOffset) {
    if (!ctx.state.mdtmClockOffset)
        return listedTime;
    const auto exact = connection.ModificationTime(serverPath);
    if (!exact)
        return listedTime;
    // Onto the listing's clock, where clockOffset applies to it like to every listed time.
    return *exact - *ctx.state.mdtmClockOffset + clockOffset;
}

int64_t ServerTimeToCompare(RunContext& ctx, FtpConnection* connection, const std::string& serverPath,
                            int64_t listedTime, bool dateOnly, int64_t localTime, int64_t clockOffset, bool upload,
                            bool download) {
    if (!dateOnly || connection == nullptr ||
        !DayLeavesDecisionOpen(listedTime, localTime, clockOffset, ctx.state.settings.timeLag, upload, download))
        return listedTime;
    return ExactServerTime(ctx, *connection, serverPath, listedTime, clockOffset);
}

}  // namespace kestrum
