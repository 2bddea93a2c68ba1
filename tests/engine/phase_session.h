#pragma once
// The phases of a run called one by one, over one connection to the test server.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/local_scan.h"
#include "engine/run_log.h"
#include "engine/sync_phases.h"
#include "engine/sync_run.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "res/strings.h"
#include "tests/support/ftp_server.h"
#include "tests/support/recording_port.h"
#include "tests/support/run_harness.h"

namespace kestrum::test {

// A whole minute an hour ago: listed exactly by MLSD and by LIST alike.
inline int64_t RecentMinute() {
    return (static_cast<int64_t>(std::time(nullptr)) - 3600) / 60 * 60;
}

// A suite run with MLSD (true) and with LIST only (false).
class ListingTest : public ::testing::TestWithParam<bool> {
  protected:
    FtpServerOptions Options() const {
        FtpServerOptions o;
        o.mlsd = GetParam();
        return o;
    }
};
inline std::string ListingName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "Mlsd" : "ListOnly";
}

struct PhaseSession {
    explicit PhaseSession(TestFtpServer& server, LocalFileSystem& fs = PosixFileSystem()) : server(server), h(fs) {
        RunSettings& s = h.state.settings;
        s.host = server.hostWithPort();
        s.user = server.options().user;
        s.password = server.options().password;
        s.port = 0;
        s.accessType = 1;
        s.localDir = h.localDir;
        s.programDir = h.programDir;
        s.timeLag = 3;
        s.subdirs = 1;
        connection = h.ftp->Connect(ConnectParamsFor(s, false));
    }
    ~PhaseSession() {
        if (connection)
            connection->Close();
    }

    RunContext& ctx() { return h.ctx; }
    RunState& state() { return h.state; }
    RunSettings& settings() { return h.state.settings; }
    FtpConnection& conn() { return *connection; }

    void Local(std::initializer_list<std::string> names, int64_t time) {
        for (const std::string& name : names)
            h.state.results.localFiles.push_back(FileEntry{name, time});
    }
    // Scans the harness's local directory as a run's preparation does.
    void ScanLocal() {
        h.state.results.localFiles.clear();
        h.state.results.unlistedLocalDirs.clear();
        ScanLocalTree(h.ctx.fs, h.localDir, {h.state.settings.subdirs != 0, &h.state.settings.excludedExtensions},
                      h.state.results.localFiles, nullptr, &h.state.results.unlistedLocalDirs);
    }
    std::string ServerPath(const std::string& rel) const { return server.home() + "/" + rel; }
    std::string LocalPath(const std::string& rel) const { return h.localDir + "/" + rel; }

    std::vector<std::string> lines() const { return h.port.lines(); }
    // The log lines from index start on.
    std::vector<std::string> linesSince(size_t start) const {
        const auto all = h.port.lines();
        return std::vector<std::string>(all.begin() + static_cast<long>(std::min(start, all.size())), all.end());
    }
    size_t lineCount() const { return h.port.lines().size(); }
    std::vector<std::string> planned() const {
        std::vector<std::string> out;
        for (const FileEntry& e : transfer)
            out.push_back(std::to_string(static_cast<int>(e.direction)) + ":" + e.name);
        return out;
    }

    TestFtpServer& server;
    RunHarness h;
    std::unique_ptr<FtpConnection> connection;
    FileList transfer;
};

// Records like RecordingPort and sets a flag when a line matches.
class TriggerPort : public RecordingPort {
  public:
    TriggerPort(std::atomic<int>& flag, std::function<bool(std::string_view)> when)
        : flag_(flag), when_(std::move(when)) {}
    void ShowLogLine(std::string_view line) override {
        RecordingPort::ShowLogLine(line);
        if (when_(line))
            flag_ = 1;
    }

  private:
    std::atomic<int>& flag_;
    std::function<bool(std::string_view)> when_;
};

// A run context whose log sets the run's cancel flag at a matching line.
struct CancelAt {
    CancelAt(RunHarness& h, std::function<bool(std::string_view)> when)
        : port(h.state.flags.cancelRequested, std::move(when)),
          log(port),
          ctx{h.state, log, h.store, *h.ftp, h.ctx.fs} {}
    CancelAt(RunHarness& h, const std::string& line) : CancelAt(h, [line](std::string_view l) { return l == line; }) {}
    TriggerPort port;
    RunLog log;
    RunContext ctx;
};

inline std::string Fmt(int id, std::initializer_list<std::string_view> args = {}) {
    return FormatString(id, args);
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}
inline bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace kestrum::test
