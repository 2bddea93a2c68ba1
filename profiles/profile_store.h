#pragma once
// The profile store on QSettings: an INI file (mode 0600) with global values at
// the top level and one group per profile. Every operation opens the file,
// reads or writes, and syncs; nothing is cached in memory.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kestrum {

// One value to write: a string or a DWORD, by schema name.
struct StoreAssignment {
    std::string value;
    std::variant<std::string, int32_t> data;
};

// One profile's values; a missing value is nullopt. The password is plain text.
struct Profile {
    std::string name;
    std::optional<std::string> host;
    std::optional<int32_t> port;
    std::optional<int32_t> savePassword;  // PSWSVD
    std::optional<std::string> password;  // PSW unscrambled (only when PSWSVD is set)
    std::optional<std::string> remoteDir;
    std::optional<std::string> localDir;
    std::optional<int32_t> checkUpload;
    std::optional<int32_t> checkSub;
    std::optional<int32_t> checkDownload;
    std::optional<int32_t> proxyOn;
    std::optional<std::string> proxyName;
    std::optional<std::string> asciiTransfer;
    std::optional<std::string> fileTransfer;
    std::optional<int32_t> timeLag;
    std::optional<int32_t> mirroringDir;
    std::optional<int32_t> mirroringFile;
    std::optional<std::string> user;
    std::optional<int32_t> connectionType;
    std::optional<int32_t> transferBoth;
};

class ProfileStore {
  public:
    explicit ProfileStore(std::string filePath);
    // $KESTRUM_HOME/Kestrum.conf, else $XDG_CONFIG_HOME/Quillmoor/Kestrum.conf.
    static std::string DefaultFilePath();
    const std::string& FilePath() const { return filePath_; }

    // Creates or opens the root: writes Program (when missing), Default_Profile
    // and Profiles (as "" when missing); reads Default_Profile and FILE_REF
    // (missing counts as 1). False when the store cannot be opened or written.
    bool InitGlobalValues(const std::string& programDir, std::string& selectedProfile, int& cacheFlag);
    bool SaveGlobalValues(const std::string& selectedProfile, int cacheFlag);
    bool SaveDefaultProfile(const std::string& selectedProfile);

    // The listed names whose group exists; rewrites Profiles with them.
    std::vector<std::string> ReadProfileList();
    bool CreateProfile(const std::string& name);
    std::optional<Profile> LoadProfile(const std::string& name);
    bool SaveGeneralSettings(const std::string& name, const std::string& host, const std::string& user,
                             const std::string& password, bool savePassword, const std::string& localDir,
                             const std::string& remoteDir, bool subdirs, bool download, bool upload);
    bool SaveProxySettings(const std::string& name, int32_t connectionType, int32_t proxyOn,
                           const std::string& proxyName, int32_t port);
    bool SaveDetailSettings(const std::string& name, int32_t timeLag, const std::string& asciiTransfer,
                            const std::string& fileTransfer, int32_t transferBoth, int32_t mirroringFile,
                            int32_t mirroringDir);
    // 0 deleted, 1 no name, 2 cannot be deleted.
    int DeleteProfile(const std::string& name, const std::vector<std::string>& remaining);

    // Value by value (the run's loader and the command line). Strings longer
    // than maxBytes read as missing (nullopt); so do values of the wrong form.
    bool CanOpen() const;
    // The file exists but cannot be read as a store (damaged, not a file, no access).
    bool IsUnreadable() const;
    bool ProfileExists(const std::string& name) const;
    std::optional<std::string> ReadString(const std::string& profile, const std::string& value,
                                          size_t maxBytes = 254) const;
    std::optional<int32_t> ReadDword(const std::string& profile, const std::string& value) const;
    std::optional<std::string> ReadGlobalString(const std::string& value, size_t maxBytes = 254) const;
    std::optional<int32_t> ReadGlobalDword(const std::string& value) const;
    // PSW is always stored as bytes: the scrambled password need not be text.
    bool WriteString(const std::string& profile, const std::string& value, const std::string& text);
    bool WriteDword(const std::string& profile, const std::string& value, int32_t number);
    bool WriteGlobalString(const std::string& value, const std::string& text);
    // Creates or opens the profile and writes every value in one sync: all or nothing.
    bool WriteProfileValues(const std::string& profile, const std::vector<StoreAssignment>& values);

  private:
    std::string filePath_;
};

// XOR 0x1B byte by byte (its own inverse).
std::string ScramblePassword(const std::string& text);
// Names ended by a comma; text after the last comma is dropped.
std::vector<std::string> SplitProfileList(const std::string& text);
std::string JoinProfileList(const std::vector<std::string>& names);

// The new-profile checks in order: 0 when valid, else the message id (42780
// empty, 42790 over 20 bytes, 42791 comma, 42782 duplicate ignoring case).
int ValidateNewProfileName(const std::string& name, const std::vector<std::string>& listedNames);

}  // namespace kestrum
