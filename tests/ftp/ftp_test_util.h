#pragma once
// Helpers shared by the FTP layer tests.

#include <dirent.h>

#include <memory>
#include <string>
#include <vector>

#include "ftp/ftp_client.h"
#include "tests/support/ftp_server.h"

namespace kestrum::test {

inline FtpConnectParams ParamsFor(const TestFtpServer& server, bool passive = false) {
    FtpConnectParams params;
    params.host = server.hostWithPort();
    params.user = server.options().user;
    params.password = server.options().password;
    params.passive = passive;
    return params;
}

inline std::unique_ptr<FtpConnection> ConnectTo(const TestFtpServer& server, bool passive = false) {
    return MakeCurlFtpFactory()->Connect(ParamsFor(server, passive));
}

// Names in a local directory (without "." and "..").
inline std::vector<std::string> NamesIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    return names;
}

inline const FtpEntry* FindEntry(const FtpListing& listing, const std::string& name) {
    for (const auto& entry : listing.entries) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace kestrum::test
