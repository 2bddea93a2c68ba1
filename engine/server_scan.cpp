// The server tree scan: one listing per directory, a directory's own files
// first, then its subdirectories one after the other.

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "engine/planning_rules.h"
#include "engine/preview.h"
#include "engine/run_log.h"
#include "engine/sync_phases.h"
#include "engine/sync_run.h"
#include "ftp/ftp_client.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

// A quoted listing line is cut to this many bytes.
constexpr size_t kMaxQuotedLineBytes = 1024;

// A server whose tree never ends (a directory that holds itself through a
// link, a generated tree) would keep the scan going: it stops descending here.
constexpr long kMaxServerDepth = 64;

std::string DisplayDir(const std::string& dir) {
    return dir.empty() ? "." : dir;
}

// Lists one directory: appends its files to the server file list and its
// subdirectories (with the flag on) to pending. Returns Done, Cancelled on the
// cancel flag, NothingListed when the listing failed or held no entry.
PhaseOutcome ListServerDirectory(RunContext& ctx, FtpConnection& connection, const std::string& relativeDir,
                                 std::vector<std::string>& pending, std::vector<std::string>* pendingNames) {
    RunState& state = ctx.state;
    const RunSettings& settings = state.settings;

    std::string prefix = relativeDir;
    if (!prefix.empty() && prefix.back() != '/')
        prefix += '/';

    FtpListing listing = connection.List(relativeDir);
    if (listing.status != ListStatus::Ok) {
        // Every directory scanned here exists (the home was entered, a subdirectory
        // was just listed by its parent), so a refusal, even one worded as "no such
        // directory", leaves its contents unknown rather than empty: nothing may be
        // uploaded over them as new or deleted below them.
        state.results.unknownServerDirs.push_back(relativeDir);
        LogFailedItem(ctx, msg::kServerDirUnlisted, {PrintableName(DisplayDir(relativeDir))});
        if (!listing.error.empty())
            ctx.log.AppendLogLine("\t" + PrintableName(listing.error));
        return PhaseOutcome::NothingListed;
    }
    for (const std::string& rejected : listing.rejectedNames) {
        ctx.log.AppendLogLine(FormatString(msg::kServerNameIgnored, {PrintableName(prefix + rejected)}));
    }
    if (!listing.unparsedLines.empty()) {
        // Any entry may hide behind such a line: its files are still listed
        // (and may be downloaded), but nothing goes up into it or is deleted below it.
        state.results.unknownServerDirs.push_back(relativeDir);
        LogUnparsedListingLines(ctx, relativeDir, listing.unparsedLines);
    }
    RemoveLeftoverUploads(ctx, connection, relativeDir, listing.entries);
    if (listing.entries.empty())
        return PhaseOutcome::NothingListed;

    for (const FtpEntry& entry : listing.entries) {
        if (state.flags.cancelRequested.load())
            return PhaseOutcome::Cancelled;
        if (entry.hidden || entry.name.empty() || entry.name[0] == '.')
            continue;
        if (!IsSafeServerName(entry.name) || entry.name.find('/') != std::string::npos) {
            ctx.log.AppendLogLine(FormatString(msg::kServerNameIgnored, {PrintableName(prefix + entry.name)}));
            continue;
        }
        if (entry.isDirectory) {
            const std::string dir = prefix + entry.name;
            if (settings.subdirs && std::count(dir.begin(), dir.end(), '/') >= kMaxServerDepth) {
                // Its contents stay unknown: nothing is uploaded into it or deleted below it.
                state.results.unknownServerDirs.push_back(dir);
                ctx.log.AppendLogLine(
                    FormatString(msg::kServerDirTooDeep, {PrintableName(dir), std::to_string(kMaxServerDepth)}));
            } else if (settings.subdirs) {
                state.results.scannedServerDirs.push_back(dir);
                pending.push_back(dir);
                if (pendingNames != nullptr)
                    pendingNames->push_back(entry.name);
            }
            continue;
        }
        std::string name = prefix + entry.name;
        // The clock probe's file that the server kept is never copied or deleted.
        if (name == state.results.probeLeftOnServer)
            continue;
        if (ExtensionListed(settings.excludedExtensions, UpperAscii(ExtensionOf(name)))) {
            NoteDecision(ctx, Decision::Excluded, name);
            continue;
        }
        FileEntry record;
        record.name = name;
        record.lastWriteTime = entry.lastWriteTime;
        record.dateOnly = entry.precision == TimePrecision::Day;
        record.size = entry.size;
        record.mode = entry.mode;
        state.results.serverFiles.push_back(std::move(record));
        ctx.log.AppendLogLine("\t" + name);
    }
    return PhaseOutcome::Done;
}

}  // namespace

void RemoveLeftoverUploads(RunContext& ctx, FtpConnection& connection, const std::string& dir,
                           const std::vector<FtpEntry>& entries) {
    const RunState& state = ctx.state;
    if (state.options.dryRun || !state.results.serverClockOffset)
        return;
    // An upload in progress writes at least every minute, or stalls and ends.
    const int64_t latest = static_cast<int64_t>(std::time(nullptr)) + *state.results.serverClockOffset - 180;
    for (const FtpEntry& entry : entries) {
        if (entry.isDirectory || !IsUploadTempName(entry.name) || entry.lastWriteTime == kUnknownServerTime ||
            entry.lastWriteTime > latest)
            continue;
        const std::string path = dir.empty() ? entry.name : dir + "/" + entry.name;
        if (connection.Remove(path))
            ctx.log.AppendLogLine(FormatString(msg::kLeftoverUploadRemoved, {PrintableName(path)}));
    }
}

void LogUnparsedListingLines(RunContext& ctx, const std::string& dir, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        LogFailedItem(ctx, msg::kServerListingLineUnparsed,
                      {PrintableName(DisplayDir(dir)), PrintableName(CutToBytes(line, kMaxQuotedLineBytes))});
    }
}

PhaseOutcome ScanServerTree(RunContext& ctx, FtpConnection& connection, const std::string& relativeDir) {
    if (relativeDir.empty()) {
        ctx.state.results.unknownServerDirs.clear();
        ctx.state.results.scannedServerDirs.clear();
    }
    std::vector<std::string> pending;
    const PhaseOutcome listed = ListServerDirectory(ctx, connection, relativeDir, pending, nullptr);
    if (listed != PhaseOutcome::Done)
        return listed;
    for (const std::string& sub : pending) {
        if (ctx.state.flags.cancelRequested.load())
            break;
        // A subdirectory not listed is in results.unknownServerDirs; a cancel ends the loop.
        static_cast<void>(ScanServerTree(ctx, connection, sub));
    }
    return PhaseOutcome::Done;
}

PhaseOutcome ScanServerTreeForMirroring(RunContext& ctx, FtpConnection& connection) {
    RunState& state = ctx.state;
    state.results.unknownServerDirs.clear();
    state.results.scannedServerDirs.clear();
    state.results.serverDirectories.clear();
    state.results.serverDirectoriesAsListed.clear();
    std::vector<std::string> pending;
    std::vector<std::string> names;
    const PhaseOutcome listed = ListServerDirectory(ctx, connection, "", pending, &names);
    if (listed != PhaseOutcome::Done)
        return listed;
    for (size_t i = 0; i < pending.size(); ++i) {
        if (state.flags.cancelRequested.load())
            break;
        // Head first: the deletions then remove the last-listed directory first.
        state.results.serverDirectories.push_front(UpperAscii(names[i]));
        state.results.serverDirectoriesAsListed.push_front(names[i]);
        static_cast<void>(ScanServerTree(ctx, connection, pending[i]));
    }
    return PhaseOutcome::Done;
}

}  // namespace kestrum
