// Download planning and the both-ways server-file pass on in-memory lists (no connection).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cerrno>
#include <cstring>

#include <filesystem>

#include "engine/run_log.h"
#include "engine/sync_phases.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "profiles/profile_store.h"
#include "res/strings.h"
#include "tests/support/ftp_server.h"
#include "tests/support/recording_port.h"
#include "tests/support/run_harness.h"

namespace kestrum {
namespace {

using test::TempDir;
using test::WriteFile;

class NoNetwork : public FtpClientFactory {
  public:
    std::unique_ptr<FtpConnection> Connect(const FtpConnectParams&) override {
        throw FtpError("planning must not connect");
    }
};

// Sets the cancel flag right after it has created a directory.
class CancellingFs : public test::PassThroughFs {
  public:
    explicit CancellingFs(RunState& state) : state_(state) {}
    bool CreateDirectory(const std::string& p) override {
        const bool made = PosixFileSystem().CreateDirectory(p);
        state_.flags.cancelRequested = 1;
        return made;
    }

  private:
    RunState& state_;
};

constexpr int64_t kL = 1'700'000'000;

struct Planning {
    explicit Planning(LocalFileSystem* fs = nullptr)
        : store(root / "Kestrum.conf"), log(port), ctx{state, log, store, ftp, fs ? *fs : PosixFileSystem()} {
        localDir = root / "local";
        mkdir(localDir.c_str(), 0755);
        state.settings.localDir = localDir;
        state.settings.timeLag = 3;
    }
    void Local(std::initializer_list<std::string> names, int64_t time) {
        for (const std::string& name : names)
            state.results.localFiles.push_back(FileEntry{name, time});
    }
    void Server(std::initializer_list<std::string> names, int64_t time) {
        for (const std::string& name : names)
            state.results.serverFiles.push_back(FileEntry{name, time});
    }
    std::vector<std::string> Planned() const {
        std::vector<std::string> out;
        for (const FileEntry& e : transfer)
            out.push_back(std::to_string(static_cast<int>(e.direction)) + ":" + e.name);
        return out;
    }
    static bool IsDir(const std::string& p) { return std::filesystem::is_directory(p); }

    TempDir root;
    std::string localDir;
    ProfileStore store;
    test::RecordingPort port;
    RunLog log;
    RunState state;
    NoNetwork ftp;
    RunContext ctx;
    FileList transfer;
};

std::string Updated(const std::string& name) {
    return FormatString(42810, {name});
}

TEST(DownloadPlanning, TimeBandOffsetsAndMatches) {
    Planning p;
    p.Local({"same.txt", "newer.txt", "older.txt"}, kL);
    p.Server({"same.txt"}, kL + 180);   // inside the band
    p.Server({"newer.txt"}, kL + 181);  // newer by more than the lag
    p.Server({"older.txt"}, kL - 181);  // older: never uploaded by the download-only form
    ASSERT_EQ(PlanDownloads(p.ctx, p.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(p.Planned(), (std::vector<std::string>{"2:newer.txt"}));
    EXPECT_EQ(p.port.lines(), (std::vector<std::string>{Updated("newer.txt")}));
    for (const FileEntry& e : p.state.results.localFiles)
        EXPECT_EQ(e.matched, 1) << e.name;
    for (const FileEntry& e : p.transfer)
        EXPECT_EQ(e.matched, 0);

    // Offset -600, lag 3: local 10:00 stands for 09:50 on the server clock.
    Planning q;
    const int64_t ten = 36000;
    q.Local({"a.txt", "b.txt"}, ten);
    q.Server({"a.txt"}, ten - 600 + 180);  // 09:53:00
    q.Server({"b.txt"}, ten - 600 + 181);  // 09:53:01
    ASSERT_EQ(PlanDownloads(q.ctx, q.transfer, -600), PhaseOutcome::Done);
    EXPECT_EQ(q.Planned(), (std::vector<std::string>{"2:b.txt"}));
}

TEST(DownloadPlanning, BothWaysPlansUploadsOfNewerLocalCopiesInServerOrder) {
    Planning p;
    p.Local({"local-only.txt", "up.txt", "down.txt", "even.txt"}, kL);
    p.Server({"down.txt"}, kL + 181);
    p.Server({"up.txt"}, kL - 181);
    p.Server({"even.txt"}, kL - 180);
    p.Server({"server-only.txt"}, kL);
    ASSERT_EQ(PlanServerFilesBothWays(p.ctx, p.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(p.Planned(), (std::vector<std::string>{"2:down.txt", "1:up.txt", "2:server-only.txt"}));
    EXPECT_EQ(p.port.lines(),
              (std::vector<std::string>{Updated("down.txt"), Updated("up.txt"), Updated("server-only.txt")}));
    // Local-only files are left to the caller, recognised by matched = 0.
    EXPECT_EQ(p.state.results.localFiles[0].matched, 0);
    EXPECT_EQ(p.state.results.localFiles[1].matched, 1);

    // Offset +3600: a local 10:00 is 11:00 on the server, a copy listed 10:30 is older.
    Planning q;
    q.Local({"x.txt"}, 36000);
    q.Server({"x.txt"}, 36000 + 1800);
    ASSERT_EQ(PlanServerFilesBothWays(q.ctx, q.transfer, 3600), PhaseOutcome::Done);
    EXPECT_EQ(q.Planned(), (std::vector<std::string>{"1:x.txt"}));
}

TEST(DownloadPlanning, ServerOnlyFilesGetTheirLocalDirectories) {
    for (const bool trailingSlash : {false, true}) {
        Planning p;
        if (trailingSlash)
            p.state.settings.localDir += "/";
        p.Server({"a/b/c.txt", "a/b/d.txt", "top.txt"}, kL);
        ASSERT_EQ(PlanDownloads(p.ctx, p.transfer, 0), PhaseOutcome::Done);
        EXPECT_EQ(p.port.lines(),
                  (std::vector<std::string>{FormatString(57684, {p.localDir + "/a"}),
                                            FormatString(57684, {p.localDir + "/a/b"}), Updated("a/b/c.txt"),
                                            Updated("a/b/d.txt"), Updated("top.txt")}));
        EXPECT_EQ(p.Planned(), (std::vector<std::string>{"2:a/b/c.txt", "2:a/b/d.txt", "2:top.txt"}));
        EXPECT_TRUE(Planning::IsDir(p.localDir + "/a/b"));
    }

    // "Update only files on both sides": no line, no directory, no download.
    Planning q;
    q.state.settings.onlyBoth = 1;
    q.Local({"both.txt"}, kL);
    q.Server({"x/only.txt", "only.txt"}, kL);
    q.Server({"both.txt"}, kL + 600);
    ASSERT_EQ(PlanDownloads(q.ctx, q.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(q.Planned(), (std::vector<std::string>{"2:both.txt"}));
    EXPECT_EQ(q.port.lines(), (std::vector<std::string>{Updated("both.txt")}));
    EXPECT_FALSE(std::filesystem::exists(q.localDir + "/x"));
}

TEST(DownloadPlanning, LocalFileInTheWayIsLeftAloneAndTheFileSkipped) {
    Planning p;
    WriteFile(p.localDir + "/a", "keep me");
    WriteFile(p.localDir + "/f", "keep me too");
    p.Server({"a/c.txt", "f/g/h.txt", "x/y.txt"}, kL);
    ASSERT_EQ(PlanDownloads(p.ctx, p.transfer, 0), PhaseOutcome::Done);
    const std::string notDir = std::string("\t") + std::strerror(ENOTDIR);  // each failure's reason
    EXPECT_EQ(p.port.lines(), (std::vector<std::string>{
                                  FormatString(57683, {p.localDir + "/a"}),
                                  notDir,
                                  // The walk goes on: the next prefix cannot be made and ends it.
                                  FormatString(57683, {p.localDir + "/f"}),
                                  notDir,
                                  FormatString(57683, {p.localDir + "/f/g"}),
                                  notDir,
                                  FormatString(57684, {p.localDir + "/x"}),
                                  Updated("x/y.txt"),
                              }));
    EXPECT_EQ(p.Planned(), (std::vector<std::string>{"2:x/y.txt"}));
    EXPECT_EQ(test::ReadFile(p.localDir + "/a"), "keep me");
    EXPECT_EQ(test::ReadFile(p.localDir + "/f"), "keep me too");
}

TEST(DownloadPlanning, NamesMatchWithLetterCaseFoldedOnlyWhenUnambiguous) {
    Planning p;
    p.Local({"a.txt", "Dir/Note.TXT"}, kL);
    p.Local({"DIR/NOTE.txt"}, kL + 5000);  // a second local spelling: neither is taken for the server's
    p.Server({"A.TXT", "dir/note.txt"}, kL + 600);
    ASSERT_EQ(PlanDownloads(p.ctx, p.transfer, 0), PhaseOutcome::Done);
    ASSERT_EQ(p.transfer.size(), 1u);
    // The local copy is written under its own name, the server copy read under its.
    EXPECT_EQ(p.transfer[0].name, "a.txt");
    EXPECT_EQ(p.transfer[0].serverName, "A.TXT");
    EXPECT_EQ(p.port.lines(), (std::vector<std::string>{Updated("A.TXT"), FormatString(60035, {"dir/note.txt"})}));
    EXPECT_EQ(p.state.results.localFiles[0].matched, 1);
    EXPECT_EQ(p.state.results.localFiles[1].matched, 0);
    EXPECT_EQ(p.state.results.localFiles[2].matched, 0);
    // No directory was made for a file left alone.
    EXPECT_FALSE(std::filesystem::exists(p.localDir + "/dir"));
}

// Hostile names, and names below a local directory that could not be listed.
TEST(DownloadPlanning, HostileNamesAndUnlistedLocalDirectoriesAreNotWrittenInto) {
    Planning p;
    p.state.results.unlistedLocalDirs = {"priv"};
    p.Server({"../evil.txt", "/etc/evil.txt", "a/../../evil.txt", "a//b.txt", "a\\..\\evil.txt",
              std::string("nul\0.txt", 8), "fine/ok.txt", "priv/x.txt", "PRIV/deep/y.txt", "privy/z.txt"},
             kL);
    ASSERT_EQ(PlanDownloads(p.ctx, p.transfer, 0), PhaseOutcome::Done);
    EXPECT_EQ(p.Planned(), (std::vector<std::string>{"2:fine/ok.txt", "2:privy/z.txt"}));
    const auto lines = p.port.lines();
    ASSERT_EQ(lines.size(), 12u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], FormatString(60000, {"../evil.txt"}));
    EXPECT_EQ(lines[5], FormatString(60000, {"nul?.txt"}));
    EXPECT_EQ(lines[8], FormatString(60004, {"priv", "priv/x.txt"}));
    EXPECT_EQ(lines[9], FormatString(60004, {"priv", "PRIV/deep/y.txt"}));
    EXPECT_FALSE(std::filesystem::exists(p.root / "evil.txt"));
    EXPECT_FALSE(std::filesystem::exists(p.localDir + "/a"));
}

TEST(DownloadPlanning, CancelStopsBeforeTheNextFileOrPrefix) {
    Planning p;
    p.state.flags.cancelRequested = 1;
    p.Server({"a.txt"}, kL);
    EXPECT_EQ(PlanDownloads(p.ctx, p.transfer, 0), PhaseOutcome::Cancelled);
    EXPECT_EQ(PlanServerFilesBothWays(p.ctx, p.transfer, 0), PhaseOutcome::Cancelled);
    EXPECT_TRUE(p.transfer.empty());
    EXPECT_TRUE(p.port.lines().empty());

    // A cancel set while the first directory is made stops before the second prefix.
    Planning q;
    CancellingFs fs(q.state);
    RunContext ctx{q.state, q.log, q.store, q.ftp, fs};
    q.Server({"m/n/o.txt", "later.txt"}, kL);
    EXPECT_EQ(PlanDownloads(ctx, q.transfer, 0), PhaseOutcome::Cancelled);
    EXPECT_TRUE(q.transfer.empty());
    EXPECT_EQ(q.port.lines(), (std::vector<std::string>{FormatString(57684, {q.localDir + "/m"})}));
    EXPECT_FALSE(std::filesystem::exists(q.localDir + "/m/n"));
}

}  // namespace
}  // namespace kestrum
