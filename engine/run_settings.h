#pragma once
// The in-memory copy of the active profile that every phase of a run reads,
// with every default and cross-rule applied.

#include <cstdint>
#include <string>
#include <vector>

namespace kestrum {

class ProfileStore;
class UserPort;

// FTP_SECURITY's value for SFTP.
inline constexpr int kSecuritySftp = 3;

struct RunSettings {
    int useCache = 0;
    int onlyBoth = 0;
    std::vector<std::string> excludedExtensions;
    std::vector<std::string> asciiExtensions;
    int accessType = 0;  // 1 direct, 3 through the proxy
    std::string proxyName;
    std::string asciiText;
    std::string excludedText;
    int timeLag = 3;  // minutes
    int mirrorDirs = 0;
    int mirrorFiles = 0;
    // Mirroring deletes at most this many items without a confirmation; 0 no
    // limit; -1 (unset) 50, or a quarter of the server's files when fewer.
    int maxDelete = -1;
    // Connections for the transfer phase, 1 to 8.
    int parallel = 4;
    // While watching both directions: minutes between looks at the server (0: none).
    int watchServerInterval = 0;
    int download = 0;
    int upload = 0;
    int subdirs = 0;
    std::string remoteDir;
    std::string localDir;
    std::string profileName;
    std::string programDir;
    uint16_t port = 21;
    std::string password;
    std::string user;
    std::string host;  // may carry ":port" or "[v6]:port"
    int security = 0;  // FTP_SECURITY: 0 plain, 1 explicit TLS, 2 implicit TLS, 3 SFTP
    // The pinned server key: TLS_PINNED_KEY, or SSH_HOST_KEY for SFTP.
    std::string pinnedKey;
    std::string sshKeyFile;  // SSH_KEY_FILE (SFTP)
    bool passive = true;
    // UPLOAD_TEMP: uploads go to a temporary name and are renamed over the target.
    bool uploadTemp = true;
};

// Why a profile could not be loaded for a run, or that it was.
enum class [[nodiscard]] SettingsLoad{
    Loaded,
    NoProfileName,    // no profile is selected
    ProfileBroken,    // the profile does not exist, or a value is missing or out of range
    NoHost,           // the server name is empty
    PortBroken,       // the stored port is negative
    NoPasswordGiven,  // the password prompt was refused
    NoLocalDir,       // the local directory is empty
};

// The message shown for a load that failed; 0 for Loaded, which has none.
int SettingsLoadMessage(SettingsLoad load);

// cacheSwitch is the state of the window's cache item (or --cache/--no-cache).
// The password prompt goes through port when the profile keeps no password.
SettingsLoad LoadRunSettings(RunSettings& settings, ProfileStore& store, UserPort& port, bool cacheSwitch);

// Empties list, then fills it from text: upper-cased, cut at every ",",
// nothing trimmed, empty items kept.
void ParseExtensionList(const std::string& text, std::vector<std::string>& list);

// Whether the upper-cased extension ext is an item of list (exact comparison).
bool ExtensionListed(const std::vector<std::string>& list, const std::string& upperExt);

}  // namespace kestrum
