#pragma once
// The run driver: start and cancel commands, the worker's run with its
// checkpoints, the common abort path and the completion routine.

#include <memory>
#include <string>

#include "engine/file_entry.h"
#include "engine/run_state.h"

namespace kestrum {

class FtpConnection;

// Puts the owner into the running state and starts the worker thread (joining a
// finished previous one first).
void StartRun(RunContext& ctx);
// Sets the cancel flag and shows 57690; the owner greys its cancel item.
void CancelRun(RunContext& ctx);
// The worker's run. Returns 1 when preparation stopped it, the result of
// AbortRun when a checkpoint stopped it, 0 otherwise.
int ExecuteRun(RunContext& ctx);
// Preparation: 1 when the run may go on; 0 when it stopped (FinishRun has run).
int PrepareRun(RunContext& ctx);
// The common abort path. mode 0: nothing to close but the session; 1: close the
// connection; 2: also free the list. Logs messageId, progress 95, posts completion.
int AbortRun(RunContext& ctx, FtpConnection* connection, FileList* list, int messageId, int mode);
// The end of a run after a network (42820) or other unexpected failure: the
// message and the error text on a line of its own, the error flag, the list
// freed, progress 95, the connection closed, completion posted. Returns 0.
int EndRunAfterFailure(RunContext& ctx, FtpConnection* connection, FileList* list, int messageId,
                       const std::string& text);
// The completion routine shared by window and command line.
void FinishRun(RunContext& ctx);
// The running state: sets state.running and switches the owner's controls.
void SetRunningState(RunContext& ctx, int running);
// Connects and enters the server home directory, with the checkpoints of both
// kinds of run around it. False when the run has ended there (AbortRun has run:
// a cancel, or 42818 for a missing directory). Throws FtpError.
bool ConnectToServerHome(RunContext& ctx, std::unique_ptr<FtpConnection>& connection, FileList* list,
                         bool connectOptions);
// Joins a finished worker thread, if any.
void JoinWorker(RunState& state);

// The parameters of the run's connection: the port rule (0 unless through the proxy).
struct FtpConnectParams;
FtpConnectParams ConnectParamsFor(const RunSettings& settings, bool connectOptions, bool passive);

}  // namespace kestrum
