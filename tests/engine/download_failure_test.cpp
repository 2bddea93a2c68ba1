// A download whose local file cannot be written (a file size limit standing
// in for a full disk), in passive and active mode.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/engine/phase_session.h"

namespace kestrum {
namespace {

using test::Fmt;
using test::ReadFile;
using test::RunHarness;
using test::TestFtpServer;
using test::WriteFile;

// While alive, no file of the process grows beyond limit bytes: a write past
// it fails with EFBIG (SIGXFSZ ignored) as on a full disk.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t limit) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &savedAction_);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = limit;
        set_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        sigaction(SIGXFSZ, &savedAction_, nullptr);
    }
    bool set() const { return set_; }

  private:
    rlimit saved_{};
    struct sigaction savedAction_ {};
    bool set_ = false;
};

void Profile(RunHarness& h, const TestFtpServer& server, bool passive) {
    h.MakeProfile("p", server, {.download = true, .upload = false});
    h.store.WriteProfileValues("p", {{"PASSIVE", int32_t{passive ? 1 : 0}}});
}

// The failed file keeps its old copy and leaves no temporary file; the
// others come down, the run ends with failed items, and the next run
// without the limit copies the file.
TEST(DownloadFailure, ALocalWriteFailureFailsTheFileAlone) {
    const struct {
        const char* path;
        bool passive;
        const char* retr;  // how the download is asked for
    } cases[] = {{"passive", true, "RETR /big.bin"}, {"active", false, "RETR /big.bin"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        TestFtpServer server;
        RunHarness h;
        const int64_t old = static_cast<int64_t>(std::time(nullptr)) - 86400;
        const std::string big(1 << 20, 'b');
        for (const char* name : {"a.bin", "big.bin", "z.bin"}) {
            WriteFile(server.home() + "/" + name, name == std::string("big.bin") ? big : name);
            WriteFile(h.localDir + "/" + name, std::string("old ") + name, old);
        }
        Profile(h, server, c.passive);
        {
            FileSizeLimit limit(256 * 1024);
            ASSERT_TRUE(limit.set());
            EXPECT_EQ(h.Run(), 4);
        }
        EXPECT_TRUE(ReadFile(h.localDir + "/big.bin") == "old big.bin");
        EXPECT_EQ(test::TempNames(h.localDir), std::vector<std::string>{});
        EXPECT_EQ(ReadFile(h.localDir + "/a.bin"), "a.bin");
        EXPECT_EQ(ReadFile(h.localDir + "/z.bin"), "z.bin");
        EXPECT_NE(server.commandLog().find(std::string(c.retr) + "\n"), std::string::npos) << server.commandLog();
        const std::vector<std::string> lines = h.lines();
        const auto failed = std::find(lines.begin(), lines.end(), Fmt(57677, {"big.bin"}));
        ASSERT_NE(failed, lines.end()) << testing::PrintToString(lines);
        ASSERT_NE(failed + 1, lines.end());
        EXPECT_NE(failed[1].find(std::strerror(EFBIG)), std::string::npos) << failed[1];

        RunHarness again;
        again.localDir = h.localDir;
        Profile(again, server, c.passive);
        EXPECT_EQ(again.Run(), 0);
        EXPECT_TRUE(ReadFile(h.localDir + "/big.bin") == big);
    }
}

// A server that sends half a file and reports the transfer complete, with no
// size in its opening reply: the listing's size exposes it in both modes.
TEST(DownloadFailure, AServerThatEndsADownloadEarlyIsNotBelieved) {
    for (const bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        TestFtpServer server({.sendHalf = "big.bin"});
        RunHarness h;
        WriteFile(server.home() + "/big.bin", std::string(100'000, 'b'));
        WriteFile(server.home() + "/a.bin", "a.bin");
        WriteFile(h.localDir + "/big.bin", "old big.bin", static_cast<int64_t>(std::time(nullptr)) - 86400);
        Profile(h, server, passive);
        EXPECT_EQ(h.Run(), 4);
        EXPECT_EQ(ReadFile(h.localDir + "/big.bin"), "old big.bin");
        EXPECT_EQ(ReadFile(h.localDir + "/a.bin"), "a.bin");
        EXPECT_EQ(test::TempNames(h.localDir), std::vector<std::string>{});
        EXPECT_EQ(h.count("\t" + Fmt(60610, {"100000", "50000"})), 1) << testing::PrintToString(h.lines());
    }
}

}  // namespace
}  // namespace kestrum
