#pragma once
// The phases of a synchronisation run between entering the server home
// directory and the mirroring deletions. All run on the worker thread, poll
// cancelRequested, and report through ctx.log.

#include <cstdint>
#include <optional>
#include <string>

#include "engine/file_entry.h"
#include "engine/run_state.h"

namespace kestrum {

class FtpConnection;

// Server clock minus local clock in seconds; 0 when it cannot be measured.
// Never destroys an existing server file of the probe's name.
int64_t ProbeServerClock(RunContext& ctx, FtpConnection& connection);

// 1 normal end, 0 stopped on the cancel flag, -1 the listing could not be started.
int ScanServerTree(RunContext& ctx, FtpConnection& connection, const std::string& relativeDir);
int ScanServerTreeForMirroring(RunContext& ctx, FtpConnection& connection);

// Download planning: 1 done, 0 stopped on the cancel flag.
int PlanDownloads(RunContext& ctx, FileList& transfer, int64_t clockOffset);
int PlanServerFilesBothWays(RunContext& ctx, FileList& transfer, int64_t clockOffset);

// Upload planning. PlanUploads runs AbortRun itself on a cancel and returns 0.
int PlanUploads(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset);
int PlanUploadsMirroring(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset);
void PlanBothDirections(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset);

// 0 every entry handled, 1 cancelled (AbortRun has run). The list is empty on return.
int TransferFiles(RunContext& ctx, FtpConnection& connection, FileList& transfer, int64_t clockOffset);
// Gives the local file the server copy's time on the local clock; that time
// when it was set, nullopt otherwise.
std::optional<int64_t> StampLocalFromServer(RunContext& ctx, FtpConnection& connection, const std::string& localPath,
                                            const std::string& serverPath, int64_t clockOffset);

// Step 23 of the run: deletes unmatched server files, then (with mirrorDirs)
// the server directories left in the list.
void DeleteMirroredServerFiles(RunContext& ctx, FtpConnection& connection);

}  // namespace kestrum
