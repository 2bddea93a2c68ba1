#pragma once
// The run driver: the worker's run with its checkpoints, the preparation, the
// common abort path, the completion routine, and the pieces the alignment
// shares with it. The owner (run_owner.h) starts and cancels runs.

#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/run_state.h"
#include "localfs/file_entry.h"

namespace kestrum {

class FtpConnection;
struct FtpConnectParams;

// What the abort path closes besides the session.
enum class AbortMode {
    SessionOnly = 0,       // nothing is connected yet
    CloseConnection = 1,   // the connection is closed
    CloseAndFreeList = 2,  // the connection is closed and the list freed
};

// The start of a run or an alignment: flags cleared, the results of the
// previous run dropped, the start line (startMessageId with the profile name,
// and the time), the profile loaded.
// Returns how the load went (SettingsLoad::Loaded when the run may go on).
SettingsLoad BeginRun(RunContext& ctx, int startMessageId);
// Runs body on the worker with the run's connection; a network failure (msg::kNetworkError)
// or an unexpected local one (msg::kUnexpectedError) ends the run. Every way
// out of body ends the run.
void RunOnConnection(RunContext& ctx, FileList* list,
                     const std::function<void(std::unique_ptr<FtpConnection>& connection)>& body);
// The normal end on the worker: progress 95, the connection closed, the end
// reached, the completion posted.
void EndRunReached(RunContext& ctx, std::unique_ptr<FtpConnection>& connection);
// The worker's run. How it ended is in the state's flags (RunOwner::Outcome).
void ExecuteRun(RunContext& ctx);
// The phases of a run once the server's clock is known: the server scan, the
// planning, the transfer (or a preview's report) and the mirroring deletions.
// Done when they all ran (the caller ends the run); RunEnded when the run
// ended inside them (the abort path has run).
PhaseOutcome SynchroniseOnConnection(RunContext& ctx, FtpConnection& connection, FileList& transfer,
                                     int64_t clockOffset);
// The clock probe with its checks: the offset, or nullopt when the run ended
// there (a cancel, or an offset no time zone explains).
std::optional<int64_t> MeasureServerClock(RunContext& ctx, FtpConnection& connection, FileList* list);
// Preparation: Done when the run may go on; RunEnded when it stopped (FinishRun has run).
PhaseOutcome PrepareRun(RunContext& ctx);
// The common abort path: closes what mode says, logs messageId, progress 95,
// posts the completion.
void AbortRun(RunContext& ctx, FtpConnection* connection, FileList* list, int messageId, AbortMode mode);
// The end of a run after a network (msg::kNetworkError) or other unexpected failure: the
// message and the error text on a line of its own, the error flag, the list
// freed, progress 95, the connection closed, completion posted.
void EndRunAfterFailure(RunContext& ctx, FtpConnection* connection, FileList* list, int messageId,
                        const std::string& text);
// A log line for an item the run reached but could not carry out (a copy, a
// time stamp, a listing, a directory); counted in state.flags.failedItems.
// With reason (the system's error text or the server's reply), that reason
// follows on a line of its own.
void LogFailedItem(RunContext& ctx, int messageId, std::initializer_list<std::string_view> args,
                   std::string_view reason = {});
// Tells the owner's thread that the completion routine is due.
void PostCompletion(RunContext& ctx);
// A stop that the user must act on, before any connection: message box, log
// line, with failed also msg::kStoppedByErrorAbove and the error flag; then the completion routine
// runs directly.
void StopWithMessage(RunContext& ctx, int messageId, bool failed);
// The completion routine shared by window and command line.
void FinishRun(RunContext& ctx);
// The running state: sets state.flags.running and switches the owner's controls.
void SetRunningState(RunContext& ctx, int running);
// The settings header's lines from the server to the subdirectory switch,
// shared by runs and alignments.
void LogConnectionHeader(RunContext& ctx);
// Connects and enters the server home directory, with the checkpoints of both
// kinds of run around it. False when the run has ended there (AbortRun has run:
// a cancel, or msg::kServerDirMissing for a missing directory), or when the
// server's certificate was not trusted (the error flag and certificateRefused
// set; the window may have asked and pinned the key first). Throws FtpError.
bool ConnectToServerHome(RunContext& ctx, std::unique_ptr<FtpConnection>& connection, FileList* list,
                         bool connectOptions);

// The parameters of the run's connection: the port rule (0 unless through the proxy).
FtpConnectParams ConnectParamsFor(const RunSettings& settings, bool connectOptions);

// The profile value that pins the server's key for FTP_SECURITY security.
const char* PinnedKeyValueName(int security);

// A server certificate as the log shows it: subject, issuer, validity, key
// fingerprint; an SSH host key: its type and fingerprint.
std::vector<std::string> CertificateLines(const ServerCertificate& certificate);

}  // namespace kestrum
