#pragma once
// The store's file: an INI file read and written through QSettings, owner-only
// (mode 0600) because it holds the scrambled password. A file that QSettings
// would misread is never opened, so it is never overwritten with the little it
// understood. QSettings locks the file only while it writes; an access that
// writes also holds the store's own lock (StoreLockPath) from before its read
// to after its write, so that two processes never write from the same old read.
// The file is written only when a value really changed.

#include <QString>
#include <QVariant>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QLockFile;
class QSettings;

namespace kestrum {

enum class StoreAccess {
    Read,         // the file must exist; no lock
    OpenWrite,    // the file must exist ("open the root"); locked
    CreateWrite,  // the file and its directory are created when missing; locked
};

// How long an access that writes waits for another one to finish. Every
// access holds the lock for one read and one write of a small file.
inline constexpr std::chrono::milliseconds kStoreLockWait{10000};

// The lock beside the store file. Not QSettings' own "<file>.lock", which
// QSettings takes inside every write and which cannot be held around one.
std::string StoreLockPath(const std::string& storePath);
// Whether a running process holds that lock now. Creates nothing.
bool StoreLockHeld(const std::string& storePath);

// A store file that QSettings would misread. Such a file is refused whole,
// for reading and for writing, and never rewritten.
struct StoreDamage {
    enum class Kind {
        NotText,          // a NUL byte or bytes that are not UTF-8
        CutAtSemicolon,   // an unquoted ";" after the start of a line: the rest would be dropped
        UnclosedQuote,    // a quote left open to the end of the line: the next lines would join it
        UnclosedSection,  // "[" without "]"
        NotASetting,      // neither a section, a setting nor a comment
    };
    Kind kind;
    int line = 0;  // 1-based; 0 for NotText
};

// The first damage in the file's bytes, or nullopt when QSettings reads every
// line as it is written. Lines are split as QSettings splits them.
std::optional<StoreDamage> FindStoreDamage(std::string_view bytes);

// One operation's access to the store file: opened, checked, synced, closed.
class StoreFile {
  public:
    StoreFile(const std::string& path, StoreAccess access);
    ~StoreFile();
    StoreFile(const StoreFile&) = delete;
    StoreFile& operator=(const StoreFile&) = delete;

    // False when the file is missing (Read, OpenWrite), not a readable INI file,
    // or not writable where writing was asked for.
    bool ok() const { return settings_ != nullptr; }
    // Set when the file was refused because QSettings would misread it.
    const std::optional<StoreDamage>& damage() const { return damage_; }

    // Writes the changes, if there are any; true when the file holds them.
    bool Commit();

    bool GroupExists(const QString& group);
    std::optional<QVariant> Value(const QString& key);
    // A string longer than maxBytes, or a value of another form, reads as nullopt.
    std::optional<std::string> String(const QString& key, size_t maxBytes);
    std::optional<int32_t> Dword(const QString& key);

    // A value that already reads back as the one given is left alone.
    // Text stays readable in the file; bytes that are not text in the code page are kept as they are.
    void SetString(const QString& key, const std::string& text);
    // Always bytes: for values that need not be text (the scrambled password).
    void SetBytes(const QString& key, const std::string& bytes);
    void SetDword(const QString& key, int32_t number);
    // Removes a group and everything in it.
    void RemoveGroup(const QString& group);

  private:
    bool Lock();
    bool CreateIfMissing();
    void Set(const QString& key, const QVariant& value);

    std::string path_;
    // Declared before settings_: released only after QSettings has gone.
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QSettings> settings_;
    std::optional<StoreDamage> damage_;
    bool changed_ = false;
};

// The group of a profile: the name, escaped so that it is one group of its own.
QString GroupName(const std::string& name);
// A top-level value's key.
QString GlobalKey(std::string_view value);
// A profile value's key inside the profile's group.
QString ProfileKey(const QString& group, std::string_view value);

}  // namespace kestrum
