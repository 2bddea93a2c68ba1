// The numbers the FTP layer reads from reply texts: the size a download's
// opening reply announces and the port of an EPSV reply.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "ftp/ftp_paths.h"

namespace kestrum {
namespace {

TEST(FtpHelpers, AnnouncedSize) {
    for (const auto& [reply, size] : std::vector<std::pair<const char*, int64_t>>{
             {"150 Opening BINARY mode data connection for a (1) (1234 bytes).", 1234},
             {"150 Opening data connection for empty.bin (0 bytes)", 0},
             {"150 (922337203685477580 bytes)", 922337203685477580}})
        EXPECT_EQ(AnnouncedSize(reply), size) << reply;
    for (const char* reply : {"150 File status okay; about to open data connection.",
                              "150 Opening data connection for a (1234 bytes) (binary)", "150 (1234)", "150 ( bytes)",
                              "150 (-5 bytes)", "150 (12 34 bytes)", "150 (99999999999999999999 bytes)"})
        EXPECT_EQ(AnnouncedSize(reply), -1) << reply;
}

TEST(FtpHelpers, EpsvPort) {
    for (const auto& [reply, port] :
         std::vector<std::pair<const char*, int>>{{"229 Entering Extended Passive Mode (|||6446|)", 6446},
                                                  {"229 Entering Extended Passive Mode (!!!2121!).", 2121},
                                                  {"229 (|||1|)", 1},
                                                  {"229 (|||65535|)", 65535}})
        EXPECT_EQ(EpsvPort(reply), port) << reply;
    for (const char* reply : {"229 (|||0|)", "229 (|||65536|)", "229 (|||999999|)", "229 (|||99999999999999999999|)",
                              "229 (|||-1|)", "229 (|!|6446|)", "229 (|||6446!)", "229 (|2|::1|6446|)", "229 (||6446|)",
                              "229 (|||)", "229 (|||6446", "229 Entering Extended Passive Mode |||6446|", ""})
        EXPECT_EQ(EpsvPort(reply), std::nullopt) << reply;
}

}  // namespace
}  // namespace kestrum
