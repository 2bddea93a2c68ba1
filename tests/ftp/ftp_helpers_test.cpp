// The numbers the FTP layer reads from reply texts: the size a download's
// opening reply announces and the port of an EPSV reply.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "ftp/ftp_paths.h"

namespace kestrum {
namespace {

TEST(FtpHelpers, AnnouncedSize) {
    const struct {
        const char* reply;
        int64_t size;
    } cases[] = {
        {"150 Opening BINARY mode data connection for a (1) (1234 bytes).", 1234},
        {"150 Opening data connection for empty.bin (0 bytes)", 0},
        {"150 (922337203685477580 bytes)", 922337203685477580},
        {"150 File status okay; about to open data connection.", -1},
        {"150 Opening data connection for a (1234 bytes) (binary)", -1},
        {"150 (1234)", -1},
        {"150 ( bytes)", -1},
        {"150 (-5 bytes)", -1},
        {"150 (12 34 bytes)", -1},
        {"150 (99999999999999999999 bytes)", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AnnouncedSize(c.reply), c.size) << c.reply;
}

TEST(FtpHelpers, EpsvPort) {
    const struct {
        const char* reply;
        std::optional<int> port;
    } cases[] = {
        {"229 Entering Extended Passive Mode (|||6446|)", 6446},
        {"229 Entering Extended Passive Mode (!!!2121!).", 2121},
        {"229 (|||1|)", 1},
        {"229 (|||65535|)", 65535},
        {"229 (|||0|)", std::nullopt},
        {"229 (|||65536|)", std::nullopt},
        {"229 (|||999999|)", std::nullopt},
        {"229 (|||99999999999999999999|)", std::nullopt},
        {"229 (|||-1|)", std::nullopt},
        {"229 (|!|6446|)", std::nullopt},
        {"229 (|||6446!)", std::nullopt},
        {"229 (|2|::1|6446|)", std::nullopt},
        {"229 (||6446|)", std::nullopt},
        {"229 (|||)", std::nullopt},
        {"229 (|||6446", std::nullopt},
        {"229 Entering Extended Passive Mode |||6446|", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EpsvPort(c.reply), c.port) << c.reply;
}

}  // namespace
}  // namespace kestrum
