// Preparation of a run: log header, profile load, checks, local scan and the
// change-cache check.
#include "engine/run_cache.h"
#include "engine/local_fs.h"
#include "engine/local_scan.h"
#include "engine/run_log.h"
#include "engine/sync_run.h"
#include "profiles/profile_store.h"
#include "res/strings.h"

namespace kestrum {

namespace {

void LogHeader(RunContext& ctx) {
    RunSettings& s = ctx.state.settings;
    auto log = [&](int id, std::initializer_list<std::string_view> args) {
        ctx.log.AppendLogLine(FormatString(id, args));
    };
    LogConnectionHeader(ctx);
    if (s.onlyBoth)
        log(57705, {});
    if (s.subdirs && s.upload && s.mirrorFiles && !s.download) {
        log(57701, {});
        if (s.mirrorDirs)
            log(57702, {});
    } else {
        s.mirrorFiles = 0;
        s.mirrorDirs = 0;
    }
    if (!s.asciiText.empty())
        log(57697, {s.asciiText});
    if (!s.excludedText.empty())
        log(57698, {s.excludedText});
    log(57694, {std::to_string(s.timeLag)});
    if (s.useCache)
        log(57705, {});
}

}  // namespace

int StopWithMessage(RunContext& ctx, int messageId, bool failed) {
    const std::string text = LoadString(messageId);
    ctx.log.Port().ShowMessage(text);
    ctx.log.AppendLogLine(text);
    if (failed) {
        ctx.log.AppendLogLine(LoadString(42817));
        ctx.state.runFailed = 1;
    }
    FinishRun(ctx);
    return 0;
}

void LogConnectionHeader(RunContext& ctx) {
    const RunSettings& s = ctx.state.settings;
    auto log = [&](int id, std::initializer_list<std::string_view> args) {
        ctx.log.AppendLogLine(FormatString(id, args));
    };
    auto checked = [](int flag) { return flag ? "CHECKED" : "UNCHECKED"; };
    log(42811, {s.host});
    if (s.accessType == 3) {
        log(57695, {s.proxyName});
        log(57696, {std::to_string(s.port)});
    }
    log(42812, {s.localDir});
    log(42813, {s.remoteDir});
    log(42814, {checked(s.upload)});
    log(42815, {checked(s.download)});
    log(42816, {checked(s.subdirs)});
}

int PrepareRun(RunContext& ctx) {
    RunState& state = ctx.state;
    RunSettings& settings = state.settings;
    ctx.log.Port().SetAnimation(true);
    const int code = BeginRun(ctx, 42802);
    if (code != 0)
        return StopWithMessage(ctx, 42792 + code, true);
    if (!settings.upload && !settings.download)
        return StopWithMessage(ctx, 57674, false);
    if (state.cancelRequested)
        return StopWithMessage(ctx, 42800, false);

    LogHeader(ctx);

    state.localFiles.clear();
    state.serverFiles.clear();
    state.serverDirectories.clear();
    state.unlistedLocalDirs.clear();
    state.unknownServerDirs.clear();
    state.serverDirectoriesAsListed.clear();
    state.unsyncedLocalFiles.clear();

    ctx.log.AppendLogLine(FormatString(42803, {settings.localDir}));
    LocalScanOptions options{settings.subdirs != 0, &settings.excludedExtensions};
    if (ScanLocalTree(ctx.fs, settings.localDir, options, state.localFiles, &ctx.log, &state.unlistedLocalDirs) < 0) {
        return StopWithMessage(ctx, 42799, true);
    }
    ctx.log.SetProgress(2);
    if (state.cancelRequested)
        return StopWithMessage(ctx, 42800, false);

    if (settings.useCache)
        settings.useCache = LoadChangeCache(ctx);
    if (state.cancelRequested)
        return StopWithMessage(ctx, 42800, false);

    if (settings.useCache && DetectLocalChanges(ctx) == 0) {
        ctx.log.AppendLogLine(LoadString(57685));
        ctx.log.AppendLogLine(LoadString(57707));
        state.reachedEnd = 1;
        FinishRun(ctx);
        return 0;
    }
    ctx.log.AppendLogLine(LoadString(57685));
    return 1;
}

void FinishRun(RunContext& ctx) {
    RunState& state = ctx.state;
    state.cancelRequested = 1;
    const std::string counter = ctx.log.CounterText();
    if (!counter.empty())
        ctx.log.AppendLogLine(FormatString(42804, {counter}));
    if (state.runFailed) {
        ctx.log.Port().ShowMessage(LoadString(42829));
    } else if (const int failed = state.failedItems.load(); failed > 0) {
        // The run went on past them: the last line and a notice say how many.
        const std::string text = FormatString(60013, {std::to_string(failed)});
        ctx.log.AppendLogLine(text);
        ctx.log.Port().ShowMessage(text);
    }
    SaveChangeCache(ctx);
    state.serverDirectories.clear();
    state.serverFiles.clear();
    ctx.log.SetProgress(0);
    ctx.log.ClearCounter();
    ctx.log.Port().SetAnimation(false);
    SetRunningState(ctx, 0);
    if (state.quitAfterRun)
        ctx.log.Port().RequestClose();
}

}  // namespace kestrum
