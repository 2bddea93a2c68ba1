#pragma once
// What a run asks of the change cache: the previous snapshot of the local
// tree, the files changed since, and the snapshot written at completion.

#include <string>

#include "engine/run_state.h"

namespace kestrum {

// Reads the file of the active profile into state.results.cacheFiles: 1 when read and it
// belongs to the profile, 0 otherwise.
[[nodiscard]] int LoadChangeCache(RunContext& ctx);
// Snapshot of the local tree, written to the profile's file at the end of every
// run; 1 when written. A file advances its record only when this run acted on
// it for the upload direction (state.results.actedLocalTimes) and it still has the
// time it had then; every other file keeps its previous record or none.
// Empties the cache list, the acted files and the unsynced files.
[[nodiscard]] int SaveChangeCache(RunContext& ctx);
// Keeps only new and newer local files in state.results.localFiles: 1 when any is left.
[[nodiscard]] int DetectLocalChanges(RunContext& ctx);
// Scans localDir into state.results.cacheFiles with the rules of the local tree scan,
// without logging; nothing is added when localDir cannot be listed.
void SnapshotLocalTree(RunContext& ctx, const std::string& localDir);

}  // namespace kestrum
