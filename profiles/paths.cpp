#include "profiles/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "profiles/profile_store.h"

namespace kestrum {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string HomeDirectory() {
    std::string home = Env("HOME");
    if (!home.empty())
        return WithoutTrailingSlashes(home);
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return WithoutTrailingSlashes(pw->pw_dir);
    }
    return "/tmp";
}

// An XDG base directory: the variable when it holds an absolute path (relative
// ones are ignored by the XDG rules), else the fallback below $HOME.
std::string XdgDirectory(const char* variable, const char* fallback) {
    std::string value = Env(variable);
    if (!value.empty() && value.front() == '/')
        return WithoutTrailingSlashes(value);
    return HomeDirectory() + "/" + fallback;
}

}  // namespace

std::string KestrumHome() {
    return WithoutTrailingSlashes(Env("KESTRUM_HOME"));
}

bool MakeDirectories(const std::string& path) {
    if (path.empty())
        return false;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash)))
        return false;
    // Owner-only: the directories hold the scrambled password and the run log.
    if (mkdir(path.c_str(), 0700) == 0)
        return true;
    return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ProgramDirectory() {
    std::string dir = KestrumHome();
    if (dir.empty())
        dir = XdgDirectory("XDG_DATA_HOME", ".local/share") + "/Quillmoor/Kestrum";
    MakeDirectories(dir);
    return dir;
}

std::string ProfileStore::DefaultFilePath() {
    const std::string home = KestrumHome();
    if (!home.empty())
        return (home == "/" ? std::string() : home) + "/Kestrum.conf";
    return XdgDirectory("XDG_CONFIG_HOME", ".config") + "/Quillmoor/Kestrum.conf";
}

}  // namespace kestrum
