#include "tests/support/run_harness.h"

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "engine/sync_run.h"

namespace kestrum::test {

RunHarness::RunHarness(LocalFileSystem& fs)
    : programDir(root / "program"),
      localDir(root / "local"),
      store(root / "Kestrum.conf"),
      log(port),
      ftp(MakeCurlFtpFactory()),
      ctx{state, log, store, *ftp, fs} {
    mkdir(programDir.c_str(), 0755);
    mkdir(localDir.c_str(), 0755);
    state.settings.programDir = programDir;
    state.cacheSwitch = 0;
}

RunHarness::~RunHarness() { JoinWorker(state); }

void RunHarness::MakeProfile(const std::string& name, const ProfileSpec& spec) {
    std::string selected;
    int cacheFlag = 0;
    store.InitGlobalValues(programDir, selected, cacheFlag);
    store.CreateProfile(name);
    store.SaveGeneralSettings(name, {.host = spec.host,
                                     .user = spec.user,
                                     .password = spec.password,
                                     .savePassword = spec.savePassword,
                                     .localDir = spec.localDir.empty() ? localDir : spec.localDir,
                                     .remoteDir = spec.remoteDir,
                                     .subdirs = spec.subdirs,
                                     .download = spec.download,
                                     .upload = spec.upload});
    state.settings.profileName = name;
}

void RunHarness::MakeProfile(const std::string& name, const TestFtpServer& server, ProfileSpec spec) {
    spec.host = server.hostWithPort();
    spec.user = server.options().user;
    spec.password = server.options().password;
    MakeProfile(name, spec);
}

void RunHarness::Start() { StartRun(ctx); }

int RunHarness::Wait() {
    int handled = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (port.completions() > handled) {
            ++handled;
            JoinWorker(state);
            FinishRun(ctx);
        }
        if (state.running == 0 && port.completions() == handled) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    JoinWorker(state);
    if (state.runFailed) return 1;
    return state.reachedEnd ? 0 : 3;
}

int RunHarness::Run() {
    Start();
    return Wait();
}

int RunHarness::count(const std::string& text) const {
    int n = 0;
    for (const std::string& line : port.lines()) n += line == text;
    return n;
}

}  // namespace kestrum::test
