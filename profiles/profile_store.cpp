#include "profiles/profile_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <set>

#include "profiles/store_file.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();
constexpr char kScrambleMask = 0x1B;

// A password is stored as bytes: once scrambled it need not be text.
void SetText(StoreFile& file, const QString& key, std::string_view valueName, const std::string& text) {
    const ProfileValue* value = FindProfileValue(valueName);
    if (value != nullptr && value->type == ValueType::Password) {
        file.SetBytes(key, text);
    } else {
        file.SetString(key, text);
    }
}

void WriteAssignment(StoreFile& file, const QString& key, const StoreAssignment& a) {
    if (const auto* text = std::get_if<std::string>(&a.data)) {
        SetText(file, key, a.value, *text);
    } else {
        file.SetDword(key, std::get<int32_t>(a.data));
    }
}

// The listed names whose group exists, in list order.
std::vector<std::string> KeptNames(StoreFile& file, const std::string& listText) {
    std::vector<std::string> kept;
    for (auto& name : SplitProfileList(listText)) {
        if (!name.empty() && file.GroupExists(GroupName(name)))
            kept.push_back(std::move(name));
    }
    return kept;
}

// Why a directory cannot be made: its nearest existing ancestor is not a
// directory or takes no new entries. 0 when nothing is known to stand in the way.
int DirectoryCreationError(std::string dir) {
    for (;;) {
        struct stat st {};
        if (stat(dir.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return ENOTDIR;
            return access(dir.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
        }
        if (errno != ENOENT)
            return errno;
        const size_t slash = dir.find_last_of('/');
        if (slash == std::string::npos || slash == 0)
            return 0;
        dir.resize(slash);
    }
}

}  // namespace

ProfileStore::ProfileStore(std::string filePath) : filePath_(std::move(filePath)) {}

bool ProfileStore::InitGlobalValues(const std::string& programDir, std::string& selectedProfile, int& cacheFlag) {
    StoreFile file(filePath_, StoreAccess::CreateWrite);
    if (!file.ok())
        return false;
    // An existing Program is kept even when the program has moved.
    if (!file.String("Program", kTextLimit))
        file.SetString("Program", programDir);
    if (auto selected = file.String("Default_Profile", kTextLimit)) {
        selectedProfile = *selected;
    } else {
        selectedProfile.clear();
        file.SetString("Default_Profile", "");
    }
    if (!file.Value("Profiles"))
        file.SetString("Profiles", "");
    const auto cache = file.Dword("FILE_REF");
    cacheFlag = (!cache || *cache != 0) ? 1 : 0;
    return file.Commit();
}

bool ProfileStore::SaveGlobalValues(const std::string& selectedProfile, int cacheFlag) {
    StoreFile file(filePath_, StoreAccess::OpenWrite);
    if (!file.ok())
        return false;
    file.SetString("Default_Profile", selectedProfile);
    file.SetDword("FILE_REF", cacheFlag != 0 ? 1 : 0);
    return file.Commit();
}

bool ProfileStore::SaveDefaultProfile(const std::string& selectedProfile) {
    StoreFile file(filePath_, StoreAccess::OpenWrite);
    if (!file.ok())
        return false;
    file.SetString("Default_Profile", selectedProfile);
    return file.Commit();
}

std::vector<std::string> ProfileStore::ReadProfileList() {
    std::vector<std::string> kept;
    {
        StoreFile file(filePath_, StoreAccess::Read);
        if (!file.ok())
            return {};
        // The list has no length limit here: a fixed buffer would make every
        // profile vanish once the list grew past it.
        const auto text = file.String("Profiles", kNoLimit);
        if (!text)
            return {};
        kept = KeptNames(file, *text);
        if (JoinProfileList(kept) == *text)
            return kept;
    }
    // A name was dropped: the list is tidied under the lock, from a fresh read,
    // so that a profile created meanwhile stays listed. A store that cannot be
    // written still lists.
    StoreFile file(filePath_, StoreAccess::OpenWrite);
    if (!file.ok())
        return kept;
    const auto text = file.String("Profiles", kNoLimit);
    if (!text)
        return {};
    kept = KeptNames(file, *text);
    file.SetString("Profiles", JoinProfileList(kept));
    file.Commit();
    return kept;
}

int ProfileStore::CreateProfile(const std::string& name, const ListCheck& check) {
    if (name.empty())
        return -1;
    StoreFile file(filePath_, StoreAccess::OpenWrite);
    if (!file.ok())
        return -1;
    // Rebuilt from the split names: an unfinished last name (no comma) would
    // otherwise run into the new one.
    auto names = SplitProfileList(file.String("Profiles", kNoLimit).value_or(""));
    if (check) {
        if (const int refused = check(names))
            return refused;
    }
    names.push_back(name);
    file.SetString("Profiles", JoinProfileList(names));

    const QString group = GroupName(name);
    for (const ProfileValue& value : kProfileValues) {
        if (!value.created)
            continue;
        if (value.type == ValueType::Dword) {
            file.SetDword(ProfileKey(group, value.name), value.number);
        } else {
            SetText(file, ProfileKey(group, value.name), value.name, std::string(value.text));
        }
    }
    return file.Commit() ? 0 : -1;
}

std::optional<Profile> ProfileStore::LoadProfile(const std::string& name) {
    if (name.empty())
        return std::nullopt;
    StoreFile file(filePath_, StoreAccess::Read);
    if (!file.ok())
        return std::nullopt;
    const QString group = GroupName(name);
    if (!file.GroupExists(group))
        return std::nullopt;
    auto str = [&](const char* value) {
        const ProfileValue* row = FindProfileValue(value);
        return file.String(ProfileKey(group, value), row != nullptr ? row->maxBytes : kTextLimit);
    };
    auto dword = [&](const char* value) { return file.Dword(ProfileKey(group, value)); };

    Profile p;
    p.name = name;
    p.host = str("HOST");
    p.port = dword("PORT");
    p.savePassword = dword("PSWSVD");
    if (p.savePassword && *p.savePassword != 0) {
        if (auto scrambled = str("PSW"))
            p.password = ScramblePassword(*scrambled);
    }
    p.remoteDir = str("REMOTE_DIRECTORY");
    p.localDir = str("LOCAL_DIRECTORY");
    p.checkUpload = dword("CHECK_UPLOAD");
    p.checkSub = dword("CHECK_SUB");
    p.checkDownload = dword("CHECK_DOWNLOAD");
    p.proxyOn = dword("PROXY_ON");
    p.proxyName = str("PROXY_NAME");
    p.asciiTransfer = str("ASCII_TRANSFER");
    p.fileTransfer = str("FILE_TRANSFER");
    p.timeLag = dword("TIME_LAG");
    p.mirroringDir = dword("MIRRORING_DIR");
    p.mirroringFile = dword("MIRRORING_FILE");
    p.maxDelete = dword("MAX_DELETE");
    p.security = dword("FTP_SECURITY");
    p.passive = dword("PASSIVE");
    p.pinnedKey = str("TLS_PINNED_KEY");
    p.parallel = dword("PARALLEL");
    p.uploadTemp = dword("UPLOAD_TEMP");
    p.sshKeyFile = str("SSH_KEY_FILE");
    p.sshHostKey = str("SSH_HOST_KEY");
    p.watchServerInterval = dword("WATCH_SERVER_INTERVAL");
    p.user = str("USER");
    p.connectionType = dword("CONNECTION_TYPE");
    p.transferBoth = dword("TRANSFER_BOTH");
    return p;
}

bool ProfileStore::SaveGeneralSettings(const std::string& name, const GeneralSettings& settings) {
    if (name.empty())
        return false;
    StoreFile file(filePath_, StoreAccess::CreateWrite);
    if (!file.ok())
        return false;
    const QString group = GroupName(name);
    file.SetString(ProfileKey(group, "HOST"), settings.host);
    file.SetString(ProfileKey(group, "USER"), settings.user);
    file.SetDword(ProfileKey(group, "PSWSVD"), settings.savePassword ? 1 : 0);
    file.SetBytes(ProfileKey(group, "PSW"),
                  settings.savePassword ? ScramblePassword(settings.password) : std::string());
    file.SetString(ProfileKey(group, "LOCAL_DIRECTORY"), settings.localDir);
    file.SetString(ProfileKey(group, "REMOTE_DIRECTORY"), settings.remoteDir);
    file.SetDword(ProfileKey(group, "CHECK_SUB"), settings.subdirs ? 1 : 0);
    file.SetDword(ProfileKey(group, "CHECK_DOWNLOAD"), settings.download ? 1 : 0);
    file.SetDword(ProfileKey(group, "CHECK_UPLOAD"), settings.upload ? 1 : 0);
    return file.Commit();
}

bool ProfileStore::SaveProxySettings(const std::string& name, const ProxySettings& settings) {
    if (name.empty())
        return false;
    StoreFile file(filePath_, StoreAccess::CreateWrite);
    if (!file.ok())
        return false;
    const QString group = GroupName(name);
    file.SetDword(ProfileKey(group, "CONNECTION_TYPE"), settings.connectionType);
    file.SetDword(ProfileKey(group, "PROXY_ON"), settings.proxyOn ? 1 : 0);
    file.SetString(ProfileKey(group, "PROXY_NAME"), settings.proxyName);
    file.SetDword(ProfileKey(group, "PORT"), settings.port);
    return file.Commit();
}

bool ProfileStore::SaveDetailSettings(const std::string& name, const DetailSettings& settings) {
    if (name.empty())
        return false;
    StoreFile file(filePath_, StoreAccess::CreateWrite);
    if (!file.ok())
        return false;
    const QString group = GroupName(name);
    file.SetDword(ProfileKey(group, "TIME_LAG"), settings.timeLag);
    file.SetString(ProfileKey(group, "ASCII_TRANSFER"), settings.asciiTransfer);
    file.SetString(ProfileKey(group, "FILE_TRANSFER"), settings.fileTransfer);
    file.SetDword(ProfileKey(group, "TRANSFER_BOTH"), settings.transferBoth ? 1 : 0);
    file.SetDword(ProfileKey(group, "MIRRORING_FILE"), settings.mirrorFiles ? 1 : 0);
    file.SetDword(ProfileKey(group, "MIRRORING_DIR"), settings.mirrorDirs ? 1 : 0);
    file.SetDword(ProfileKey(group, "MAX_DELETE"), settings.maxDelete);
    file.SetDword(ProfileKey(group, "FTP_SECURITY"), settings.security);
    file.SetDword(ProfileKey(group, "PASSIVE"), settings.passive ? 1 : 0);
    if (settings.pinnedKey)
        file.SetString(ProfileKey(group, "TLS_PINNED_KEY"), *settings.pinnedKey);
    file.SetDword(ProfileKey(group, "PARALLEL"), settings.parallel);
    file.SetDword(ProfileKey(group, "UPLOAD_TEMP"), settings.uploadTemp ? 1 : 0);
    file.SetString(ProfileKey(group, "SSH_KEY_FILE"), settings.sshKeyFile);
    if (settings.sshHostKey)
        file.SetString(ProfileKey(group, "SSH_HOST_KEY"), *settings.sshHostKey);
    file.SetDword(ProfileKey(group, "WATCH_SERVER_INTERVAL"), settings.watchServerInterval);
    return file.Commit();
}

int ProfileStore::DeleteProfile(const std::string& name, const std::vector<std::string>& remaining) {
    if (name.empty())
        return 1;
    StoreFile file(filePath_, StoreAccess::OpenWrite);
    if (!file.ok())
        return 2;
    const QString group = GroupName(name);
    if (!file.GroupExists(group))
        return 2;
    // The caller's list may be older than this lock: a name deleted since is
    // not brought back, a name created since is not lost.
    std::vector<std::string> names;
    std::set<std::string> seen = {name};
    for (const auto& kept : remaining) {
        if (seen.insert(kept).second && file.GroupExists(GroupName(kept)))
            names.push_back(kept);
    }
    for (const auto& listed : KeptNames(file, file.String("Profiles", kNoLimit).value_or(""))) {
        if (seen.insert(listed).second)
            names.push_back(listed);
    }
    // Removal and the new list go out in one write: both or neither.
    file.RemoveGroup(group);
    file.SetString("Profiles", JoinProfileList(names));
    return file.Commit() ? 0 : 2;
}

bool ProfileStore::CanOpen() const {
    StoreFile file(filePath_, StoreAccess::OpenWrite);
    return file.ok();
}

bool ProfileStore::IsUnreadable() const {
    struct stat st {};
    if (stat(filePath_.c_str(), &st) != 0 && errno == ENOENT)
        return false;
    StoreFile file(filePath_, StoreAccess::Read);
    return !file.ok();
}

std::string ProfileStore::TroubleText() const {
    StoreFile file(filePath_, StoreAccess::Read);
    if (const auto& damage = file.damage()) {
        const std::string line = std::to_string(damage->line);
        switch (damage->kind) {
            case StoreDamage::Kind::NotText:
                return {};
            case StoreDamage::Kind::CutAtSemicolon:
                return FormatString(msg::kStoreLineCutAtSemicolon, {filePath_, line});
            case StoreDamage::Kind::UnclosedQuote:
            case StoreDamage::Kind::UnclosedSection:
            case StoreDamage::Kind::NotASetting:
                return FormatString(msg::kStoreLineUnreadable, {filePath_, line});
        }
    }
    if (file.ok() && StoreLockHeld(filePath_))
        return FormatString(msg::kStoreBusy, {filePath_, std::to_string(kStoreLockWait.count() / 1000)});
    return {};
}

std::string ProfileStore::UnwritableText() const {
    const size_t slash = filePath_.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : filePath_.substr(0, slash);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        const int error = DirectoryCreationError(dir);
        return error != 0 ? FormatString(msg::kStoreDirCreateFailed, {dir, std::strerror(error)}) : std::string();
    }
    // The lock and QSettings' replacement file are made beside the store.
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return FormatString(msg::kStoreDirUnwritable, {dir, std::strerror(errno)});
    if (stat(filePath_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(filePath_.c_str(), R_OK | W_OK) != 0)
        return FormatString(msg::kStoreFileUnwritable, {filePath_, std::strerror(errno)});
    return {};
}

bool ProfileStore::ProfileExists(const std::string& name) const {
    if (name.empty())
        return false;
    StoreFile file(filePath_, StoreAccess::Read);
    return file.ok() && file.GroupExists(GroupName(name));
}

std::optional<std::string> ProfileStore::ReadString(const std::string& profile, std::string_view value,
                                                    size_t maxBytes) const {
    if (profile.empty())
        return std::nullopt;
    StoreFile file(filePath_, StoreAccess::Read);
    if (!file.ok())
        return std::nullopt;
    return file.String(ProfileKey(GroupName(profile), value), maxBytes);
}

std::optional<int32_t> ProfileStore::ReadDword(const std::string& profile, std::string_view value) const {
    if (profile.empty())
        return std::nullopt;
    StoreFile file(filePath_, StoreAccess::Read);
    if (!file.ok())
        return std::nullopt;
    return file.Dword(ProfileKey(GroupName(profile), value));
}

std::optional<std::string> ProfileStore::ReadGlobalString(std::string_view value, size_t maxBytes) const {
    StoreFile file(filePath_, StoreAccess::Read);
    if (!file.ok())
        return std::nullopt;
    return file.String(GlobalKey(value), maxBytes);
}

std::optional<int32_t> ProfileStore::ReadGlobalDword(std::string_view value) const {
    StoreFile file(filePath_, StoreAccess::Read);
    if (!file.ok())
        return std::nullopt;
    return file.Dword(GlobalKey(value));
}

bool ProfileStore::WriteString(const std::string& profile, std::string_view value, const std::string& text) {
    return WriteProfileValues(profile, {StoreAssignment{std::string(value), text}});
}

bool ProfileStore::WriteDword(const std::string& profile, std::string_view value, int32_t number) {
    return WriteProfileValues(profile, {StoreAssignment{std::string(value), number}});
}

bool ProfileStore::WriteGlobalString(std::string_view value, const std::string& text) {
    StoreFile file(filePath_, StoreAccess::CreateWrite);
    if (!file.ok())
        return false;
    file.SetString(GlobalKey(value), text);
    return file.Commit();
}

bool ProfileStore::WriteProfileValues(const std::string& profile, const std::vector<StoreAssignment>& values) {
    if (profile.empty())
        return false;
    StoreFile file(filePath_, StoreAccess::CreateWrite);
    if (!file.ok())
        return false;
    const QString group = GroupName(profile);
    for (const auto& a : values)
        WriteAssignment(file, ProfileKey(group, a.value), a);
    return file.Commit();
}

std::string ScramblePassword(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        c = static_cast<char>(c ^ kScrambleMask);
    return out;
}

std::vector<std::string> SplitProfileList(const std::string& text) {
    std::vector<std::string> names;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ',') {
            names.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return names;
}

std::string JoinProfileList(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) {
        text += name;
        text += ',';
    }
    return text;
}

}  // namespace kestrum
