#include "engine/sync_run.h"

#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include "engine/extra_connections.h"
#include "engine/preview.h"
#include "engine/run_cache.h"
#include "engine/run_log.h"
#include "engine/sync_phases.h"
#include "ftp/ftp_client.h"
#include "profiles/profile_store.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

constexpr int64_t kMaxClockOffsetSeconds = 26 * 3600;

void Log(RunContext& ctx, int id, std::initializer_list<std::string_view> args = {}) {
    ctx.log.AppendLogLine(FormatString(id, args));
}

}  // namespace

void EndRunAfterFailure(RunContext& ctx, FtpConnection* connection, FileList* list, int messageId,
                        const std::string& text) {
    Log(ctx, messageId);
    if (!text.empty())
        ctx.log.AppendLogLine(text);
    ctx.state.flags.runFailed = 1;
    if (list != nullptr)
        list->clear();
    ctx.log.SetProgress(95);
    if (connection != nullptr)
        connection->Close();
    PostCompletion(ctx);
}

void LogFailedItem(RunContext& ctx, int messageId, std::initializer_list<std::string_view> args,
                   std::string_view reason) {
    ctx.log.AppendLogLine(FormatString(messageId, args));
    if (!reason.empty())
        ctx.log.AppendLogLine("\t" + PrintableName(reason));
    ++ctx.state.flags.failedItems;
}

void PostCompletion(RunContext& ctx) {
    ctx.state.live.completion.Post();
    ctx.log.Port().PostCompletion();
}

void SetRunningState(RunContext& ctx, int running) {
    ctx.state.flags.running = running;
    ctx.log.Port().SetRunningState(running);
    ctx.state.live.completion.Wake();
}

FtpConnectParams ConnectParamsFor(const RunSettings& settings, bool connectOptions) {
    FtpConnectParams params;
    params.host = settings.host;
    params.user = settings.user;
    params.password = settings.password;
    params.port = settings.port;
    params.accessType = settings.accessType;
    params.proxyName = settings.accessType == 3 ? settings.proxyName : std::string();
    params.connectOptions = connectOptions;
    params.passive = settings.passive;
    params.security = static_cast<FtpSecurity>(settings.security);
    params.pinnedKey = settings.pinnedKey;
    params.sshKeyFile = settings.sshKeyFile;
    return params;
}

const char* PinnedKeyValueName(int security) {
    return security == kSecuritySftp ? "SSH_HOST_KEY" : "TLS_PINNED_KEY";
}

void AbortRun(RunContext& ctx, FtpConnection* connection, FileList* list, int messageId, AbortMode mode) {
    if (mode != AbortMode::SessionOnly && connection != nullptr)
        connection->Close();
    if (mode == AbortMode::CloseAndFreeList && list != nullptr)
        list->clear();
    Log(ctx, messageId);
    ctx.log.SetProgress(95);
    PostCompletion(ctx);
}

std::vector<std::string> CertificateLines(const ServerCertificate& certificate) {
    if (certificate.hostKey) {
        return {FormatString(msg::kHostKeyType, {certificate.subject}),
                FormatString(msg::kHostKeyFingerprint, {certificate.fingerprint})};
    }
    return {FormatString(msg::kCertificateSubject, {certificate.subject}),
            FormatString(msg::kCertificateIssuer, {certificate.issuer}),
            FormatString(msg::kCertificateValidity, {certificate.notBefore, certificate.notAfter}),
            FormatString(msg::kCertificateFingerprint, {certificate.fingerprint})};
}

namespace {

void LogCertificate(RunLog& log, const ServerCertificate& certificate) {
    for (const std::string& line : CertificateLines(certificate))
        log.AppendLogLine(line);
}

bool TrustCertificate(RunContext& ctx, const FtpCertificateError& refusal) {
    RunState& state = ctx.state;
    RunSettings& settings = state.settings;
    const ServerCertificate& certificate = refusal.certificate();
    const bool hostKey = certificate.hostKey;
    if (refusal.kind() == FtpCertificateError::Kind::KeyChanged) {
        // An SSH key that differs from the user's known_hosts: no key of ours to show beside it.
        const bool knownHosts = hostKey && settings.pinnedKey.empty();
        Log(ctx, knownHosts ? msg::kHostKeyKnownHostsChanged : msg::kCertificateKeyChanged);
        LogCertificate(ctx.log, certificate);
        if (!knownHosts)
            Log(ctx, msg::kCertificatePinnedKey, {settings.pinnedKey});
        Log(ctx, msg::kCertificatePresentedKey, {certificate.keyPin});
        Log(ctx, msg::kCertificateKeyChangedHint, {settings.profileName});
        return false;
    }
    Log(ctx, hostKey ? msg::kHostKeyUntrusted : msg::kCertificateUntrusted, {certificate.problem});
    LogCertificate(ctx.log, certificate);
    if (!state.options.mayAskToTrust || certificate.keyPin.empty()) {
        Log(ctx, hostKey ? msg::kHostKeyTrustHint : msg::kCertificateTrustHint, {settings.profileName});
        return false;
    }
    std::string details;
    for (const std::string& line : CertificateLines(certificate))
        details += (details.empty() ? "" : "\n") + line;
    if (!ctx.log.Port().AskRisky(FormatString(hostKey ? msg::kAskTrustHostKey : msg::kAskTrustCertificate,
                                              {settings.profileName, certificate.problem, details}))) {
        Log(ctx, hostKey ? msg::kHostKeyDeclined : msg::kCertificateDeclined);
        return false;
    }
    if (!ctx.store.WriteProfileValues(settings.profileName,
                                      {{PinnedKeyValueName(settings.security), certificate.keyPin}})) {
        Log(ctx, msg::kKeyStoreFailed, {settings.profileName});
        return false;
    }
    settings.pinnedKey = certificate.keyPin;
    Log(ctx, msg::kCertificateTrusted, {settings.profileName});
    return true;
}

}  // namespace

bool ConnectToServerHome(RunContext& ctx, std::unique_ptr<FtpConnection>& connection, FileList* list,
                         bool connectOptions) {
    RunState& state = ctx.state;
    RunSettings& settings = state.settings;
    if (state.flags.cancelRequested) {
        AbortRun(ctx, nullptr, list, msg::kRunCancelled, AbortMode::SessionOnly);
        return false;
    }
    Log(ctx, msg::kConnecting, {settings.host});
    if (settings.accessType != 3)
        settings.port = 0;
    FtpConnectParams params = ConnectParamsFor(settings, connectOptions);
    params.cancel = &state.flags.cancelRequested;
    params.partials = &state.live.partialDownloads;
    params.trace = state.options.trace;
    params.passiveWorks = std::make_shared<std::atomic<bool>>(false);
    for (;;) {
        try {
            connection = ctx.ftp.Connect(params);
            break;
        } catch (const FtpCertificateError& e) {
            if (!TrustCertificate(ctx, e)) {
                state.flags.certificateRefused = 1;
                EndRunAfterFailure(ctx, nullptr, list, msg::kStoppedByErrorAbove, "");
                return false;
            }
            params.pinnedKey = settings.pinnedKey;
        }
    }
    state.results.connectParams = params;
    Log(ctx, msg::kConnected, {settings.host});
    if (state.flags.cancelRequested) {
        AbortRun(ctx, connection.get(), list, msg::kRunCancelled, AbortMode::CloseConnection);
        return false;
    }
    if (!settings.remoteDir.empty()) {
        ConvertSeparators(settings.remoteDir, 0);
        if (!connection->SetCurrentDirectory(settings.remoteDir)) {
            AbortRun(ctx, connection.get(), nullptr, msg::kServerDirMissing, AbortMode::CloseConnection);
            return false;
        }
    }
    Log(ctx, msg::kEnteredServerDir, {settings.remoteDir});
    if (state.flags.cancelRequested) {
        AbortRun(ctx, connection.get(), list, msg::kRunCancelled, AbortMode::CloseConnection);
        return false;
    }
    return true;
}

void RunOnConnection(RunContext& ctx, FileList* list,
                     const std::function<void(std::unique_ptr<FtpConnection>& connection)>& body) {
    std::unique_ptr<FtpConnection> connection;
    // Extra connections that logged in for a transfer phase the run never
    // reached are closed when it ends, however it ends.
    struct CloseExtras {
        RunState& state;
        ~CloseExtras() { state.live.extraConnections.reset(); }
    } closeExtras{ctx.state};
    try {
        body(connection);
    } catch (const FtpError& e) {
        // A cancel aborts what the connection is doing, which then fails like
        // a broken connection; a time-out that came first ends it the same way.
        if (ctx.state.flags.cancelRequested)
            return AbortRun(ctx, connection.get(), list, msg::kRunCancelled, AbortMode::CloseAndFreeList);
        return EndRunAfterFailure(ctx, connection.get(), list, msg::kNetworkError, e.what());
    } catch (const std::exception& e) {
        // A local failure that no phase handles (out of memory, a file-system
        // error): the run ends like a network failure instead of the program.
        return EndRunAfterFailure(ctx, connection.get(), list, msg::kUnexpectedError, e.what());
    }
}

void EndRunReached(RunContext& ctx, std::unique_ptr<FtpConnection>& connection) {
    ctx.log.SetProgress(95);
    connection->Close();
    connection.reset();
    ctx.state.flags.reachedEnd = 1;
    PostCompletion(ctx);
}

SettingsLoad BeginRun(RunContext& ctx, int startMessageId) {
    RunState& state = ctx.state;
    state.flags.ClearForRun();
    // The one place a run's results are reset: nothing of an earlier run (a
    // preview's acted files, for one) reaches this run's completion.
    state.results = RunResults();
    ctx.log.AppendLogLine("");
    ctx.log.AppendLogLine(FormatString(startMessageId, {state.settings.profileName}) + "\t" + CurrentTimeText());
    const SettingsLoad load =
        LoadRunSettings(state.settings, ctx.store, ctx.log.Port(), state.options.cacheSwitch != 0);
    if (state.options.passiveOverride)
        state.settings.passive = *state.options.passiveOverride;
    state.results.settingsLoaded = load == SettingsLoad::Loaded;
    // Read before anything can end the run: its completion writes the side file back.
    if (state.results.settingsLoaded)
        ReadRunCacheState(ctx);
    return load;
}

PhaseOutcome SynchroniseOnConnection(RunContext& ctx, FtpConnection& connection, FileList& transfer,
                                     int64_t clockOffset) {
    RunState& state = ctx.state;
    const RunSettings& settings = state.settings;
    // A checkpoint: the cancel flag, polled between the phases.
    auto cancelled = [&](AbortMode mode) {
        if (!state.flags.cancelRequested)
            return false;
        AbortRun(ctx, &connection, &transfer, msg::kRunCancelled, mode);
        return true;
    };
    if (settings.download) {
        Log(ctx, msg::kScanningServerTree);
        // A cancel is the checkpoint's below; a directory not listed is in results.unknownServerDirs.
        static_cast<void>(ScanServerTree(ctx, connection, ""));
        Log(ctx, msg::kServerTreeScanned);
    } else if (settings.mirrorFiles) {
        Log(ctx, msg::kScanningServerTree);
        static_cast<void>(ScanServerTreeForMirroring(ctx, connection));
        Log(ctx, msg::kServerTreeScanned);
    }
    if (cancelled(AbortMode::CloseConnection))
        return PhaseOutcome::RunEnded;

    Log(ctx, msg::kCompareStarting);
    // A planning stopped by a cancel is ended by the checkpoint below.
    if (!settings.upload && settings.download) {
        static_cast<void>(PlanDownloads(ctx, transfer, clockOffset, &connection));
    } else if (settings.upload && settings.download) {
        PlanBothDirections(ctx, connection, transfer, clockOffset);
    } else if (settings.mirrorFiles) {
        Log(ctx, msg::kScanningServerDir);
        static_cast<void>(PlanUploadsMirroring(ctx, connection, transfer, clockOffset));
    } else {
        Log(ctx, msg::kScanningServerDir);
        if (PlanUploads(ctx, connection, transfer, clockOffset) == PhaseOutcome::RunEnded)
            return PhaseOutcome::RunEnded;
    }
    if (cancelled(AbortMode::CloseAndFreeList))
        return PhaseOutcome::RunEnded;

    Log(ctx, msg::kCompareFinished);
    if (state.options.dryRun) {
        if (settings.mirrorFiles)
            DeleteMirroredServerFiles(ctx, connection);
        transfer.clear();
        LogPreviewSummary(ctx);
        return PhaseOutcome::Done;
    }
    ctx.log.SetProgress(5);
    Log(ctx, msg::kTransferStarting);
    if (TransferFiles(ctx, connection, transfer, clockOffset) == PhaseOutcome::RunEnded)
        return PhaseOutcome::RunEnded;
    // A cancel during the last copy: no "finished", and no mirroring deletions.
    if (cancelled(AbortMode::CloseAndFreeList))
        return PhaseOutcome::RunEnded;
    Log(ctx, msg::kTransferFinished);

    if (settings.mirrorFiles)
        DeleteMirroredServerFiles(ctx, connection);
    return PhaseOutcome::Done;
}

std::optional<int64_t> MeasureServerClock(RunContext& ctx, FtpConnection& connection, FileList* list) {
    const int64_t clockOffset = ProbeServerClock(ctx, connection);
    ctx.state.results.serverClockOffset = clockOffset;
    if (ctx.state.flags.cancelRequested) {
        AbortRun(ctx, &connection, list, msg::kRunCancelled, AbortMode::CloseConnection);
        return std::nullopt;
    }
    // No time zone is further away: the server's clock (or the times it
    // reports) is wrong, and every comparison of this run would be too.
    if (clockOffset > kMaxClockOffsetSeconds || clockOffset < -kMaxClockOffsetSeconds) {
        Log(ctx, msg::kClockOffsetImpossible, {std::to_string(clockOffset)});
        EndRunAfterFailure(ctx, &connection, list, msg::kStoppedByErrorAbove, "");
        return std::nullopt;
    }
    return clockOffset;
}

void ExecuteRun(RunContext& ctx) {
    if (PrepareRun(ctx) == PhaseOutcome::RunEnded)
        return;
    FileList transfer;
    RunOnConnection(ctx, &transfer, [&](std::unique_ptr<FtpConnection>& connection) {
        if (!ConnectToServerHome(ctx, connection, &transfer, true))
            return;
        const std::optional<int64_t> clockOffset = MeasureServerClock(ctx, *connection, &transfer);
        if (clockOffset && SynchroniseOnConnection(ctx, *connection, transfer, *clockOffset) == PhaseOutcome::Done)
            EndRunReached(ctx, connection);
    });
}

}  // namespace kestrum
