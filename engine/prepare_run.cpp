// Preparation of a run: log header, profile load, checks, local scan and the
// change-cache check.
#include "engine/local_scan.h"
#include "engine/preview.h"
#include "engine/run_cache.h"
#include "engine/run_log.h"
#include "engine/sync_run.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "profiles/profile_store.h"
#include "res/codepage.h"
#include "res/message_ids.h"
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
        log(msg::kHeaderOnlyBoth, {});
    if (s.subdirs && s.upload && s.mirrorFiles && !s.download) {
        log(msg::kHeaderMirrorFiles, {});
        if (s.mirrorDirs)
            log(msg::kHeaderMirrorDirs, {});
    } else {
        s.mirrorFiles = 0;
        s.mirrorDirs = 0;
    }
    if (!s.asciiText.empty())
        log(msg::kHeaderAsciiExtensions, {s.asciiText});
    if (!s.excludedText.empty())
        log(msg::kHeaderExcludedExtensions, {s.excludedText});
    log(msg::kHeaderTimeLag, {std::to_string(s.timeLag)});
    if (s.useCache)
        log(msg::kHeaderOnlyBoth, {});
}

}  // namespace

void StopWithMessage(RunContext& ctx, int messageId, bool failed) {
    const std::string text = LoadString(messageId);
    ctx.log.Port().ShowMessage(text);
    ctx.log.AppendLogLine(text);
    if (failed) {
        ctx.log.AppendLogLine(LoadString(msg::kStoppedByErrorAbove));
        ctx.state.flags.runFailed = 1;
    }
    FinishRun(ctx);
}

namespace {

// StopWithMessage for the preparation, which then has ended the run.
PhaseOutcome Stop(RunContext& ctx, int messageId, bool failed) {
    StopWithMessage(ctx, messageId, failed);
    return PhaseOutcome::RunEnded;
}

}  // namespace

void LogConnectionHeader(RunContext& ctx) {
    const RunSettings& s = ctx.state.settings;
    auto log = [&](int id, std::initializer_list<std::string_view> args) {
        ctx.log.AppendLogLine(FormatString(id, args));
    };
    auto checked = [](int flag) { return flag ? "CHECKED" : "UNCHECKED"; };
    log(msg::kHeaderServer, {s.host});
    if (s.accessType == 3) {
        log(msg::kHeaderProxy, {s.proxyName});
        log(msg::kHeaderPort, {std::to_string(s.port)});
    }
    constexpr int kSecurityTexts[] = {msg::kSecurityPlain, msg::kSecurityExplicit, msg::kSecurityImplicit,
                                      msg::kSecuritySftp};
    log(msg::kHeaderSecurity, {LoadString(kSecurityTexts[s.security >= 0 && s.security <= 3 ? s.security : 0])});
    // Active mode cannot work through the proxy's tunnel: such a run is
    // passive. SFTP has no data connections, so no mode.
    if (s.security != kSecuritySftp)
        log(msg::kHeaderTransferMode,
            {LoadString(s.passive || s.accessType == 3 ? msg::kModePassive : msg::kModeActive)});
    log(msg::kHeaderLocalHome, {s.localDir});
    log(msg::kHeaderServerHome, {s.remoteDir});
    log(msg::kHeaderUpload, {checked(s.upload)});
    log(msg::kHeaderDownload, {checked(s.download)});
    log(msg::kHeaderSubdirs, {checked(s.subdirs)});
}

PhaseOutcome PrepareRun(RunContext& ctx) {
    RunState& state = ctx.state;
    RunSettings& settings = state.settings;
    ctx.log.Port().SetAnimation(true);
    const SettingsLoad load = BeginRun(ctx, msg::kRunStarting);
    // A password prompt ended by the cancel command is a cancel, not a failure.
    if (load != SettingsLoad::Loaded && state.flags.cancelRequested)
        return Stop(ctx, msg::kRunCancelled, false);
    if (load != SettingsLoad::Loaded)
        return Stop(ctx, SettingsLoadMessage(load), true);
    if (!settings.upload && !settings.download)
        return Stop(ctx, msg::kNoDirectionChecked, false);
    if (state.flags.cancelRequested)
        return Stop(ctx, msg::kRunCancelled, false);

    LogHeader(ctx);

    ctx.log.AppendLogLine(FormatString(msg::kScanningLocalDir, {settings.localDir}));
    std::vector<std::string> downloadTemps;
    LocalScanOptions options{settings.subdirs != 0, &settings.excludedExtensions, {}, &downloadTemps};
    if (state.options.dryRun) {
        ctx.log.AppendLogLine(LoadString(msg::kPreviewStarting));
        options.onExcluded = [&ctx](const std::string& name) { NoteDecision(ctx, Decision::Excluded, name); };
    }
    if (ScanLocalTree(ctx.fs, settings.localDir, options, state.results.localFiles, &ctx.log,
                      &state.results.unlistedLocalDirs) < 0) {
        return Stop(ctx, msg::kLocalDirNotFound, true);
    }
    // What a run that died part-way through a download left behind (a preview changes nothing).
    for (const std::string& path : state.options.dryRun ? std::vector<std::string>{} : downloadTemps) {
        if (RemoveLeftoverDownload(path))
            ctx.log.AppendLogLine(FormatString(msg::kLeftoverDownloadRemoved, {PrintableName(path)}));
    }
    ctx.log.SetProgress(2);
    if (state.flags.cancelRequested)
        return Stop(ctx, msg::kRunCancelled, false);

    // A preview decides on every file, as if nothing were known of earlier runs.
    // A cache made for another place (see LoadChangeCache) is left unused once.
    if (state.options.dryRun)
        settings.useCache = 0;
    if (settings.useCache)
        settings.useCache = LoadChangeCache(ctx);
    if (state.flags.cancelRequested)
        return Stop(ctx, msg::kRunCancelled, false);

    if (settings.useCache && DetectLocalChanges(ctx) == 0) {
        ctx.log.AppendLogLine(LoadString(msg::kLocalScanFinished));
        ctx.log.AppendLogLine(LoadString(msg::kNothingToUpdate));
        state.flags.reachedEnd = 1;
        FinishRun(ctx);
        return PhaseOutcome::RunEnded;
    }
    ctx.log.AppendLogLine(LoadString(msg::kLocalScanFinished));
    return PhaseOutcome::Done;
}

void FinishRun(RunContext& ctx) {
    RunState& state = ctx.state;
    state.flags.cancelRequested = 1;
    const std::string counter = ctx.log.CounterText();
    if (!counter.empty())
        ctx.log.AppendLogLine(FormatString(msg::kRunFinished, {counter}));
    // Both notices send the user to the log: it is shown first.
    if (state.flags.runFailed) {
        ctx.log.Port().RevealLog();
        ctx.log.Port().ShowMessage(LoadString(msg::kRunFailedSeeLog));
    } else if (const int failed = state.flags.failedItems.load(); failed > 0) {
        // The run went on past them: the last line and a notice say how many.
        const std::string text = FormatString(msg::kItemsFailed, {std::to_string(failed)});
        ctx.log.AppendLogLine(text);
        ctx.log.Port().RevealLog();
        ctx.log.Port().ShowMessage(text);
    }
    // A cache file that cannot be written keeps its previous records, which
    // only make the next cached run compare more files: nothing to report.
    if (!state.options.dryRun && state.results.settingsLoaded)
        static_cast<void>(SaveChangeCache(ctx));
    state.results.serverDirectories.clear();
    state.results.serverFiles.clear();
    ctx.log.SetProgress(0);
    ctx.log.ClearCounter();
    ctx.log.Port().SetAnimation(false);
    SetRunningState(ctx, 0);
    if (state.options.quitAfterRun)
        ctx.log.Port().RequestClose();
}

}  // namespace kestrum
