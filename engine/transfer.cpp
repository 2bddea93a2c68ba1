// The transfer step: copies the planned files one by one and gives every local
// copy the time the server lists for it, on the local clock.

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "engine/ftp_client.h"
#include "engine/local_fs.h"
#include "engine/planning_rules.h"
#include "engine/run_log.h"
#include "engine/sync_phases.h"
#include "engine/sync_run.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

// Whether a local file changed between two looks at it (edited, replaced or removed).
bool ChangedMeanwhile(const std::optional<LocalStatus>& before, const std::optional<LocalStatus>& after) {
    return !before || !after || before->lastWriteTime != after->lastWriteTime || before->size != after->size ||
           before->inode != after->inode || before->device != after->device;
}

}  // namespace

int TransferFiles(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset) {
    RunState& state = ctx.state;
    const RunSettings& settings = state.settings;
    const long long total = static_cast<long long>(transfer.size());
    long long done = 0;
    ctx.log.ShowFileCount(0, total);

    for (FileEntry& entry : transfer) {
        if (state.cancelRequested.load()) {
            AbortRun(ctx, &connection, &transfer, msg::kRunCancelled, AbortMode::CloseAndFreeList);
            transfer.clear();
            return 1;
        }
        const std::string localPath = LocalPathOf(settings.localDir, entry.name);
        const std::string scannedName = entry.name;
        ConvertSeparators(entry.name, 0);
        const std::string& serverPath = entry.serverName.empty() ? entry.name : entry.serverName;
        const bool ascii = ExtensionListed(settings.asciiExtensions, UpperAscii(ExtensionOf(serverPath)));
        const TransferType type = ascii ? TransferType::Ascii : TransferType::Binary;

        std::optional<LocalStatus> before;
        if (entry.direction == Direction::Upload) {
            before = ctx.fs.GetStatus(localPath);
            if (!connection.PutFile(localPath, serverPath, type)) {
                LogFailedItem(ctx, msg::kUploadFailed, {serverPath}, connection.LastError());
                // Still changed for the next cached run.
                state.unsyncedLocalFiles.push_back(scannedName);
                continue;
            }
            ctx.log.AppendLogLine(FormatString(ascii ? msg::kUploadedAscii : msg::kUploaded, {serverPath}));
            if (ChangedMeanwhile(before, ctx.fs.GetStatus(localPath))) {
                // Stamping it with the server's time would hide the edit from
                // every later run: it stays changed and goes up again next time.
                LogFailedItem(ctx, msg::kLocalFileChangedDuringUpload, {PrintableName(scannedName)});
                state.unsyncedLocalFiles.push_back(scannedName);
                continue;
            }
        } else if (entry.direction == Direction::Download) {
            // Planning never puts such a name here; checked again because it
            // decides where a file is written.
            if (!IsSafeServerName(entry.name) || !IsSafeServerName(serverPath)) {
                ctx.log.AppendLogLine(FormatString(msg::kServerNameIgnored, {PrintableName(serverPath)}));
                continue;
            }
            if (!connection.GetFile(serverPath, localPath, type)) {
                LogFailedItem(ctx, msg::kDownloadFailed, {serverPath}, connection.LastError());
                continue;
            }
            ctx.log.AppendLogLine(FormatString(ascii ? msg::kDownloadedAscii : msg::kDownloaded, {serverPath}));
        } else {
            continue;
        }
        const std::optional<int64_t> stamped =
            StampLocalFromServer(ctx, connection, localPath, serverPath, clockOffset);
        // The time the upload left the file with: the stamp, or the time it was sent with.
        if (entry.direction == Direction::Upload && before)
            state.actedLocalTimes[scannedName] = stamped.value_or(before->lastWriteTime);
        ctx.log.AppendLogLine(FormatString(msg::kTimestampUpdated, {serverPath}));
        ctx.log.ShowFileCount(++done, total);
    }
    transfer.clear();
    return 0;
}

std::optional<int64_t> StampLocalFromServer(RunContext& ctx, FtpConnection& connection, const std::string& localPath,
                                            const std::string& serverPath, int64_t clockOffset) {
    const FtpListing found = connection.Lookup(serverPath);
    if (found.status != ListStatus::Ok || found.entries.empty())
        return std::nullopt;
    if (!ctx.fs.GetStatus(localPath))
        return std::nullopt;
    const FtpEntry& listed = found.entries.front();
    if (listed.lastWriteTime == kUnknownServerTime) {
        LogFailedItem(ctx, msg::kNotStampedServerTimeUnknown, {PrintableName(serverPath)});
        return std::nullopt;
    }
    int64_t serverTime = listed.lastWriteTime;
    if (listed.precision == TimePrecision::Day)
        serverTime = ExactServerTime(ctx, connection, serverPath, serverTime, clockOffset);
    const int64_t time = serverTime - clockOffset;
    if (!ctx.fs.SetLastWriteTime(localPath, time)) {
        LogFailedItem(ctx, msg::kTimestampChangeFailed, {serverPath}, std::strerror(errno));
        return std::nullopt;
    }
    return time;
}

}  // namespace kestrum
