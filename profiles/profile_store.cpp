#include "profiles/profile_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cerrno>
#include <charconv>
#include <limits>
#include <memory>

#include "profiles/paths.h"
#include "res/codepage.h"

namespace kestrum {

namespace {

constexpr char kScrambleMask = 0x1B;
constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();
constexpr const char* kPasswordValue = "PSW";

// QSettings nests groups at "/" (the registry backend at "\"), so a profile
// name holding them would land in a subgroup of another profile. Those two and
// "%" are percent-encoded; QSettings itself escapes everything else it cannot
// keep in the file. A name that is not text in the code page keeps its bytes:
// its high bytes are escaped too, which text names never need, so the mapping
// stays one to one. QSettings also writes every spelling of "general" as the
// section of a group named "General" and reads them all back as that one, so
// such a name gets its first letter escaped.
QString GroupName(const std::string& name) {
    const bool text = IsValidText(name);
    const std::string bytes = text ? ToUtf8(name) : name;
    static const char hex[] = "0123456789ABCDEF";
    const bool general = EqualsIgnoreCase(bytes, "general", CodePage::Utf8);
    QByteArray out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '%' || c == '/' || c == '\\' || (!text && c >= 0x80) || (general && i == 0)) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return QString::fromUtf8(out);
}

QString Key(const std::string& value) {
    return QString::fromLatin1(value.data(), static_cast<qsizetype>(value.size()));
}

// Text stays readable in the file; bytes that are not text in the code page
// are kept as they are.
QVariant TextVariant(const std::string& bytes) {
    if (IsValidText(bytes))
        return QString::fromStdString(ToUtf8(bytes));
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QVariant BytesVariant(const std::string& bytes) {
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// A stored value read as a string, whatever form it was stored in.
std::optional<std::string> TextOf(const QVariant& v) {
    switch (v.typeId()) {
        case QMetaType::QString:
            return FromUtf8(v.toString().toStdString());
        case QMetaType::QByteArray: {
            const QByteArray b = v.toByteArray();
            return std::string(b.constData(), static_cast<size_t>(b.size()));
        }
        case QMetaType::QStringList:
            // A hand-edited value with commas but without quotes.
            return FromUtf8(v.toStringList().join(QLatin1Char(',')).toStdString());
        case QMetaType::Int:
        case QMetaType::LongLong:
            return std::to_string(v.toLongLong());
        case QMetaType::UInt:
        case QMetaType::ULongLong:
            return std::to_string(v.toULongLong());
        default:
            return std::nullopt;
    }
}

std::optional<int32_t> ParseInt32(std::string_view text) {
    int64_t n = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    auto [end, ec] = std::from_chars(first, last, n);
    if (ec != std::errc() || end != last || text.empty())
        return std::nullopt;
    if (n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(n);
}

// A stored value read as a signed 32-bit number; anything else is unreadable.
std::optional<int32_t> DwordOf(const QVariant& v) {
    switch (v.typeId()) {
        case QMetaType::Int:
        case QMetaType::LongLong: {
            const qlonglong n = v.toLongLong();
            if (n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max())
                return std::nullopt;
            return static_cast<int32_t>(n);
        }
        case QMetaType::UInt:
        case QMetaType::ULongLong: {
            const qulonglong n = v.toULongLong();
            if (n > static_cast<qulonglong>(std::numeric_limits<int32_t>::max()))
                return std::nullopt;
            return static_cast<int32_t>(n);
        }
        case QMetaType::QString:
            return ParseInt32(v.toString().toStdString());
        case QMetaType::QByteArray:
            return ParseInt32(v.toByteArray().toStdString());
        default:
            return std::nullopt;
    }
}

// Whether the bytes are an INI file QSettings can read without losing any of
// it. QSettings itself reads garbage leniently and, on the next write, replaces
// the whole file with the little it understood; a file that fails this check
// is never written.
bool LooksLikeIniFile(const QByteArray& bytes) {
    std::string_view text(bytes.constData(), static_cast<size_t>(bytes.size()));
    if (text.find('\0') != std::string_view::npos)
        return false;
    if (!IsValidText(text, CodePage::Utf8))
        return false;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    bool continued = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        const bool wasContinued = continued;
        continued = !line.empty() && line.back() == '\\';
        if (wasContinued)
            continue;
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos)
            continue;
        line.remove_prefix(first);
        if (line.front() == ';' || line.front() == '#') {
            continued = false;
            continue;
        }
        if (line.front() == '[') {
            if (line.find(']') == std::string_view::npos)
                return false;
            continued = false;
            continue;
        }
        if (line.find('=') == std::string_view::npos)
            return false;
    }
    return true;
}

enum class Access {
    Read,         // the file must exist
    OpenWrite,    // the file must exist ("open the root")
    CreateWrite,  // the file and its directory are created when missing
};

// One operation's access to the store file: opened, checked, synced, closed.
class StoreFile {
  public:
    StoreFile(const std::string& path, Access access) : path_(path) {
        if (path.empty())
            return;
        if (access == Access::CreateWrite && !CreateIfMissing())
            return;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        if (access != Access::Read && ::access(path.c_str(), W_OK) != 0)
            return;
        QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
        if (!file.open(QIODevice::ReadOnly))
            return;
        const QByteArray content = file.readAll();
        if (file.error() != QFileDevice::NoError || !LooksLikeIniFile(content))
            return;
        auto settings = std::make_unique<QSettings>(file.fileName(), QSettings::IniFormat);
        if (settings->status() != QSettings::NoError)
            return;
        settings_ = std::move(settings);
    }
    StoreFile(const StoreFile&) = delete;
    StoreFile& operator=(const StoreFile&) = delete;

    bool ok() const { return settings_ != nullptr; }
    QSettings& settings() { return *settings_; }

    // Writes the changes; true when the file holds them.
    bool Commit() {
        settings_->sync();
        const bool written = settings_->status() == QSettings::NoError;
        // QSettings creates its files with the default mode; the password is in there.
        struct stat st {};
        if (stat(path_.c_str(), &st) == 0 && (st.st_mode & 0777) != 0600)
            chmod(path_.c_str(), 0600);
        return written;
    }

    bool GroupExists(const QString& group) {
        settings_->beginGroup(group);
        const bool exists = !settings_->allKeys().isEmpty();
        settings_->endGroup();
        return exists;
    }

    std::optional<QVariant> Value(const QString& key) {
        if (!settings_->contains(key))
            return std::nullopt;
        return settings_->value(key);
    }

    std::optional<std::string> String(const QString& key, size_t maxBytes) {
        auto v = Value(key);
        if (!v)
            return std::nullopt;
        auto text = TextOf(*v);
        if (!text || text->size() > maxBytes)
            return std::nullopt;
        return text;
    }

    std::optional<int32_t> Dword(const QString& key) {
        auto v = Value(key);
        if (!v)
            return std::nullopt;
        return DwordOf(*v);
    }

    void SetString(const QString& key, const std::string& text) { settings_->setValue(key, TextVariant(text)); }
    void SetBytes(const QString& key, const std::string& bytes) { settings_->setValue(key, BytesVariant(bytes)); }
    void SetDword(const QString& key, int32_t number) { settings_->setValue(key, static_cast<int>(number)); }

  private:
    bool CreateIfMissing() {
        const size_t slash = path_.find_last_of('/');
        if (slash != std::string::npos && slash > 0 && !MakeDirectories(path_.substr(0, slash)))
            return false;
        // Created owner-only before QSettings writes it: QSettings keeps the mode
        // of an existing file when it replaces it.
        const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        return errno == EEXIST;
    }

    std::string path_;
    std::unique_ptr<QSettings> settings_;
};

QString ProfileKey(const QString& group, const char* value) {
    return group + QLatin1Char('/') + QLatin1String(value);
}
QString ProfileKey(const QString& group, const std::string& value) {
    return group + QLatin1Char('/') + Key(value);
}

void WriteAssignment(StoreFile& file, const QString& key, const StoreAssignment& a) {
    if (const auto* text = std::get_if<std::string>(&a.data)) {
        if (a.value == kPasswordValue) {
            file.SetBytes(key, *text);
        } else {
            file.SetString(key, *text);
        }
    } else {
        file.SetDword(key, std::get<int32_t>(a.data));
    }
}

}  // namespace

ProfileStore::ProfileStore(std::string filePath) : filePath_(std::move(filePath)) {}

bool ProfileStore::InitGlobalValues(const std::string& programDir, std::string& selectedProfile, int& cacheFlag) {
    StoreFile file(filePath_, Access::CreateWrite);
    if (!file.ok())
        return false;
    // An existing Program is kept even when the program has moved.
    if (!file.String("Program", 254))
        file.SetString("Program", programDir);
    if (auto selected = file.String("Default_Profile", 254)) {
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
    StoreFile file(filePath_, Access::OpenWrite);
    if (!file.ok())
        return false;
    file.SetString("Default_Profile", selectedProfile);
    file.SetDword("FILE_REF", cacheFlag != 0 ? 1 : 0);
    return file.Commit();
}

bool ProfileStore::SaveDefaultProfile(const std::string& selectedProfile) {
    StoreFile file(filePath_, Access::OpenWrite);
    if (!file.ok())
        return false;
    file.SetString("Default_Profile", selectedProfile);
    return file.Commit();
}

std::vector<std::string> ProfileStore::ReadProfileList() {
    std::vector<std::string> kept;
    {
        StoreFile file(filePath_, Access::Read);
        if (!file.ok())
            return {};
        // The list has no length limit here: a fixed buffer would make every
        // profile vanish once the list grew past it.
        const auto text = file.String("Profiles", kNoLimit);
        if (!text)
            return {};
        for (auto& name : SplitProfileList(*text)) {
            if (!name.empty() && file.GroupExists(GroupName(name)))
                kept.push_back(std::move(name));
        }
    }
    // Rewritten every time it was read; a store that cannot be written still lists.
    StoreFile file(filePath_, Access::OpenWrite);
    if (file.ok()) {
        file.SetString("Profiles", JoinProfileList(kept));
        file.Commit();
    }
    return kept;
}

bool ProfileStore::CreateProfile(const std::string& name) {
    if (name.empty())
        return false;
    StoreFile file(filePath_, Access::OpenWrite);
    if (!file.ok())
        return false;
    // Rebuilt from the split names: an unfinished last name (no comma) would
    // otherwise run into the new one.
    auto names = SplitProfileList(file.String("Profiles", kNoLimit).value_or(""));
    names.push_back(name);
    file.SetString("Profiles", JoinProfileList(names));

    const QString group = GroupName(name);
    file.SetString(ProfileKey(group, "HOST"), "");
    file.SetDword(ProfileKey(group, "PORT"), 21);
    file.SetDword(ProfileKey(group, "PSWSVD"), 1);
    file.SetBytes(ProfileKey(group, "PSW"), "");
    file.SetString(ProfileKey(group, "REMOTE_DIRECTORY"), "");
    file.SetString(ProfileKey(group, "LOCAL_DIRECTORY"), "");
    file.SetDword(ProfileKey(group, "CHECK_UPLOAD"), 1);
    file.SetDword(ProfileKey(group, "CHECK_SUB"), 0);
    file.SetDword(ProfileKey(group, "CHECK_DOWNLOAD"), 0);
    file.SetDword(ProfileKey(group, "PROXY_ON"), 0);
    file.SetString(ProfileKey(group, "PROXY_NAME"), "");
    file.SetString(ProfileKey(group, "ASCII_TRANSFER"), "HTML,HTM,TXT");
    file.SetString(ProfileKey(group, "FILE_TRANSFER"), "BAK");
    file.SetDword(ProfileKey(group, "TIME_LAG"), 3);
    file.SetDword(ProfileKey(group, "MIRRORING_DIR"), 0);
    file.SetDword(ProfileKey(group, "MIRRORING_FILE"), 0);
    return file.Commit();
}

std::optional<Profile> ProfileStore::LoadProfile(const std::string& name) {
    if (name.empty())
        return std::nullopt;
    StoreFile file(filePath_, Access::Read);
    if (!file.ok())
        return std::nullopt;
    const QString group = GroupName(name);
    if (!file.GroupExists(group))
        return std::nullopt;
    auto str = [&](const char* value) { return file.String(ProfileKey(group, value), 254); };
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
    p.user = str("USER");
    p.connectionType = dword("CONNECTION_TYPE");
    p.transferBoth = dword("TRANSFER_BOTH");
    return p;
}

bool ProfileStore::SaveGeneralSettings(const std::string& name, const std::string& host, const std::string& user,
                                       const std::string& password, bool savePassword, const std::string& localDir,
                                       const std::string& remoteDir, bool subdirs, bool download, bool upload) {
    if (name.empty())
        return false;
    StoreFile file(filePath_, Access::CreateWrite);
    if (!file.ok())
        return false;
    const QString group = GroupName(name);
    file.SetString(ProfileKey(group, "HOST"), host);
    file.SetString(ProfileKey(group, "USER"), user);
    file.SetDword(ProfileKey(group, "PSWSVD"), savePassword ? 1 : 0);
    file.SetBytes(ProfileKey(group, "PSW"), savePassword ? ScramblePassword(password) : std::string());
    file.SetString(ProfileKey(group, "LOCAL_DIRECTORY"), localDir);
    file.SetString(ProfileKey(group, "REMOTE_DIRECTORY"), remoteDir);
    file.SetDword(ProfileKey(group, "CHECK_SUB"), subdirs ? 1 : 0);
    file.SetDword(ProfileKey(group, "CHECK_DOWNLOAD"), download ? 1 : 0);
    file.SetDword(ProfileKey(group, "CHECK_UPLOAD"), upload ? 1 : 0);
    return file.Commit();
}

bool ProfileStore::SaveProxySettings(const std::string& name, int32_t connectionType, int32_t proxyOn,
                                     const std::string& proxyName, int32_t port) {
    if (name.empty())
        return false;
    StoreFile file(filePath_, Access::CreateWrite);
    if (!file.ok())
        return false;
    const QString group = GroupName(name);
    file.SetDword(ProfileKey(group, "CONNECTION_TYPE"), connectionType);
    file.SetDword(ProfileKey(group, "PROXY_ON"), proxyOn);
    file.SetString(ProfileKey(group, "PROXY_NAME"), proxyName);
    file.SetDword(ProfileKey(group, "PORT"), port);
    return file.Commit();
}

bool ProfileStore::SaveDetailSettings(const std::string& name, int32_t timeLag, const std::string& asciiTransfer,
                                      const std::string& fileTransfer, int32_t transferBoth, int32_t mirroringFile,
                                      int32_t mirroringDir) {
    if (name.empty())
        return false;
    StoreFile file(filePath_, Access::CreateWrite);
    if (!file.ok())
        return false;
    const QString group = GroupName(name);
    file.SetDword(ProfileKey(group, "TIME_LAG"), timeLag);
    file.SetString(ProfileKey(group, "ASCII_TRANSFER"), asciiTransfer);
    file.SetString(ProfileKey(group, "FILE_TRANSFER"), fileTransfer);
    file.SetDword(ProfileKey(group, "TRANSFER_BOTH"), transferBoth);
    file.SetDword(ProfileKey(group, "MIRRORING_FILE"), mirroringFile);
    file.SetDword(ProfileKey(group, "MIRRORING_DIR"), mirroringDir);
    return file.Commit();
}

int ProfileStore::DeleteProfile(const std::string& name, const std::vector<std::string>& remaining) {
    if (name.empty())
        return 1;
    StoreFile file(filePath_, Access::OpenWrite);
    if (!file.ok())
        return 2;
    const QString group = GroupName(name);
    if (!file.GroupExists(group))
        return 2;
    // Removal and the new list go out in one write: both or neither.
    file.settings().remove(group);
    file.SetString("Profiles", JoinProfileList(remaining));
    return file.Commit() ? 0 : 2;
}

bool ProfileStore::CanOpen() const {
    StoreFile file(filePath_, Access::OpenWrite);
    return file.ok();
}

bool ProfileStore::IsUnreadable() const {
    struct stat st {};
    if (stat(filePath_.c_str(), &st) != 0 && errno == ENOENT)
        return false;
    StoreFile file(filePath_, Access::Read);
    return !file.ok();
}

bool ProfileStore::ProfileExists(const std::string& name) const {
    if (name.empty())
        return false;
    StoreFile file(filePath_, Access::Read);
    return file.ok() && file.GroupExists(GroupName(name));
}

std::optional<std::string> ProfileStore::ReadString(const std::string& profile, const std::string& value,
                                                    size_t maxBytes) const {
    if (profile.empty())
        return std::nullopt;
    StoreFile file(filePath_, Access::Read);
    if (!file.ok())
        return std::nullopt;
    return file.String(ProfileKey(GroupName(profile), value), maxBytes);
}

std::optional<int32_t> ProfileStore::ReadDword(const std::string& profile, const std::string& value) const {
    if (profile.empty())
        return std::nullopt;
    StoreFile file(filePath_, Access::Read);
    if (!file.ok())
        return std::nullopt;
    return file.Dword(ProfileKey(GroupName(profile), value));
}

std::optional<std::string> ProfileStore::ReadGlobalString(const std::string& value, size_t maxBytes) const {
    StoreFile file(filePath_, Access::Read);
    if (!file.ok())
        return std::nullopt;
    return file.String(Key(value), maxBytes);
}

std::optional<int32_t> ProfileStore::ReadGlobalDword(const std::string& value) const {
    StoreFile file(filePath_, Access::Read);
    if (!file.ok())
        return std::nullopt;
    return file.Dword(Key(value));
}

bool ProfileStore::WriteString(const std::string& profile, const std::string& value, const std::string& text) {
    return WriteProfileValues(profile, {StoreAssignment{value, text}});
}

bool ProfileStore::WriteDword(const std::string& profile, const std::string& value, int32_t number) {
    return WriteProfileValues(profile, {StoreAssignment{value, number}});
}

bool ProfileStore::WriteGlobalString(const std::string& value, const std::string& text) {
    StoreFile file(filePath_, Access::CreateWrite);
    if (!file.ok())
        return false;
    file.SetString(Key(value), text);
    return file.Commit();
}

bool ProfileStore::WriteProfileValues(const std::string& profile, const std::vector<StoreAssignment>& values) {
    if (profile.empty())
        return false;
    StoreFile file(filePath_, Access::CreateWrite);
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

int ValidateNewProfileName(const std::string& name, const std::vector<std::string>& listedNames) {
    if (name.empty())
        return 42780;
    if (name.size() > 20)
        return 42790;
    if (FindFirstChar(name, ',') != std::string::npos)
        return 42791;
    for (const auto& listed : listedNames) {
        if (EqualsIgnoreCase(listed, name))
            return 42782;
    }
    return 0;
}

}  // namespace kestrum
