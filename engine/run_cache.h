#pragma once
// What a run asks of the change cache: the previous snapshot of the local
// tree, the files changed since, and the snapshot written at completion.

#include <string>

#include "engine/run_state.h"

namespace kestrum {

// The place (CachePlace) the run's settings name: its connection and server directory.
std::string RunCachePlace(const RunSettings& settings);
// Reads the profile's side file into state.results.cacheState, once the
// settings loaded; its sync records are kept only when it names this run's place.
void ReadRunCacheState(RunContext& ctx);
// Reads the file of the active profile into state.results.cacheFiles: 1 when read, it
// belongs to the profile and its side file names this run's place, 0 otherwise.
// A cache that is read but names no place or another one is not used: the log
// says why (one line), and this run compares every file.
[[nodiscard]] int LoadChangeCache(RunContext& ctx);
// Snapshot of the local tree, written to the profile's file at the end of every
// run; 1 when written. A file advances its record only when this run acted on
// it for the upload direction (state.results.actedLocalTimes) and it still has the
// time it had then; every other file keeps its previous record (only when the
// previous snapshot was made for this run's place) or none. Then the side file
// is written with this run's place and the sync records read, updated by
// state.results.syncUpdates, of the files the snapshot still holds.
// Empties the cache list, the acted files, the unsynced files and the sync updates.
[[nodiscard]] int SaveChangeCache(RunContext& ctx);
// What a file's sync record proves beyond the times: which copy changed since
// the last copy between them.
enum class SyncProof {
    Nothing,        // no record
    InStep,         // neither copy changed: nothing to copy, whatever the times say
    LocalChanged,   // the server copy is still the one the last copy left
    ServerChanged,  // the local copy is still the one the last copy left
    BothChanged,
};
// serverPrecision: how finely the listing gives serverTime.
SyncProof ProveBySyncState(const RunContext& ctx, const std::string& localName, int64_t localTime, int64_t serverTime,
                           int64_t serverSize, TimePrecision serverPrecision);
// How finely a server record of the scan gives its time.
inline TimePrecision ListedPrecision(const FtpConnection& connection, const FileEntry& server) {
    return server.dateOnly                 ? TimePrecision::Day
           : connection.ListsToTheSecond() ? TimePrecision::Second
                                           : TimePrecision::Minute;
}
// The record of a copy: the local file as it is left and the server copy as listed.
SyncRecord MakeSyncRecord(bool upload, int64_t localTime, int64_t localSize, const FtpEntry& server);

// Keeps only new and newer local files in state.results.localFiles: 1 when any is left.
[[nodiscard]] int DetectLocalChanges(RunContext& ctx);
// Scans localDir into state.results.cacheFiles with the rules of the local tree scan,
// without logging; nothing is added when localDir cannot be listed.
void SnapshotLocalTree(RunContext& ctx, const std::string& localDir);

}  // namespace kestrum
