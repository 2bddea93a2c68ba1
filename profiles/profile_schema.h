#pragma once
// The profile schema: every value a profile holds, with its type, creation
// value, limits and the dialog that edits it; the settings each dialog edits;
// and the rules that the dialogs and `kestrum profile set` check them by.
// A new value is one row here, a field of its dialog's settings, and its control.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "res/message_ids.h"

namespace kestrum {

// The longest text a dialog field, a profile value or a global value holds,
// in code page bytes.
inline constexpr size_t kTextLimit = 254;
// Extension lists are read up to this many bytes by a run and `profile show`:
// a store edited by hand may hold longer lists than the dialogs write.
inline constexpr size_t kListLimit = 1023;
// The longest profile name, in code page bytes.
inline constexpr size_t kProfileNameLimit = 20;

enum class ValueType {
    String,
    Dword,
    Password,  // a string stored scrambled, as bytes
};

// Where the user edits a value.
// Trust: set when the user trusts a server's certificate (the window's
// question, `kestrum trust`); the detail dialog shows it and only removes it.
enum class Editor { Setup, Proxy, Detail, Trust };

struct ProfileValue {
    std::string_view name;
    ValueType type = ValueType::String;
    Editor editor = Editor::Setup;
    // Whether CreateProfile writes it: text for strings, number for DWORDs.
    bool created = true;
    std::string_view text;
    int32_t number = 0;
    // Strings: the most bytes written, and read back by the dialogs ...
    size_t maxBytes = kTextLimit;
    // ... and by a run.
    size_t readBytes = kTextLimit;
    // Strings: the message shown when the text is empty; 0 when it may be.
    int emptyMessage = 0;
    // DWORDs: the numbers accepted, and the message for anything else.
    int32_t min = 0;
    int32_t max = 1;
    int rangeMessage = msg::kCliFlagNotZeroOrOne;
};

// In the order of the store's schema: the values CreateProfile writes, then those it does not.
inline constexpr ProfileValue kProfileValues[] = {
    {.name = "HOST", .emptyMessage = msg::kEnterHostName},
    {.name = "PORT",
     .type = ValueType::Dword,
     .editor = Editor::Proxy,
     .number = 21,
     .min = 1,
     .max = std::numeric_limits<int32_t>::max(),
     .rangeMessage = msg::kPortNotPositive},
    {.name = "PSWSVD", .type = ValueType::Dword, .number = 1},
    {.name = "PSW", .type = ValueType::Password, .emptyMessage = msg::kEnterPassword},
    {.name = "REMOTE_DIRECTORY"},
    {.name = "LOCAL_DIRECTORY", .emptyMessage = msg::kEnterLocalDir},
    {.name = "CHECK_UPLOAD", .type = ValueType::Dword, .number = 1},
    {.name = "CHECK_SUB", .type = ValueType::Dword},
    {.name = "CHECK_DOWNLOAD", .type = ValueType::Dword},
    {.name = "PROXY_ON", .type = ValueType::Dword, .editor = Editor::Proxy},
    {.name = "PROXY_NAME", .editor = Editor::Proxy},
    {.name = "ASCII_TRANSFER", .editor = Editor::Detail, .text = "HTML,HTM,TXT", .readBytes = kListLimit},
    {.name = "FILE_TRANSFER", .editor = Editor::Detail, .text = "BAK", .readBytes = kListLimit},
    {.name = "TIME_LAG",
     .type = ValueType::Dword,
     .editor = Editor::Detail,
     .number = 3,
     .min = 1,
     .max = 100,
     .rangeMessage = msg::kTimeLagOutOfRange},
    {.name = "MIRRORING_DIR", .type = ValueType::Dword, .editor = Editor::Detail},
    {.name = "MIRRORING_FILE", .type = ValueType::Dword, .editor = Editor::Detail},
    // The connection kind: 0 plain FTP, 1 explicit TLS, 2 implicit TLS, 3 SFTP;
    // missing: 0, as profiles made before TLS expect.
    {.name = "FTP_SECURITY",
     .type = ValueType::Dword,
     .editor = Editor::Detail,
     .number = 1,
     .max = 3,
     .rangeMessage = msg::kFtpSecurityOutOfRange},
    // 1 passive mode, 0 active; missing: 1.
    {.name = "PASSIVE", .type = ValueType::Dword, .editor = Editor::Detail, .number = 1},
    // Connections for the transfer phase; a profile without the value reads as the creation value.
    {.name = "PARALLEL",
     .type = ValueType::Dword,
     .editor = Editor::Detail,
     .number = 4,
     .min = 1,
     .max = 8,
     .rangeMessage = msg::kParallelOutOfRange},
    // 1: an upload goes to a temporary name and replaces the server file by a
    // rename; 0: in place (servers whose quota cannot hold both copies). Missing: 1.
    {.name = "UPLOAD_TEMP", .type = ValueType::Dword, .editor = Editor::Detail, .number = 1},
    {.name = "USER", .created = false, .emptyMessage = msg::kEnterUserName},
    {.name = "CONNECTION_TYPE",
     .type = ValueType::Dword,
     .editor = Editor::Proxy,
     .created = false,
     .max = 2,
     .rangeMessage = msg::kCliBadConnectionType},
    {.name = "TRANSFER_BOTH", .type = ValueType::Dword, .editor = Editor::Detail, .created = false},
    // -1: unset (the automatic limit).
    {.name = "MAX_DELETE",
     .type = ValueType::Dword,
     .editor = Editor::Detail,
     .created = false,
     .min = -1,
     .max = std::numeric_limits<int32_t>::max(),
     .rangeMessage = msg::kMaxDeleteOutOfRange},
    // While watching a profile of both directions: minutes between looks at
    // the server's tree (0: never).
    {.name = "WATCH_SERVER_INTERVAL",
     .type = ValueType::Dword,
     .editor = Editor::Detail,
     .created = false,
     .max = 1440,
     .rangeMessage = msg::kWatchIntervalOutOfRange},
    // The only server key a TLS connection accepts, "sha256//<base64>"; empty:
    // the system's trust store decides.
    {.name = "TLS_PINNED_KEY", .editor = Editor::Trust, .created = false},
    // SFTP: a private key file to log in with (its passphrase is the password).
    {.name = "SSH_KEY_FILE",
     .editor = Editor::Detail,
     .created = false,
     .maxBytes = kListLimit,
     .readBytes = kListLimit},
    // SFTP: the only host key accepted, "SHA256:<base64>" as ssh-keygen -l
    // prints it; empty: the user's known_hosts decides.
    {.name = "SSH_HOST_KEY", .editor = Editor::Trust, .created = false},
};

// The row of a value named in the source; a name that is not in the table does not compile.
consteval const ProfileValue& SchemaValue(std::string_view name) {
    for (const ProfileValue& value : kProfileValues) {
        if (value.name == name)
            return value;
    }
    throw "not a profile value";
}

// The row of a value named at run time, or nullptr.
const ProfileValue* FindProfileValue(std::string_view name);

// The values of the setup dialog. Flags are stored as 1 and 0.
struct GeneralSettings {
    std::string host;
    std::string user;
    std::string password;  // plain text; stored only with savePassword
    bool savePassword = false;
    std::string localDir;
    std::string remoteDir;
    bool subdirs = false;
    bool download = false;
    bool upload = false;
};

// The values of the proxy dialog.
struct ProxySettings {
    int32_t connectionType = 0;
    bool proxyOn = false;
    std::string proxyName;
    int32_t port = SchemaValue("PORT").number;
};

// The values of the detail dialog.
struct DetailSettings {
    int32_t timeLag = SchemaValue("TIME_LAG").number;
    std::string asciiTransfer;
    std::string fileTransfer;
    bool transferBoth = false;
    bool mirrorFiles = false;
    bool mirrorDirs = false;
    int32_t maxDelete = -1;  // -1: the automatic limit
    int32_t security = 0;    // FTP_SECURITY
    bool passive = true;
    // TLS_PINNED_KEY, written only when set: a key pinned by a run while the
    // dialog was open is kept unless the user removed it here.
    std::optional<std::string> pinnedKey;
    int32_t parallel = SchemaValue("PARALLEL").number;
    bool uploadTemp = true;  // UPLOAD_TEMP
    std::string sshKeyFile;  // SSH_KEY_FILE
    // SSH_HOST_KEY, written only when set, as pinnedKey.
    std::optional<std::string> sshHostKey;
    int32_t watchServerInterval = 0;  // WATCH_SERVER_INTERVAL, minutes
};

// A decimal signed 32-bit number: an optional "-" and at least one digit,
// nothing else. nullopt when the text is not such a number or does not fit.
std::optional<int32_t> ParseDecimalInt(std::string_view text);

// Whether number lies in the value's range.
bool InRange(const ProfileValue& value, int32_t number);

// Checks a typed value against its row: a string's length, line breaks and
// emptiness; a password's length and emptiness; a DWORD's form and range.
// 0 when it is acceptable, else the id of the message to show (messages
// about one value take its name as their argument).
int CheckValue(const ProfileValue& value, std::string_view text);

// The setup dialog's checks in its order: host (msg::kEnterHostName), user (msg::kEnterUserName), the
// password when it is saved (msg::kEnterPassword), local directory (msg::kEnterLocalDir). 0 when valid.
int CheckGeneralSettings(const GeneralSettings& settings);

// A proxy switched on needs a proxy name (msg::kEnterProxyName).
int CheckProxyName(int32_t proxyOn, std::string_view proxyName);

// The proxy dialog's checks in its order: with the proxy on, its name and
// then the port (msg::kPortNotPositive). 0 when valid.
int CheckProxySettings(bool proxyOn, std::string_view proxyName, std::string_view portText);

// The new-profile checks in order: 0 when valid, else the message id (msg::kProfileNameEmpty
// empty, msg::kProfileNameTooManyBytes over 20 bytes, msg::kProfileNameHasComma comma, msg::kProfileNameTaken duplicate
// ignoring case).
int ValidateNewProfileName(const std::string& name, const std::vector<std::string>& listedNames);

// The order of profile names in every list: ASCII letters compared without
// case, multibyte characters by their bytes; names equal so are ordered by bytes.
bool ProfileNameLess(std::string_view a, std::string_view b);

}  // namespace kestrum
