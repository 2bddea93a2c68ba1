#pragma once
// Helpers shared by the FTP layer tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ftp/ftp_client.h"
#include "tests/support/ftp_server.h"

namespace kestrum::test {

inline FtpConnectParams ParamsFor(const TestFtpServer& server, bool passive = false) {
    return {.host = server.hostWithPort(),
            .user = server.options().user,
            .password = server.options().password,
            .passive = passive};
}

inline std::unique_ptr<FtpConnection> ConnectTo(const TestFtpServer& server, bool passive = false) {
    return MakeFtpFactory()->Connect(ParamsFor(server, passive));
}

// Names in a local directory (without "." and ".."), sorted.
inline std::vector<std::string> NamesIn(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

inline const FtpEntry* FindEntry(const FtpListing& listing, const std::string& name) {
    for (const auto& entry : listing.entries)
        if (entry.name == name)
            return &entry;
    return nullptr;
}

// The one entry a lookup of path gives (a failure, and an empty entry, when it gives none).
inline FtpEntry LookedUp(FtpConnection& connection, const std::string& path) {
    const FtpListing listing = connection.Lookup(path);
    EXPECT_EQ(listing.status, ListStatus::Ok) << path << ": " << listing.error;
    EXPECT_EQ(listing.entries.size(), 1u) << path;
    return listing.entries.empty() ? FtpEntry{} : listing.entries[0];
}

inline std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

}  // namespace kestrum::test
