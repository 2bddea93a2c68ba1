// Per-operation costs of the FTP layer against a running server:
//   ftp_layer_bench HOST[:PORT] USER PASSWORD LOCAL_DIR [COUNT] [--passive]
// Uploads COUNT small files into a fresh server directory, lists it, looks
// each file up, downloads them and removes them, timing every phase.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "ftp/ftp_client.h"

using Clock = std::chrono::steady_clock;

static double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s HOST[:PORT] USER PASSWORD LOCAL_DIR [COUNT] [--passive]\n", argv[0]);
        return 2;
    }
    kestrum::FtpConnectParams params;
    params.host = argv[1];
    params.user = argv[2];
    params.password = argv[3];
    const std::string localDir = argv[4];
    int count = 1000;
    for (int i = 5; i < argc; ++i) {
        if (std::strcmp(argv[i], "--passive") == 0) {
            params.passive = true;
        } else {
            count = std::atoi(argv[i]);
        }
    }
    const std::string local = localDir + "/bench-source.txt";
    std::ofstream(local) << std::string(1024, 'b');

    try {
        auto start = Clock::now();
        auto connection = kestrum::MakeFtpFactory()->Connect(params);
        std::printf("connect and login: %.2f ms\n", Seconds(start) * 1e3);
        const std::string dir = "kestrum-bench";
        connection->CreateDirectory(dir);
        if (!connection->SetCurrentDirectory(dir)) {
            std::fprintf(stderr, "cannot enter %s: %s\n", dir.c_str(), connection->LastError().c_str());
            return 1;
        }
        auto phase = [&](const char* name, auto&& body) {
            auto begin = Clock::now();
            int failures = 0;
            for (int i = 0; i < count; ++i) {
                failures += body("f" + std::to_string(i)) ? 0 : 1;
            }
            double total = Seconds(begin);
            std::printf("%-10s %5d x: %7.3f s total, %6.3f ms each%s\n", name, count, total, total * 1e3 / count,
                        failures ? " (with failures)" : "");
        };
        phase("upload",
              [&](const std::string& name) { return connection->PutFile(local, name, kestrum::TransferType::Binary); });
        auto begin = Clock::now();
        auto listing = connection->List("");
        std::printf("list of %zu entries: %.2f ms\n", listing.entries.size(), Seconds(begin) * 1e3);
        phase("lookup",
              [&](const std::string& name) { return connection->Lookup(name).status == kestrum::ListStatus::Ok; });
        phase("download", [&](const std::string& name) {
            return connection->GetFile(name, localDir + "/bench-download.txt", kestrum::TransferType::Binary);
        });
        phase("delete", [&](const std::string& name) { return connection->Remove(name); });
        connection->SetCurrentDirectory("..");
        connection->RemoveDirectory(dir);
        connection->Close();
    } catch (const kestrum::FtpError& error) {
        std::fprintf(stderr, "FTP error: %s\n", error.what());
        return 1;
    }
    return 0;
}
