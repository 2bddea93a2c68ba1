// The mirroring deletions at the end of an upload-only run: server files that
// no local file matched, then the top-level server directories no local file
// lies in. Nothing is deleted where either side could not be listed; a
// refused deletion is a failed item, logged with the server's reply.

#include <algorithm>
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

// The first of dirs that lies at or below top (the home "" lies below nothing
// but counts for every directory).
const std::string* FindInside(const std::string& top, const std::vector<std::string>& dirs) {
    for (const std::string& dir : dirs) {
        if (dir.empty() || IsAtOrBelow(dir, top))
            return &dir;
    }
    return nullptr;
}

// The most deletions a run carries out without a confirmation.
struct DeletionLimit {
    long most = -1;        // -1: no limit
    bool quarter = false;  // the automatic quarter of the server's files (which can be 0)
};

// The server files the automatic limit takes its quarter of: while watching,
// the local tree's (the server's files are not listed then).
long ServerFileCount(const RunState& state) {
    return state.results.deletionBase >= 0 ? state.results.deletionBase
                                           : static_cast<long>(state.results.serverFiles.size());
}

DeletionLimit LimitOf(const RunState& state) {
    const int limit = state.options.maxDeleteOverride >= 0 ? state.options.maxDeleteOverride : state.settings.maxDelete;
    if (limit == 0)
        return {};
    if (limit > 0)
        return {limit, false};
    // Unset: 50, or a quarter of the server's files when that is fewer. A
    // server of fewer than four files gets 0, so every deletion there is
    // confirmed; the texts then say where the 0 comes from, since 0 as a
    // setting means no limit.
    const long quarter = ServerFileCount(state) / 4;
    return quarter < 50 ? DeletionLimit{quarter, true} : DeletionLimit{50, false};
}

// A text about count deletions and the limit: plainId is given the count, the
// limit and extra; quarterId the count, the server's files, the limit and extra.
std::string LimitText(const RunState& state, const DeletionLimit& limit, long count, int plainId, int quarterId,
                      std::string_view extra = {}) {
    const std::string counted = std::to_string(count), most = std::to_string(limit.most);
    if (!limit.quarter)
        return FormatString(plainId, {counted, most, extra});
    return FormatString(quarterId, {counted, std::to_string(ServerFileCount(state)), most, extra});
}

// Whether the deletions may go ahead: within the limit, confirmed beforehand,
// or confirmed by the user when the run may ask. Held back otherwise, with a
// line; held back without a question, each counts as an item not done (the
// command line's exit status 4); declined by the user, none does.
bool DeletionsAllowed(RunContext& ctx, const std::vector<std::string>& names) {
    RunState& state = ctx.state;
    const DeletionLimit limit = LimitOf(state);
    const long count = static_cast<long>(names.size());
    if (limit.most < 0 || count <= limit.most || state.options.deletesConfirmed)
        return true;
    const std::string counted = std::to_string(count);
    // A watch never asks: a question on every batch would come back in a loop.
    if (state.options.mayAskBeforeDeleting && !state.results.watching) {
        constexpr size_t kShown = 10;
        std::string list;
        for (size_t i = 0; i < names.size() && i < kShown; ++i)
            list += PrintableName(names[i]) + "\n";
        if (names.size() > kShown)
            list += FormatString(msg::kMassDeleteMore, {std::to_string(names.size() - kShown)}) + "\n";
        if (ctx.log.Port().AskRisky(
                LimitText(state, limit, count, msg::kAskMassDelete, msg::kAskMassDeleteQuarter, list)))
            return true;
        // The user's answer, not a failure: said once, no item counted.
        ctx.log.AppendLogLine(FormatString(msg::kMassDeleteDeclined, {counted}));
        return false;
    }
    ctx.log.AppendLogLine(LimitText(state, limit, count, msg::kMassDeleteHeldBack, msg::kMassDeleteHeldBackQuarter));
    state.flags.failedItems += static_cast<int>(count);
    return false;
}

}  // namespace

void DeleteMirroredServerFiles(RunContext& ctx, FtpConnection& connection) {
    RunState& state = ctx.state;

    // Local directories that could not be listed, in server form, paired with their local form for the log.
    std::vector<std::string> unlisted;
    unlisted.reserve(state.results.unlistedLocalDirs.size());
    for (const std::string& dir : state.results.unlistedLocalDirs) {
        std::string s = dir;
        ConvertSeparators(s, 0);
        unlisted.push_back(std::move(s));
    }

    // What would go: counted in full before anything is deleted.
    std::vector<std::string> files;
    for (const FileEntry& server : state.results.serverFiles) {
        if (server.matched)
            continue;
        if (const std::string* dir = FindEnclosingDirectory(server.name, state.results.unknownServerDirs)) {
            LogFailedItem(ctx, msg::kServerFileKeptContentsUnknown,
                          {PrintableName(dir->empty() ? "." : *dir), PrintableName(server.name)});
            continue;
        }
        if (const std::string* dir = FindEnclosingDirectory(server.name, unlisted)) {
            const size_t i = static_cast<size_t>(dir - unlisted.data());
            LogFailedItem(ctx, msg::kServerFileKeptLocalDirUnreadable,
                          {state.results.unlistedLocalDirs[i], server.name});
            continue;
        }
        files.push_back(server.name);
    }
    struct Dir {
        std::string listed, shown;
    };
    std::vector<Dir> dirs;
    if (state.settings.mirrorDirs) {
        const bool parallel = state.results.serverDirectoriesAsListed.size() == state.results.serverDirectories.size();
        for (size_t i = 0; i < state.results.serverDirectories.size(); ++i) {
            const std::string& upper = state.results.serverDirectories[i];
            // The name as listed: a case-sensitive server knows no upper-cased one.
            const std::string& listed = parallel ? state.results.serverDirectoriesAsListed[i] : upper;
            if (FindInside(listed, state.results.unknownServerDirs) != nullptr) {
                LogFailedItem(ctx, msg::kServerDirKeptContentsUnknown, {listed});
                continue;
            }
            if (const std::string* dir = FindInside(listed, unlisted)) {
                const size_t k = static_cast<size_t>(dir - unlisted.data());
                LogFailedItem(ctx, msg::kServerDirKeptLocalDirUnreadable, {state.results.unlistedLocalDirs[k], listed});
                continue;
            }
            dirs.push_back({listed, upper});
        }
    }

    if (state.options.dryRun) {
        for (const std::string& name : files)
            NoteDecision(ctx, Decision::Delete, name);
        for (const Dir& dir : dirs)
            NoteDecision(ctx, Decision::Delete, dir.listed + "/");
        const DeletionLimit limit = LimitOf(state);
        const long count = static_cast<long>(files.size() + dirs.size());
        if (limit.most >= 0 && count > limit.most && !state.options.deletesConfirmed) {
            ctx.log.AppendLogLine(
                LimitText(state, limit, count, msg::kPreviewMassDelete, msg::kPreviewMassDeleteQuarter));
        }
        return;
    }
    std::vector<std::string> names = files;
    for (const Dir& dir : dirs)
        names.push_back(dir.listed + "/");
    if (names.empty() || !DeletionsAllowed(ctx, names))
        return;

    for (const std::string& name : files) {
        if (!connection.Remove(name)) {
            LogFailedItem(ctx, msg::kServerFileDeleteRefused, {PrintableName(name)}, connection.LastError());
            continue;
        }
        ctx.log.AppendLogLine(FormatString(msg::kServerFileDeleted, {name}));
    }
    for (const Dir& d : dirs) {
        const std::string& listed = d.listed;
        // A directory goes only when empty: the ones nested in it first,
        // deepest first; each line says what really went.
        std::vector<std::string> nested;
        for (const std::string& dir : state.results.scannedServerDirs) {
            if (dir != listed && IsAtOrBelow(dir, listed))
                nested.push_back(dir);
        }
        std::stable_sort(nested.begin(), nested.end(), [](const std::string& a, const std::string& b) {
            return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
        });
        for (const std::string& dir : nested) {
            if (connection.RemoveDirectory(dir))
                ctx.log.AppendLogLine(FormatString(msg::kServerDirDeleted, {dir}));
        }
        if (!connection.RemoveDirectory(listed)) {
            LogFailedItem(ctx, msg::kServerDirDeleteRefused, {PrintableName(listed)}, connection.LastError());
            continue;
        }
        ctx.log.AppendLogLine(FormatString(msg::kServerDirDeleted, {d.shown}));
    }
}

}  // namespace kestrum
