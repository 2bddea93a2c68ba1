#include "profiles/auto_setup.h"

#include <cstdio>
#include <memory>

#include "profiles/profile_store.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

// Longer lines can be neither a header nor a usable name or value; keeping
// only this much of them bounds the memory a broken file can take.
constexpr size_t kMaxLine = 4096;
// More ready-made names than any list box can usefully offer.
constexpr size_t kMaxNames = 1000;

struct Line {
    std::string text;
    bool usable = true;  // false when cut at kMaxLine or holding a NUL byte
};

// Reads lines ending at LF; a CR before the line end belongs to the line end.
class LineReader {
  public:
    explicit LineReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb"), &std::fclose) {}
    bool ok() const { return file_ != nullptr; }

    bool Next(Line& line) {
        line.text.clear();
        line.usable = true;
        int c = std::getc(file_.get());
        if (c == EOF)
            return false;
        for (; c != EOF && c != '\n'; c = std::getc(file_.get())) {
            if (c == '\0')
                line.usable = false;
            if (line.text.size() < kMaxLine) {
                line.text += static_cast<char>(c);
            } else {
                line.usable = false;
            }
        }
        if (!line.text.empty() && line.text.back() == '\r')
            line.text.pop_back();
        return true;
    }

  private:
    std::unique_ptr<FILE, int (*)(FILE*)> file_;
};

// The values a setting.ini section may preset besides SERVER and REMOTE_DIR.
bool IsPreset(std::string_view name) {
    for (std::string_view preset : {"FTP_SECURITY", "PASSIVE", "TLS_PINNED_KEY", "MAX_DELETE", "PARALLEL",
                                    "UPLOAD_TEMP", "SSH_KEY_FILE", "SSH_HOST_KEY"}) {
        if (name == preset)
            return true;
    }
    return false;
}

bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::string AutoSetupPath(const std::string& programValue) {
    std::string path = programValue;
    if (!path.empty() && path.back() != '/')
        path += '/';
    return path + "setting.ini";
}

std::vector<std::string> ReadAutoSetupNames(const std::string& path) {
    std::vector<std::string> names;
    LineReader reader(path);
    if (!reader.ok())
        return names;
    Line line;
    bool inList = false;
    while (reader.Next(line)) {
        if (!inList) {
            inList = line.usable && line.text == "[PROFILE]";
            continue;
        }
        if (line.text.empty())
            break;
        if (line.usable && names.size() < kMaxNames)
            names.push_back(line.text);
    }
    return names;
}

AutoSetupValues ReadAutoSetupSection(const std::string& path, const std::string& name) {
    AutoSetupValues values;
    LineReader reader(path);
    if (!reader.ok())
        return values;
    const std::string header = FormatString(msg::kAutoSetupSection, {name});
    Line line;
    bool inSection = false;
    while (reader.Next(line)) {
        if (!inSection) {
            inSection = line.usable && line.text == header;
            continue;
        }
        if (line.text.empty())
            break;
        if (!line.usable)
            continue;
        // A value longer than a setting can hold would only read back as missing.
        if (StartsWith(line.text, "SERVER=")) {
            if (line.text.size() - 7 <= kTextLimit)
                values.server = line.text.substr(7);
        } else if (StartsWith(line.text, "REMOTE_DIR=")) {
            if (line.text.size() - 11 <= kTextLimit)
                values.remoteDir = line.text.substr(11);
        } else if (const size_t equals = line.text.find('='); equals != std::string::npos) {
            const std::string name = line.text.substr(0, equals);
            const std::string text = line.text.substr(equals + 1);
            const ProfileValue* value = FindProfileValue(name);
            if (value != nullptr && IsPreset(name) && CheckValue(*value, text) == 0)
                values.presets.emplace_back(name, text);
        }
    }
    return values;
}

int CreateProfileWithAutoSetup(ProfileStore& store, const std::string& name) {
    if (const int refused = ValidateNewProfileName(name, {}))
        return refused;
    const auto program = store.ReadGlobalString("Program");
    if (!program)
        return -1;
    // The name is checked against the list under the same lock as it is added,
    // so that two processes cannot both add it.
    const int created = store.CreateProfile(
        name, [&name](const std::vector<std::string>& listed) { return ValidateNewProfileName(name, listed); });
    if (created != 0)
        return created > 0 ? created : msg::kStoreDamaged;

    const AutoSetupValues section = ReadAutoSetupSection(AutoSetupPath(*program), name);
    std::vector<StoreAssignment> values;
    if (section.server)
        values.push_back({"HOST", *section.server});
    if (section.remoteDir)
        values.push_back({"REMOTE_DIRECTORY", *section.remoteDir});
    for (const auto& [name, text] : section.presets) {
        if (FindProfileValue(name)->type == ValueType::String) {
            values.push_back({name, text});
        } else {
            values.push_back({name, *ParseDecimalInt(text)});
        }
    }
    // The profile exists from here on, whatever the auto-setup step finds.
    if (!values.empty())
        store.WriteProfileValues(name, values);
    return 0;
}

}  // namespace kestrum
