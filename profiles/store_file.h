#pragma once
// The store's file: an INI file read and written through QSettings, owner-only
// (mode 0600) because it holds the scrambled password. A file that QSettings
// would misread is never opened, so it is never overwritten with the little it
// understood. QSettings itself locks the file while it writes.

#include <QString>
#include <QVariant>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QSettings;

namespace kestrum {

enum class StoreAccess {
    Read,         // the file must exist
    OpenWrite,    // the file must exist ("open the root")
    CreateWrite,  // the file and its directory are created when missing
};

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
    QSettings& settings() { return *settings_; }

    // Writes the changes; true when the file holds them.
    bool Commit();

    bool GroupExists(const QString& group);
    std::optional<QVariant> Value(const QString& key);
    // A string longer than maxBytes, or a value of another form, reads as nullopt.
    std::optional<std::string> String(const QString& key, size_t maxBytes);
    std::optional<int32_t> Dword(const QString& key);

    // Text stays readable in the file; bytes that are not text in the code page are kept as they are.
    void SetString(const QString& key, const std::string& text);
    // Always bytes: for values that need not be text (the scrambled password).
    void SetBytes(const QString& key, const std::string& bytes);
    void SetDword(const QString& key, int32_t number);

  private:
    bool CreateIfMissing();

    std::string path_;
    std::unique_ptr<QSettings> settings_;
};

// The group of a profile: the name, escaped so that it is one group of its own.
QString GroupName(const std::string& name);
// A top-level value's key.
QString GlobalKey(std::string_view value);
// A profile value's key inside the profile's group.
QString ProfileKey(const QString& group, std::string_view value);

}  // namespace kestrum
