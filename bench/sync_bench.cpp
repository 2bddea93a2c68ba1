// Whole synchronisation runs against a local test FTP server, next to lftp's
// mirror on the same tree, and the planning time alone on large lists.
//   sync_bench [--files N,N,...] [--planning N] [--no-lftp]
// For each tree size: N files in 100 directories. Prints the wall time and the
// number of FTP commands the server received for
//   (a) a first upload-only run to an empty server,
//   (b) a second upload-only run with nothing changed,
//   (c) a both-directions run with nothing changed,
//   (d) lftp "mirror -R --only-newer" to an empty server, and again with nothing changed.

#include <sys/stat.h>
#include <csignal>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "engine/run_log.h"
#include "engine/sync_phases.h"
#include "engine/sync_run.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "profiles/profile_store.h"
#include "sftp/sftp_session.h"
#include "tests/support/ftp_server.h"
#include "tests/support/recording_port.h"
#include "tests/support/run_harness.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrum::test::RunHarness;
using kestrum::test::TestFtpServer;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int CommandCount(const TestFtpServer& server) {
    std::istringstream in(server.commandLog());
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        n += !line.empty();
    return n;
}

void MakeTree(const std::string& root, int files) {
    const int64_t old = static_cast<int64_t>(std::time(nullptr)) - 86400;
    const int perDir = files / 100;
    for (int d = 0; d < 100; ++d) {
        char dir[32];
        std::snprintf(dir, sizeof dir, "d%02d", d);
        for (int f = 0; f < perDir; ++f) {
            char name[64];
            std::snprintf(name, sizeof name, "%s/f%05d.txt", dir, f);
            kestrum::test::WriteFile(root + "/" + name, std::string("line of text ") + name + "\n", old);
        }
    }
}

struct Measure {
    double seconds = 0;
    int commands = 0;
    int copied = 0;
};

void Print(const char* what, const Measure& m) {
    std::printf("  %-44s %8.2f s %9d commands", what, m.seconds, m.commands);
    if (m.copied >= 0)
        std::printf(" %7d copied", m.copied);
    std::printf("\n");
}

Measure KestrumRun(TestFtpServer& server, const std::string& localDir, bool upload, bool download) {
    RunHarness h;
    kestrum::test::ProfileSpec spec;
    spec.localDir = localDir;
    spec.upload = upload;
    spec.download = download;
    spec.subdirs = true;
    h.MakeProfile("bench", server, spec);
    h.store.SaveDetailSettings("bench", {.timeLag = 3});
    const int before = CommandCount(server);
    const auto start = Clock::now();
    const int result = h.Run();
    Measure m;
    m.seconds = Since(start);
    m.commands = CommandCount(server) - before;
    // The copy lines (msg::kUploaded, msg::kUploadedAscii, msg::kDownloaded, msg::kDownloadedAscii) are the ones that
    // begin with a tab and a quote.
    for (const std::string& line : h.lines()) {
        if (line.rfind("\t\"", 0) == 0)
            ++m.copied;
    }
    if (result != 0)
        std::printf("  (run ended with status %d)\n", result);
    return m;
}

Measure LftpMirror(TestFtpServer& server, const std::string& localDir) {
    const int before = CommandCount(server);
    const std::string command = "lftp -c 'set cmd:fail-exit yes; set net:max-retries 1; open -u user,secret ftp://" +
                                server.hostWithPort() + "; mirror -R --only-newer " + localDir + " /' > /dev/null 2>&1";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    Measure m;
    m.seconds = Since(start);
    m.commands = CommandCount(server) - before;
    m.copied = -1;
    if (status != 0)
        std::printf("  (lftp exited with status %d)\n", status);
    return m;
}

// Refuses every request: planning with every file matched must make none.
class NoRequests : public kestrum::FtpConnection {
  public:
    [[noreturn]] static void Fail() { throw kestrum::FtpError("planning made a request"); }
    bool SetCurrentDirectory(const std::string&) override { Fail(); }
    std::string CurrentDirectory() const override { return "/"; }
    bool CreateDirectory(const std::string&) override { Fail(); }
    bool RemoveDirectory(const std::string&) override { Fail(); }
    bool Remove(const std::string&) override { Fail(); }
    bool PutFile(const std::string&, const std::string&, kestrum::TransferType, kestrum::UploadCount*) override {
        Fail();
    }
    bool Rename(const std::string&, const std::string&) override { Fail(); }
    bool SetMode(const std::string&, int) override { Fail(); }
    bool GetFile(const std::string&, const std::string&, kestrum::TransferType, int64_t) override { Fail(); }
    kestrum::FtpListing List(const std::string&) override { Fail(); }
    kestrum::FtpListing Lookup(const std::string&) override { Fail(); }
    std::string LastError() const override { return {}; }
    void Close() override {}
};

void PlanningOnly(int entries) {
    kestrum::test::TempDir root;
    kestrum::test::RecordingPort port;
    kestrum::RunLog log(port);
    kestrum::ProfileStore store(root / "Kestrum.conf");
    std::unique_ptr<kestrum::FtpClientFactory> ftp = kestrum::MakeTransportFactory();
    kestrum::RunState state;
    kestrum::RunContext ctx{state, log, store, *ftp, kestrum::PosixFileSystem()};
    state.settings.localDir = root.path();
    state.settings.timeLag = 3;
    const int64_t t = 1'700'000'000;
    auto fill = [&] {
        state.results.localFiles.clear();
        state.results.serverFiles.clear();
        state.results.serverDirectories.clear();
        for (int i = 0; i < entries; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "Dir%02d/File%06d.txt", i % 100, i);
            state.results.localFiles.push_back(kestrum::FileEntry{name, t});
            // The server lists the same names in another order and letter case.
            std::snprintf(name, sizeof name, "dir%02d/file%06d.TXT", (entries - 1 - i) % 100, entries - 1 - i);
            state.results.serverFiles.push_back(kestrum::FileEntry{name, t + 60});
        }
        for (int d = 0; d < 100; ++d) {
            char dir[16];
            std::snprintf(dir, sizeof dir, "DIR%02d", d);
            state.results.serverDirectories.push_back(dir);
        }
    };
    NoRequests none;
    kestrum::FileList transfer;
    // Nothing sets the cancel flag here: every planning runs to its end.
    auto expectDone = [](kestrum::PhaseOutcome outcome) {
        if (outcome != kestrum::PhaseOutcome::Done)
            std::printf("  (unexpected: a planning stopped at the cancel flag)\n");
    };
    std::printf("planning alone, %d entries on each side (all matched, none copied):\n", entries);
    fill();
    auto start = Clock::now();
    expectDone(kestrum::PlanDownloads(ctx, transfer, 0));
    std::printf("  %-44s %8.3f s\n", "download planning", Since(start));
    fill();
    start = Clock::now();
    expectDone(kestrum::PlanServerFilesBothWays(ctx, transfer, 0));
    std::printf("  %-44s %8.3f s\n", "server-file pass of both directions", Since(start));
    fill();
    start = Clock::now();
    expectDone(kestrum::PlanUploadsMirroring(ctx, none, transfer, 0));
    std::printf("  %-44s %8.3f s   (%zu directories left)\n", "mirroring upload planning", Since(start),
                state.results.serverDirectories.size());
    if (!transfer.empty())
        std::printf("  (unexpected: %zu entries planned)\n", transfer.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<int> sizes = {1000, 10000};
    int planning = 100000;
    bool lftp = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc) {
            sizes.clear();
            std::istringstream in(argv[++i]);
            std::string item;
            while (std::getline(in, item, ','))
                sizes.push_back(std::atoi(item.c_str()));
        } else if (std::strcmp(argv[i], "--planning") == 0 && i + 1 < argc) {
            planning = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--no-lftp") == 0) {
            lftp = false;
        } else {
            std::fprintf(stderr, "usage: %s [--files N,N,...] [--planning N] [--no-lftp]\n", argv[0]);
            return 2;
        }
    }
    try {
        for (const int files : sizes) {
            std::printf("tree of %d files in 100 directories:\n", files);
            kestrum::test::TempDir local;
            MakeTree(local.path(), files);
            {
                TestFtpServer server;
                Print("(a) first upload-only run, empty server", KestrumRun(server, local.path(), true, false));
                Print("(b) second upload-only run, nothing changed", KestrumRun(server, local.path(), true, false));
                Print("(c) both-directions run, nothing changed", KestrumRun(server, local.path(), true, true));
            }
            if (lftp) {
                TestFtpServer server;
                Print("(d) lftp mirror -R --only-newer, empty server", LftpMirror(server, local.path()));
                Print("(e) lftp mirror -R --only-newer, unchanged", LftpMirror(server, local.path()));
            }
            std::fflush(stdout);
        }
        if (planning > 0)
            PlanningOnly(planning);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sync_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
