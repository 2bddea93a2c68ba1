#pragma once
// The phases of a synchronisation run between entering the server home
// directory and the mirroring deletions. All run on the worker thread, poll
// cancelRequested, and report through ctx.log.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/run_state.h"
#include "localfs/file_entry.h"

namespace kestrum {

class FtpConnection;

// Server clock minus local clock in seconds; 0 when it cannot be measured.
// Never destroys an existing server file of the probe's name. On a server that
// lists with LIST, the MDTM clock goes to state.results.mdtmClockOffset where measured.
int64_t ProbeServerClock(RunContext& ctx, FtpConnection& connection);

// The exact time of a server file listed by its day only (MDTM), on the
// listing's clock; listedTime when the server gives none or the probe did not
// measure the MDTM clock.
int64_t ExactServerTime(RunContext& ctx, FtpConnection& connection, const std::string& serverPath, int64_t listedTime,
                        int64_t clockOffset);
// The server time a planning decision compares: the listed one, or for a file
// listed by its day only (dateOnly) whose decision the hour could change, its
// exact time. No request without a connection.
int64_t ServerTimeToCompare(RunContext& ctx, FtpConnection* connection, const std::string& serverPath,
                            int64_t listedTime, bool dateOnly, int64_t localTime, int64_t clockOffset, bool upload,
                            bool download);

// Done, Cancelled (stopped on the cancel flag), or NothingListed when the
// listing of relativeDir (of the home for the mirroring scan) failed or held
// no entry. A directory whose listing holds unparsed lines joins
// state.results.unknownServerDirs.
PhaseOutcome ScanServerTree(RunContext& ctx, FtpConnection& connection, const std::string& relativeDir);
PhaseOutcome ScanServerTreeForMirroring(RunContext& ctx, FtpConnection& connection);
// One failed-item line per LIST line of dir ("" for the home) that could not be read, quoting it.
// Removes the temporary files of uploads cut short by earlier runs from a
// directory's entries (not in a preview): only names of our own pattern, and
// only those no upload has written to for minutes (another run may be
// writing a fresh one).
void RemoveLeftoverUploads(RunContext& ctx, FtpConnection& connection, const std::string& dir,
                           const std::vector<FtpEntry>& entries);
void LogUnparsedListingLines(RunContext& ctx, const std::string& dir, const std::vector<std::string>& lines);

// Download planning: Done, or Cancelled when stopped on the cancel flag. The
// connection is used only to ask the exact time of files listed by their day only.
PhaseOutcome PlanDownloads(RunContext& ctx, FileList& transfer, int64_t clockOffset,
                           FtpConnection* connection = nullptr);
PhaseOutcome PlanServerFilesBothWays(RunContext& ctx, FileList& transfer, int64_t clockOffset,
                                     FtpConnection* connection = nullptr);

// Upload planning. PlanUploads runs AbortRun itself on a cancel and returns
// RunEnded, else Done; PlanUploadsMirroring returns Done or Cancelled.
PhaseOutcome PlanUploads(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset);
PhaseOutcome PlanUploadsMirroring(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset);
void PlanBothDirections(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset);
// An upload planned over a server file in a directory whose contents are not
// fully known (state.results.unknownServerDirs) is dropped with a line; the local file
// stays changed. True when dropped.
bool DropUploadIntoUnknownDir(RunContext& ctx, const std::string& serverName, const std::string& localName);

// Copies the list over the run's connection and, with state.results.connectParams,
// up to settings.parallel (or state.options.parallelOverride) connections in all, and
// gives every copy the server's time. Done when every entry was handled,
// RunEnded when cancelled (AbortRun has run); throws FtpError when every
// connection broke. The list is empty on return.
PhaseOutcome TransferFiles(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset);

// Step 23 of the run: deletes unmatched server files, then (with mirrorDirs)
// the server directories left in the list.
void DeleteMirroredServerFiles(RunContext& ctx, FtpConnection& connection);

}  // namespace kestrum
