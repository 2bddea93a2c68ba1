#include "profiles/store_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <cerrno>
#include <limits>

#include "profiles/paths.h"
#include "profiles/profile_schema.h"
#include "res/codepage.h"

namespace kestrum {

namespace {

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
            return ParseDecimalInt(v.toString().toStdString());
        case QMetaType::QByteArray:
            return ParseDecimalInt(v.toByteArray().toStdString());
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

}  // namespace

StoreFile::StoreFile(const std::string& path, StoreAccess access) : path_(path) {
    if (path.empty())
        return;
    if (access == StoreAccess::CreateWrite && !CreateIfMissing())
        return;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    if (access != StoreAccess::Read && ::access(path.c_str(), W_OK) != 0)
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

StoreFile::~StoreFile() = default;

bool StoreFile::Commit() {
    settings_->sync();
    const bool written = settings_->status() == QSettings::NoError;
    // QSettings creates its files with the default mode; the password is in there.
    struct stat st {};
    if (stat(path_.c_str(), &st) == 0 && (st.st_mode & 0777) != 0600)
        chmod(path_.c_str(), 0600);
    return written;
}

bool StoreFile::GroupExists(const QString& group) {
    settings_->beginGroup(group);
    const bool exists = !settings_->allKeys().isEmpty();
    settings_->endGroup();
    return exists;
}

std::optional<QVariant> StoreFile::Value(const QString& key) {
    if (!settings_->contains(key))
        return std::nullopt;
    return settings_->value(key);
}

std::optional<std::string> StoreFile::String(const QString& key, size_t maxBytes) {
    auto v = Value(key);
    if (!v)
        return std::nullopt;
    auto text = TextOf(*v);
    if (!text || text->size() > maxBytes)
        return std::nullopt;
    return text;
}

std::optional<int32_t> StoreFile::Dword(const QString& key) {
    auto v = Value(key);
    if (!v)
        return std::nullopt;
    return DwordOf(*v);
}

void StoreFile::SetString(const QString& key, const std::string& text) {
    settings_->setValue(key, TextVariant(text));
}

void StoreFile::SetBytes(const QString& key, const std::string& bytes) {
    settings_->setValue(key, BytesVariant(bytes));
}

void StoreFile::SetDword(const QString& key, int32_t number) {
    settings_->setValue(key, static_cast<int>(number));
}

bool StoreFile::CreateIfMissing() {
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

QString GlobalKey(std::string_view value) {
    return QString::fromLatin1(value.data(), static_cast<qsizetype>(value.size()));
}

QString ProfileKey(const QString& group, std::string_view value) {
    return group + QLatin1Char('/') + GlobalKey(value);
}

}  // namespace kestrum
