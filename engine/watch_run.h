#pragma once
// Watching: after a normal run, the worker watches the local tree and sends
// each change, once it has settled, over one connection kept logged in. The
// changes go through the normal planning rules (times, tolerance, sync
// state), the transfer (temporary name, rename, stamp) and the mirroring
// deletions with their limit; the change cache is written after each batch.

#include <chrono>

namespace kestrum {

struct RunContext;
struct RunState;
enum class RunOutcome;

// How long the tree must be quiet before a batch goes: an editor's save
// (temporary file, rename, backup) ends well within it.
inline constexpr std::chrono::milliseconds kWatchQuietTime{300};
// The kept connection is used at least this often (a NOOP when idle), below
// the idle time-out of common servers (2 to 15 minutes).
inline constexpr std::chrono::seconds kWatchKeepAlive{60};
// The longest wait between tries to reach a server that went away.
inline constexpr int kWatchMaxRetrySeconds = 60;

// Whether a watch may follow the run just completed: its settings loaded and
// it uploads, and it did not stop early (a cancel, a missing server directory)
// or at a server the user did not trust.
bool WatchMayFollow(const RunState& state, RunOutcome outcome);

// The watch on the worker, with the settings the last run loaded. It ends on
// the cancel flag (the end counts as reached) or at a failure another try
// cannot mend (the local directory cannot be watched, a server certificate
// not trusted, the server directory gone); a server that cannot be reached is
// tried again, later and later, with the changes kept.
void ExecuteWatch(RunContext& ctx);

}  // namespace kestrum
