#include "profiles/store_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QLockFile>
#include <QSettings>
#include <QStringList>
#include <cerrno>
#include <limits>
#include <thread>

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

// Whether writing `wanted` would leave the stored value as it reads now. The
// file gives numbers back as text; a value written in this process is still
// held in the form it was given.
bool ReadsBackAs(const QVariant& stored, const QVariant& wanted) {
    if (wanted.typeId() == QMetaType::Int && stored.typeId() == QMetaType::QString)
        return stored.toString() == QString::number(wanted.toInt());
    return stored.typeId() == wanted.typeId() && stored == wanted;
}

// The 1-based line of a byte: "\n", "\r\n" and a lone "\r" each end a line.
int LineOf(std::string_view text, size_t pos) {
    int line = 1;
    for (size_t i = 0; i < pos && i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')))
            ++line;
    }
    return line;
}

bool IsIniSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

// QSettings reads garbage leniently and, on the next write, replaces the whole
// file with the little it understood. This walks the text as QSettings' INI
// reader splits it into lines (a quote runs on over line ends, a backslash
// takes the next byte with it, a ";" at the start of a line is a comment and
// anywhere else ends the line) and reports the first line it would misread.
std::optional<StoreDamage> FindStoreDamage(std::string_view text) {
    using Kind = StoreDamage::Kind;
    if (text.find('\0') != std::string_view::npos || !IsValidText(text, CodePage::Utf8))
        return StoreDamage{Kind::NotText, 0};
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    const size_t n = text.size();
    size_t pos = 0;
    for (;;) {
        size_t start = pos;
        while (start < n && IsIniSpace(text[start]))
            ++start;
        size_t i = start;
        bool inQuotes = false;
        bool equals = false;
        size_t quoteOpened = 0;
        size_t spannedBreak = std::string_view::npos;  // a line end inside quotes
        size_t cutAt = std::string_view::npos;
        while (i < n) {
            const char ch = text[i++];
            if (ch == '=') {
                equals = equals || !inQuotes;
            } else if (ch == '\n' || ch == '\r') {
                if (i == start + 1) {
                    ++start;
                } else if (!inQuotes) {
                    --i;
                    break;
                } else if (spannedBreak == std::string_view::npos) {
                    spannedBreak = i - 1;
                }
            } else if (ch == '\\') {
                if (i < n) {
                    const char next = text[i++];
                    if (i < n && ((next == '\n' && text[i] == '\r') || (next == '\r' && text[i] == '\n')))
                        ++i;
                }
            } else if (ch == '"') {
                inQuotes = !inQuotes;
                if (inQuotes)
                    quoteOpened = i - 1;
            } else if (ch == ';') {
                if (i == start + 1) {
                    while (i < n && text[i] != '\n' && text[i] != '\r')
                        ++i;
                    while (i < n && IsIniSpace(text[i]))
                        ++i;
                    start = i;
                } else if (!inQuotes) {
                    cutAt = --i;
                    break;
                }
            }
        }
        pos = i;
        if (i <= start)
            return std::nullopt;
        const char first = text[start];
        if (spannedBreak != std::string_view::npos || inQuotes)
            return StoreDamage{Kind::UnclosedQuote, LineOf(text, quoteOpened)};
        // QSettings ignores a "#" line, so a ";" in it cuts nothing.
        if (first == '#')
            continue;
        if (cutAt != std::string_view::npos)
            return StoreDamage{Kind::CutAtSemicolon, LineOf(text, cutAt)};
        if (first == '[') {
            if (text.substr(start, i - start).find(']') == std::string_view::npos)
                return StoreDamage{Kind::UnclosedSection, LineOf(text, start)};
            continue;
        }
        if (!equals)
            return StoreDamage{Kind::NotASetting, LineOf(text, start)};
    }
}

std::string StoreLockPath(const std::string& storePath) {
    return storePath + ".edit.lock";
}

bool StoreLockHeld(const std::string& storePath) {
    QLockFile lock(QFile::decodeName(QByteArray::fromStdString(StoreLockPath(storePath))));
    qint64 pid = 0;
    if (!lock.getLockInfo(&pid, nullptr, nullptr) || pid <= 0)
        return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

StoreFile::StoreFile(const std::string& path, StoreAccess access) : path_(path) {
    if (path.empty())
        return;
    struct stat st {};
    // Opening the root creates nothing, not even the lock, when there is no store.
    if (access == StoreAccess::OpenWrite && stat(path.c_str(), &st) != 0)
        return;
    if (access == StoreAccess::CreateWrite) {
        const size_t slash = path_.find_last_of('/');
        if (slash != std::string::npos && slash > 0 && !MakeDirectories(path_.substr(0, slash)))
            return;
    }
    // Locked before the read that the write will be based on.
    if (access != StoreAccess::Read && !Lock())
        return;
    if (access == StoreAccess::CreateWrite && !CreateIfMissing())
        return;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    if (access != StoreAccess::Read && ::access(path.c_str(), W_OK) != 0)
        return;
    QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return;
    damage_ = FindStoreDamage(std::string_view(content.constData(), static_cast<size_t>(content.size())));
    if (damage_)
        return;
    auto settings = std::make_unique<QSettings>(file.fileName(), QSettings::IniFormat);
    if (settings->status() != QSettings::NoError)
        return;
    settings_ = std::move(settings);
}

StoreFile::~StoreFile() = default;

bool StoreFile::Lock() {
    auto lock = std::make_unique<QLockFile>(QFile::decodeName(QByteArray::fromStdString(StoreLockPath(path_))));
    // Polled rather than QLockFile's own wait, which sleeps 100 ms and more
    // between tries while the holder needs a few milliseconds.
    const auto deadline = std::chrono::steady_clock::now() + kStoreLockWait;
    while (!lock->tryLock(0)) {
        if (lock->error() != QLockFile::LockFailedError || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    lock_ = std::move(lock);
    return true;
}

bool StoreFile::Commit() {
    bool written = true;
    if (changed_) {
        settings_->sync();
        written = settings_->status() == QSettings::NoError;
    }
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
    Set(key, TextVariant(text));
}

void StoreFile::SetBytes(const QString& key, const std::string& bytes) {
    Set(key, BytesVariant(bytes));
}

void StoreFile::SetDword(const QString& key, int32_t number) {
    Set(key, static_cast<int>(number));
}

void StoreFile::RemoveGroup(const QString& group) {
    settings_->remove(group);
    changed_ = true;
}

void StoreFile::Set(const QString& key, const QVariant& value) {
    if (const auto stored = Value(key); stored && ReadsBackAs(*stored, value))
        return;
    settings_->setValue(key, value);
    changed_ = true;
}

bool StoreFile::CreateIfMissing() {
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
