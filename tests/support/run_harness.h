#pragma once
// Everything a run needs, in temporary directories, with the test thread
// playing the run owner's side.

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/run_owner.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "profiles/profile_store.h"
#include "tests/support/ftp_server.h"
#include "tests/support/recording_port.h"

namespace kestrum::test {

struct ProfileSpec {
    std::string host;
    std::string user = "user";
    std::string password = "secret";
    bool savePassword = true;
    std::string remoteDir;
    std::string localDir;  // default: the harness's local directory
    bool subdirs = true;
    bool download = false;
    bool upload = true;
};

// Writes each name below dir, holding its own name, stamped mtime (-1: now).
inline void WriteFiles(const std::string& dir, std::initializer_list<std::string> names, long long mtime = -1) {
    for (const std::string& name : names)
        WriteFile(dir + "/" + name, name, mtime);
}

// The names in dir, sorted (none when it cannot be listed).
inline std::vector<std::string> SortedNames(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The temporary download files below dir (every name a download starts
// with), relative to dir.
inline std::vector<std::string> TempNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.path().filename().string().rfind(".kestrum-", 0) == 0)
            names.push_back(std::filesystem::relative(e.path(), dir).string());
    return names;
}

// The names of a file list, in its order.
inline std::vector<std::string> Names(const FileList& list) {
    std::vector<std::string> names;
    for (const FileEntry& e : list)
        names.push_back(e.name);
    return names;
}

// The real local disk; a test overrides the calls it wants to change.
class PassThroughFs : public LocalFileSystem {
  public:
    bool ListDirectory(const std::string& d, std::vector<LocalDirEntry>& e) override {
        return PosixFileSystem().ListDirectory(d, e);
    }
    std::optional<LocalStatus> GetStatus(const std::string& p) override { return PosixFileSystem().GetStatus(p); }
    bool SetLastWriteTime(const std::string& p, int64_t t) override { return PosixFileSystem().SetLastWriteTime(p, t); }
    bool CreateDirectory(const std::string& p) override { return PosixFileSystem().CreateDirectory(p); }
    bool CreateEmptyFile(const std::string& p) override { return PosixFileSystem().CreateEmptyFile(p); }
};

class RunHarness {
  public:
    explicit RunHarness(LocalFileSystem& fs = PosixFileSystem());
    ~RunHarness();

    // Creates (or overwrites) the profile and makes it the active one.
    void MakeProfile(const std::string& name, const ProfileSpec& spec);
    void MakeProfile(const std::string& name, const TestFtpServer& server, ProfileSpec spec = {});

    // Starts a run and plays the owner until it is idle again. Returns the
    // command line's exit status of the outcome (0, 1, 3 or 4).
    int Run();
    void Start();
    int Wait();

    // The log lines of the last run (everything after the start lines).
    std::vector<std::string> lines() const { return port.lines(); }
    // Whether a line equal to text was logged; how many times.
    int count(const std::string& text) const;

    TempDir root;
    std::string programDir;
    std::string localDir;
    ProfileStore store;
    RecordingPort port;
    std::unique_ptr<FtpClientFactory> ftp;
    RunOwner owner;
    RunState& state;
    RunLog& log;
    RunContext& ctx;
};

}  // namespace kestrum::test
