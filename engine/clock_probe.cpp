// The server clock probe: upload an empty file, read back the time the server
// lists for it, compare with the local time taken just before. And the exact
// times asked (MDTM) for files that LIST shows by their day only.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <unordered_set>

#include "engine/planning_rules.h"
#include "engine/run_log.h"
#include "engine/sync_phases.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "profiles/profile_store.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

constexpr int kMaxProbeNames = 100;
// The profile value naming a probe file the server refused to delete: the
// next run takes the same one instead of leaving one more.
constexpr std::string_view kProbeLeftValue = "PROBE_LEFT";
// No time zone is further away: an MDTM clock beyond it is not used.
constexpr int64_t kMaxMdtmOffsetSeconds = 26 * 3600;

std::string ProbeName(int n) {
    return n == 0 ? "dummy.txt" : "dummy" + std::to_string(n) + ".txt";
}

bool IsProbeName(const std::string& name) {
    for (int n = 0; n < kMaxProbeNames; ++n) {
        if (name == ProbeName(n))
            return true;
    }
    return false;
}

bool IsEmptyRegularFile(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

// The file the probe uploads: the program directory's dummy.txt (made when
// missing) while it is an empty file of its own; a private empty file when
// someone put content or a link there, which is then left as it is.
class ProbeSource {
  public:
    explicit ProbeSource(RunContext& ctx) {
        const std::string dummy = JoinLocalPath(ctx.state.settings.programDir, "dummy.txt");
        struct stat st {};
        if (lstat(dummy.c_str(), &st) != 0 && !ctx.fs.CreateEmptyFile(dummy))
            return;
        if (IsEmptyRegularFile(dummy)) {
            path_ = dummy;
            return;
        }
        std::string pattern = JoinLocalPath(ctx.state.settings.programDir, ".kestrum-probe-XXXXXX");
        const int fd = mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0)
            return;
        close(fd);
        path_ = private_ = pattern;
    }
    ~ProbeSource() {
        if (!private_.empty())
            unlink(private_.c_str());
    }
    ProbeSource(const ProbeSource&) = delete;
    ProbeSource& operator=(const ProbeSource&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::string private_;
};

}  // namespace

int64_t ProbeServerClock(RunContext& ctx, FtpConnection& connection) {
    ctx.state.results.mdtmClockOffset.reset();
    const int64_t localNow = static_cast<int64_t>(std::time(nullptr));
    RunState& state = ctx.state;
    state.results.probeLeftOnServer.clear();
    state.results.probedHomeListing.reset();

    const ProbeSource source(ctx);
    if (source.path().empty())
        return 0;

    // Which names are taken is learnt from the directory's listing: a server
    // may refuse a lookup of a file that exists. A name listed in any letter
    // case is taken (a case-insensitive server would write over it).
    FtpListing home = connection.List("");
    if (home.status != ListStatus::Ok)
        return 0;
    // A line no parser read may be a user's file of any name, the probe's
    // among them: no name is known to be free, so nothing is written.
    if (!home.unparsedLines.empty()) {
        ctx.log.AppendLogLine(LoadString(msg::kClockNotMeasuredHomeUnreadable));
        return 0;
    }
    std::unordered_set<std::string> taken;
    const std::string left = ctx.store.ReadString(state.settings.profileName, kProbeLeftValue).value_or("");
    std::string serverProbe;
    for (const FtpEntry& e : home.entries) {
        taken.insert(FoldKey(e.name));
        // The file an earlier run of this profile could not remove: still empty, it is ours to use again.
        if (!left.empty() && e.name == left && IsProbeName(left) && !e.isDirectory && e.size == 0)
            serverProbe = left;
    }
    for (int n = 0; n < kMaxProbeNames && serverProbe.empty(); ++n) {
        if (taken.count(FoldKey(ProbeName(n))) == 0)
            serverProbe = ProbeName(n);
    }
    if (serverProbe.empty())
        return 0;

    int64_t offset = 0;
    if (connection.PutFile(source.path(), serverProbe, TransferType::Binary)) {
        const FtpListing listed = connection.Lookup(serverProbe);
        if (listed.status == ListStatus::Ok && !listed.entries.empty() &&
            listed.entries.front().lastWriteTime != kUnknownServerTime) {
            offset = listed.entries.front().lastWriteTime - localNow;
            // A LIST server's older files may need MDTM, whose clock can differ
            // from LIST's (UTC against the server's local time): measured too.
            if (listed.entries.front().precision != TimePrecision::Second) {
                const auto exact = connection.ModificationTime(serverProbe);
                if (exact && std::llabs(*exact - localNow) <= kMaxMdtmOffsetSeconds)
                    ctx.state.results.mdtmClockOffset = *exact - localNow;
            }
        }
    }
    // The name was free (or the probe's own) before the upload, so whatever is there now is the probe's.
    if (connection.Remove(serverProbe)) {
        if (!left.empty())
            ctx.store.WriteString(state.settings.profileName, kProbeLeftValue, "");
        // The home is as listed, but for an earlier probe file now removed.
        std::erase_if(home.entries, [&](const FtpEntry& e) { return e.name == serverProbe; });
        state.results.probedHomeListing = std::move(home);
        return offset;
    }
    // Kept by the server: the scan leaves it out (never copied down, never
    // taken for a user's file), and the next run uses it again.
    state.results.probeLeftOnServer = serverProbe;
    if (serverProbe != left) {
        ctx.store.WriteString(state.settings.profileName, kProbeLeftValue, serverProbe);
        ctx.log.AppendLogLine(FormatString(msg::kProbeFileKept, {serverProbe}));
    }
    return offset;
}

int64_t ExactServerTime(RunContext& ctx, FtpConnection& connection, const std::string& serverPath, int64_t listedTime,
                        int64_t clockOffset) {
    if (!ctx.state.results.mdtmClockOffset)
        return listedTime;
    const auto exact = connection.ModificationTime(serverPath);
    if (!exact)
        return listedTime;
    // Onto the listing's clock, where clockOffset applies to it like to every listed time.
    return *exact - *ctx.state.results.mdtmClockOffset + clockOffset;
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
