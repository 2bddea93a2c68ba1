#include "tests/support/run_harness.h"

#include <sys/stat.h>

#include "sftp/sftp_session.h"

namespace kestrum::test {

RunHarness::RunHarness(LocalFileSystem& fs)
    : programDir(root / "program"),
      localDir(root / "local"),
      store(root / "Kestrum.conf"),
      ftp(MakeTransportFactory()),
      owner(port, store, *ftp, fs),
      state(owner.State()),
      log(owner.Log()),
      ctx(owner.Context()) {
    mkdir(programDir.c_str(), 0755);
    mkdir(localDir.c_str(), 0755);
    state.settings.programDir = programDir;
    state.options.cacheSwitch = 0;
}

RunHarness::~RunHarness() = default;

void RunHarness::MakeProfile(const std::string& name, const ProfileSpec& spec) {
    std::string selected;
    int cacheFlag = 0;
    store.InitGlobalValues(programDir, selected, cacheFlag);
    store.CreateProfile(name);
    // The test server speaks plain FTP.
    store.WriteProfileValues(name, {{"FTP_SECURITY", int32_t{0}}});
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

void RunHarness::Start() {
    owner.Start();
}

int RunHarness::Wait() {
    return ExitStatusOf(owner.Await());
}

int RunHarness::Run() {
    Start();
    return Wait();
}

int RunHarness::count(const std::string& text) const {
    int n = 0;
    for (const std::string& line : port.lines())
        n += line == text;
    return n;
}

}  // namespace kestrum::test
