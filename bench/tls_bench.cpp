// The cost of FTP over TLS per file: the same first upload run of a tree to
// vsftpd without TLS and with explicit TLS (the server's key pinned), and a
// second run with nothing changed. Needs root (vsftpd); prints figures only.
//   tls_bench [--files N]   (N files in 10 directories; default 200)

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "ftp/ftp_client.h"
#include "profiles/profile_store.h"
#include "tests/support/ftp_server.h"
#include "tests/support/run_harness.h"
#include "tests/support/vsftpd_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrum::test::RunHarness;
using kestrum::test::TestVsftpd;
using kestrum::test::VsftpdOptions;

std::string PinOf(const TestVsftpd& server) {
    kestrum::FtpConnectParams params;
    params.host = server.hostWithPort();
    params.security = kestrum::FtpSecurity::Explicit;
    params.passive = true;
    params.fetchCertificateOnly = true;
    try {
        kestrum::MakeFtpFactory()->Connect(params);
    } catch (const kestrum::FtpCertificateError& e) {
        return e.certificate().keyPin;
    }
    return {};
}

int CommandCount(const TestVsftpd& server) {
    int n = 0;
    for (const char c : server.commandLog())
        n += c == '\n';
    return n;
}

void Measure(const char* label, TestVsftpd& server, int security, const std::string& pin, const std::string& local,
             int files) {
    for (const char* pass : {"first upload", "nothing changed"}) {
        RunHarness h;
        h.MakeProfile("bench", {.host = server.hostWithPort(),
                                .user = TestVsftpd::kUser,
                                .password = TestVsftpd::kPassword,
                                .remoteDir = "/home",
                                .localDir = local});
        h.store.WriteProfileValues("bench", {{"FTP_SECURITY", int32_t(security)}, {"TLS_PINNED_KEY", pin}});
        const int before = CommandCount(server);
        const auto start = Clock::now();
        const int status = h.Run();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const int commands = CommandCount(server) - before;
        std::printf("  %-10s %-16s %7.2f s %7.1f ms/file %6d commands %5.2f commands/file%s\n", label, pass, seconds,
                    1000.0 * seconds / files, commands, double(commands) / files,
                    status == 0 ? "" : "  (run did not end cleanly)");
    }
}

}  // namespace

int main(int argc, char** argv) {
    int files = 200;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--files") == 0)
            files = std::max(10, std::atoi(argv[i + 1]));
    }
    if (const std::string why = TestVsftpd::Unavailable(); !why.empty()) {
        std::printf("tls_bench: skipped: %s\n", why.c_str());
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);
    kestrum::test::TempDir local;
    const int64_t old = static_cast<int64_t>(std::time(nullptr)) - 86400;
    for (int f = 0; f < files; ++f) {
        char name[64];
        std::snprintf(name, sizeof name, "d%02d/f%05d.html", f % 10, f);
        kestrum::test::WriteFile(local / name, std::string(2048, 'x'), old);
    }
    std::printf("vsftpd on loopback, %d files of 2 KB in 10 directories, passive mode:\n", files);
    {
        TestVsftpd plain({.tls = VsftpdOptions::Tls::None});
        Measure("plain", plain, 0, "", local.path(), files);
    }
    {
        TestVsftpd tls({.tls = VsftpdOptions::Tls::Explicit});
        Measure("TLS", tls, 1, PinOf(tls), local.path(), files);
    }
    return 0;
}
