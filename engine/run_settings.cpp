#include "engine/run_settings.h"

#include <algorithm>

#include "engine/user_port.h"
#include "profiles/profile_store.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

int SettingsLoadMessage(SettingsLoad load) {
    switch (load) {
        case SettingsLoad::Loaded:
            return 0;
        case SettingsLoad::NoProfileName:
            return msg::kNoProfileToRun;
        case SettingsLoad::ProfileBroken:
            return msg::kProfileDataBroken;
        case SettingsLoad::NoHost:
            return msg::kHostNotSet;
        case SettingsLoad::PortBroken:
            return msg::kPortBroken;
        case SettingsLoad::NoPasswordGiven:
            return msg::kNoPasswordGiven;
        case SettingsLoad::NoLocalDir:
            return msg::kLocalDirNotSet;
    }
    return msg::kProfileDataBroken;
}

namespace {

// The most bytes the password prompt takes, as the setup dialog's field.
constexpr size_t kPasswordPromptBytes = 20;

}  // namespace

SettingsLoad LoadRunSettings(RunSettings& settings, ProfileStore& store, UserPort& port, bool cacheSwitch) {
    const std::string& name = settings.profileName;
    if (name.empty())
        return SettingsLoad::NoProfileName;
    if (!store.ProfileExists(name))
        return SettingsLoad::ProfileBroken;
    auto str = [&](const char* value, size_t limit = kTextLimit) { return store.ReadString(name, value, limit); };
    auto dword = [&](const char* value) { return store.ReadDword(name, value); };

    const auto host = str("HOST");
    if (!host)
        return SettingsLoad::ProfileBroken;
    if (host->empty())
        return SettingsLoad::NoHost;
    settings.host = *host;

    const auto proxyOn = dword("PROXY_ON");
    settings.accessType = (proxyOn && *proxyOn != 0) ? 3 : 1;

    if (const auto proxyName = str("PROXY_NAME")) {
        settings.proxyName = *proxyName;
    } else if (settings.accessType == 3) {
        return SettingsLoad::ProfileBroken;
    }

    const auto storedPort = dword("PORT");
    if (!storedPort)
        return SettingsLoad::ProfileBroken;
    if (*storedPort < 0)
        return SettingsLoad::PortBroken;
    settings.port = static_cast<uint16_t>(static_cast<uint32_t>(*storedPort) & 0xFFFF);

    // Missing: plain FTP, as profiles made before TLS expect. A value no
    // choice has is never read as a weaker one.
    const auto security = dword("FTP_SECURITY");
    if (security && !InRange(SchemaValue("FTP_SECURITY"), *security))
        return SettingsLoad::ProfileBroken;
    settings.security = security.value_or(0);
    settings.pinnedKey = str(settings.security == kSecuritySftp ? "SSH_HOST_KEY" : "TLS_PINNED_KEY").value_or("");
    settings.sshKeyFile = settings.security == kSecuritySftp ? str("SSH_KEY_FILE", kListLimit).value_or("") : "";
    settings.passive = dword("PASSIVE").value_or(1) != 0;
    settings.uploadTemp = dword("UPLOAD_TEMP").value_or(1) != 0;

    const auto user = str("USER");
    if (!user)
        return SettingsLoad::ProfileBroken;
    settings.user = *user;

    const auto savePassword = dword("PSWSVD");
    if (!savePassword)
        return SettingsLoad::ProfileBroken;
    if (*savePassword != 0) {
        const auto scrambled = str("PSW");
        if (!scrambled)
            return SettingsLoad::ProfileBroken;
        settings.password = ScramblePassword(*scrambled);
    } else {
        // A key file's passphrase may be long; a password is what the
        // setup dialog's field takes.
        const bool passphrase = !settings.sshKeyFile.empty();
        auto typed = port.AskPassword(passphrase ? FormatString(msg::kPassphrasePrompt, {settings.sshKeyFile})
                                      : settings.security == kSecuritySftp ? LoadString(msg::kSftpPasswordPrompt)
                                                                           : LoadString(msg::kCliPasswordPrompt),
                                      passphrase ? kTextLimit : kPasswordPromptBytes);
        if (!typed)
            return SettingsLoad::NoPasswordGiven;
        settings.password = std::move(*typed);
    }

    const auto remoteDir = str("REMOTE_DIRECTORY");
    if (!remoteDir)
        return SettingsLoad::ProfileBroken;
    settings.remoteDir = *remoteDir;

    const auto localDir = str("LOCAL_DIRECTORY");
    if (!localDir)
        return SettingsLoad::ProfileBroken;
    if (localDir->empty())
        return SettingsLoad::NoLocalDir;
    settings.localDir = *localDir;

    for (auto [value, field] : {std::pair{"CHECK_SUB", &settings.subdirs}, std::pair{"CHECK_UPLOAD", &settings.upload},
                                std::pair{"CHECK_DOWNLOAD", &settings.download}}) {
        const auto flag = dword(value);
        if (!flag)
            return SettingsLoad::ProfileBroken;
        *field = *flag != 0 ? 1 : 0;
    }

    constexpr const ProfileValue& kTimeLag = SchemaValue("TIME_LAG");
    const auto timeLag = dword("TIME_LAG");
    settings.timeLag = (timeLag && InRange(kTimeLag, *timeLag)) ? *timeLag : kTimeLag.number;

    settings.onlyBoth = dword("TRANSFER_BOTH").value_or(0);

    // SFTP has no text mode: every file goes as it is.
    if (settings.security != kSecuritySftp)
        settings.asciiText = str("ASCII_TRANSFER", SchemaValue("ASCII_TRANSFER").readBytes).value_or("");
    ParseExtensionList(settings.asciiText, settings.asciiExtensions);
    settings.excludedText = str("FILE_TRANSFER", SchemaValue("FILE_TRANSFER").readBytes).value_or("");
    ParseExtensionList(settings.excludedText, settings.excludedExtensions);

    const bool uploadOnly = settings.upload != 0 && settings.download == 0;
    settings.mirrorFiles = uploadOnly ? dword("MIRRORING_FILE").value_or(0) : 0;
    settings.mirrorDirs =
        (uploadOnly && settings.mirrorFiles != 0 && settings.onlyBoth != 0) ? dword("MIRRORING_DIR").value_or(0) : 0;

    // Out of range (by hand in the store) reads as unset: the automatic limit.
    const std::optional<int32_t> maxDelete = dword("MAX_DELETE");
    settings.maxDelete = maxDelete && *maxDelete >= 0 ? *maxDelete : -1;

    constexpr const ProfileValue& kParallel = SchemaValue("PARALLEL");
    const std::optional<int32_t> parallel = dword("PARALLEL");
    settings.parallel = parallel && InRange(kParallel, *parallel) ? *parallel : kParallel.number;

    constexpr const ProfileValue& kWatchInterval = SchemaValue("WATCH_SERVER_INTERVAL");
    const std::optional<int32_t> watchInterval = dword("WATCH_SERVER_INTERVAL");
    settings.watchServerInterval = watchInterval && InRange(kWatchInterval, *watchInterval) ? *watchInterval : 0;

    settings.useCache = (cacheSwitch && uploadOnly && settings.mirrorFiles == 0) ? 1 : 0;
    return SettingsLoad::Loaded;
}

void ParseExtensionList(const std::string& text, std::vector<std::string>& list) {
    list.clear();
    if (text.empty())
        return;
    const std::string upper = UpperAscii(text);
    size_t start = 0;
    for (;;) {
        const size_t comma = FindFirstChar(std::string_view(upper).substr(start), ',');
        if (comma == std::string_view::npos) {
            list.push_back(upper.substr(start));
            return;
        }
        list.push_back(upper.substr(start, comma));
        start += comma + 1;
    }
}

bool ExtensionListed(const std::vector<std::string>& list, const std::string& upperExt) {
    return std::find(list.begin(), list.end(), upperExt) != list.end();
}

}  // namespace kestrum
