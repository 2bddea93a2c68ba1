#pragma once
// The profile store's operations: global values, the profile list, and
// profiles created, loaded, saved a dialog's settings at a time, and deleted.
// Global values sit at the top level of the store file (store_file.h), each
// profile in a group of its own. Every operation opens the file, reads or
// writes, and syncs; nothing is cached in memory. An operation that writes
// holds the store's lock around its one read and its one write, so that
// processes working at once keep each other's changes; an operation that only
// reads takes no lock and never writes.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "profiles/profile_schema.h"

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
    std::optional<int32_t> maxDelete;
    std::optional<int32_t> security;  // FTP_SECURITY
    std::optional<int32_t> passive;
    std::optional<std::string> pinnedKey;  // TLS_PINNED_KEY
    std::optional<int32_t> parallel;
    std::optional<int32_t> uploadTemp;           // UPLOAD_TEMP
    std::optional<std::string> sshKeyFile;       // SSH_KEY_FILE
    std::optional<std::string> sshHostKey;       // SSH_HOST_KEY
    std::optional<int32_t> watchServerInterval;  // WATCH_SERVER_INTERVAL
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

    // The listed names whose group exists. Profiles is rewritten with them only
    // when that drops a name (its group is gone, or it lacks its comma).
    std::vector<std::string> ReadProfileList();
    bool CreateProfile(const std::string& name) { return CreateProfile(name, nullptr) == 0; }
    // A message id refusing the name, given the names listed once the lock is
    // held; 0 accepts it. It runs under the lock: it must not use the store.
    using ListCheck = std::function<int(const std::vector<std::string>& listed)>;
    // 0 created; the check's refusal; -1 when the store cannot be opened or written.
    int CreateProfile(const std::string& name, const ListCheck& check);
    std::optional<Profile> LoadProfile(const std::string& name);
    // Each writes the values its dialog edits (the rows of that editor), creating
    // the profile's group when it is missing.
    bool SaveGeneralSettings(const std::string& name, const GeneralSettings& settings);
    bool SaveProxySettings(const std::string& name, const ProxySettings& settings);
    bool SaveDetailSettings(const std::string& name, const DetailSettings& settings);
    // 0 deleted, 1 no name, 2 cannot be deleted. Profiles becomes the remaining
    // names in the caller's order (those whose group still exists), followed by
    // any other listed name the caller had not seen yet (created meanwhile).
    int DeleteProfile(const std::string& name, const std::vector<std::string>& remaining);

    // Value by value (the run's loader and the command line). Strings longer
    // than maxBytes read as missing (nullopt); so do values of the wrong form.
    bool CanOpen() const;
    // The file exists but cannot be read as a store (damaged, not a file, no access).
    bool IsUnreadable() const;
    // Why the store cannot be used, naming the file (and the line, when one
    // line is damaged); empty when there is nothing more to say than that it
    // cannot be read or written. Reads only.
    std::string TroubleText() const;
    // Why the store's directory cannot be created, or it or the store file
    // cannot be written, naming the directory (or file) and the system's reason
    // (no permission, a read-only file system, a file where a directory
    // belongs); empty when nothing of the kind stands in the way. Writes nothing.
    std::string UnwritableText() const;
    bool ProfileExists(const std::string& name) const;
    std::optional<std::string> ReadString(const std::string& profile, std::string_view value,
                                          size_t maxBytes = kTextLimit) const;
    std::optional<int32_t> ReadDword(const std::string& profile, std::string_view value) const;
    std::optional<std::string> ReadGlobalString(std::string_view value, size_t maxBytes = kTextLimit) const;
    std::optional<int32_t> ReadGlobalDword(std::string_view value) const;
    // A password value is always stored as bytes: the scrambled password need not be text.
    bool WriteString(const std::string& profile, std::string_view value, const std::string& text);
    bool WriteDword(const std::string& profile, std::string_view value, int32_t number);
    bool WriteGlobalString(std::string_view value, const std::string& text);
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

}  // namespace kestrum
