#include "cli/trust_command.h"

#include <memory>
#include <optional>

#include "cli/headless_session.h"
#include "cli/usage.h"
#include "engine/sync_run.h"
#include "ftp/ftp_client.h"
#include "profiles/profile_store.h"
#include "res/message_ids.h"
#include "res/strings.h"
#include "sftp/sftp_session.h"

namespace kestrum {

int RunTrustCommand(const std::vector<std::string>& args) {
    std::string profile;
    bool yes = false;
    std::optional<std::string> tracePath;
    auto option = [&](const std::string& arg) {
        if (arg == "--yes" || arg == "-y") {
            yes = true;
        } else if (arg.starts_with("--trace=") && arg.size() > 8) {
            tracePath = arg.substr(8);
        } else {
            return false;
        }
        return true;
    };
    if (!ParseProfileArguments(JoinOptionValues(args, {"--trace"}), option, profile))
        return UsageError();
    std::shared_ptr<ProtocolTrace> trace;
    if (tracePath && !(trace = CreateTraceFile(*tracePath)))
        return 2;

    TerminalPort port;
    ProfileStore store(ProfileStore::DefaultFilePath());
    const std::optional<Profile> values = profile.empty() ? std::nullopt : store.LoadProfile(profile);
    if (!values) {
        port.ShowMessage(FormatString(msg::kCliUnknownProfile, {profile}));
        return 2;
    }
    const int security = values->security.value_or(0);
    if (security < 1 || security > kSecuritySftp) {
        port.ShowMessage(FormatString(msg::kCliTrustNeedsTls, {profile}));
        return 2;
    }
    // The server as a run reaches it; no user name or password is needed.
    FtpConnectParams params;
    params.host = values->host.value_or("");
    params.accessType = values->proxyOn.value_or(0) != 0 ? 3 : 1;
    params.proxyName = params.accessType == 3 ? values->proxyName.value_or("") : std::string();
    params.port = params.accessType == 3 ? static_cast<uint16_t>(values->port.value_or(0) & 0xFFFF) : 0;
    params.passive = values->passive.value_or(1) != 0;
    params.security = static_cast<FtpSecurity>(security);
    params.fetchCertificateOnly = true;
    params.trace = trace;

    ServerCertificate certificate;
    try {
        MakeTransportFactory()->Connect(params);
        return 1;  // not reached: a fetch always ends at the certificate
    } catch (const FtpCertificateError& e) {
        certificate = e.certificate();
    } catch (const FtpError& e) {
        port.ShowMessage(e.what());
        return 1;
    }
    for (const std::string& line : CertificateLines(certificate))
        port.ShowLogLine(line);
    port.ShowLogLine(FormatString(msg::kCertificatePresentedKey, {certificate.keyPin}));
    const std::string pinned = (security == kSecuritySftp ? values->sshHostKey : values->pinnedKey).value_or("");
    if (!pinned.empty() && pinned == certificate.keyPin) {
        port.ShowMessage(FormatString(msg::kCliKeyAlreadyPinned, {profile}));
        return 0;
    }
    if (!pinned.empty()) {
        port.ShowLogLine(FormatString(msg::kCertificatePinnedKey, {pinned}));
        port.ShowMessage(LoadString(msg::kCertificateKeyChanged));
    } else if (certificate.problem.empty()) {
        port.ShowMessage(LoadString(certificate.hostKey ? msg::kCliHostKeyKnown : msg::kCliCertificateVerified));
    } else {
        port.ShowMessage(FormatString(certificate.hostKey ? msg::kHostKeyUntrusted : msg::kCertificateUntrusted,
                                      {certificate.problem}));
    }
    if (certificate.keyPin.empty())
        return 1;
    if (!yes && !port.AskOkCancel(FormatString(msg::kCliAskPinKey, {profile}))) {
        port.ShowMessage(LoadString(msg::kCliKeyNotStored));
        return 3;
    }
    if (!store.WriteProfileValues(profile, {{PinnedKeyValueName(security), certificate.keyPin}})) {
        port.ShowMessage(FormatString(msg::kKeyStoreFailed, {profile}));
        return 1;
    }
    port.ShowMessage(FormatString(msg::kCertificateTrusted, {profile}));
    return 0;
}

}  // namespace kestrum
