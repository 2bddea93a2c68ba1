#pragma once
// The auto-setup file setting.ini: ready-made profile names and their
// SERVER= and REMOTE_DIR= lines.

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrum {

// Program, a "/" unless empty or already ending with one, and "setting.ini".
std::string AutoSetupPath(const std::string& programValue);

// The names of the [PROFILE] list; empty when the file cannot be read.
std::vector<std::string> ReadAutoSetupNames(const std::string& path);

struct AutoSetupValues {
    std::optional<std::string> server;
    std::optional<std::string> remoteDir;
    // NAME=VALUE lines of the connection values a provider may preset
    // (FTP_SECURITY, PASSIVE, TLS_PINNED_KEY, MAX_DELETE, PARALLEL, UPLOAD_TEMP, SSH_KEY_FILE,
    // SSH_HOST_KEY), each accepted by
    // the same check as `kestrum profile set`; a refused line is left out.
    std::vector<std::pair<std::string, std::string>> presets;
};
// The values of the first section "[name]" (exact case); later lines win.
AutoSetupValues ReadAutoSetupSection(const std::string& path, const std::string& name);

// Creates the profile and applies its section of the auto-setup file (the
// new-profile dialog's OK after validation). Returns 0 when created; a message
// id (msg::kProfileNameEmpty, msg::kProfileNameTooManyBytes, msg::kProfileNameHasComma for the name, msg::kStoreDamaged
// when the store cannot be opened for the update, msg::kProfileNameTaken for a duplicate); or -1 when the store or its
// Program value cannot be read: nothing happens and no message is due.
class ProfileStore;
int CreateProfileWithAutoSetup(ProfileStore& store, const std::string& name);

}  // namespace kestrum
