// SFTP packets as a server sends them: whole, split across reads, or malformed.
#include <gtest/gtest.h>

#include "sftp/sftp_packets.h"

namespace kestrum::sftp {
namespace {

// A reply body as a server writes it: a Writer's packet without its length.
std::string Body(const Writer& writer) {
    return writer.Bytes().substr(4);
}

TEST(SftpPacketsTest, RepliesAreReadAndMalformedOnesRefused) {
    Attributes file;
    file.size = 5'000'000'000;  // beyond 32 bits
    file.permissions = 0100644;
    file.atime = 1;
    file.mtime = 1'700'000'000;
    const std::optional<Reply> name = ParseReply(Body(Writer(Type::Name, 7)
                                                          .U32(2)
                                                          .Str("a b")
                                                          .Str("-rw-r--r-- ...")
                                                          .Attrs(file)
                                                          .Str("d")
                                                          .Str("")
                                                          .U32(0x4 | 0x80000000)
                                                          .U32(040755)
                                                          .U32(1)
                                                          .Str("ext")
                                                          .Str("data")));
    ASSERT_TRUE(name);
    EXPECT_EQ(name->id, 7U);
    ASSERT_EQ(name->names.size(), 2U);
    EXPECT_EQ(name->names[0].name, "a b");
    EXPECT_EQ(name->names[0].attributes.size, 5'000'000'000U);
    EXPECT_EQ(name->names[0].attributes.mtime, 1'700'000'000U);
    EXPECT_TRUE(name->names[0].attributes.IsRegular());
    EXPECT_TRUE(name->names[1].attributes.IsDirectory());
    EXPECT_FALSE(name->names[1].attributes.mtime);

    const std::optional<Reply> status = ParseReply(Body(Writer(Type::Status, 9).U32(2).Str("No such file").Str("")));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, Code::NoSuchFile);
    EXPECT_EQ(status->message, "No such file");
    // A status without its message (some servers end the packet there).
    EXPECT_TRUE(ParseReply(Body(Writer(Type::Status, 9).U32(0))));

    for (const std::string& bad : {Body(Writer(Type::Name, 1).U32(1).Str("x")),    // no attributes
                                   Body(Writer(Type::Handle, 1).U32(10).Str("")),  // handle shorter than said
                                   Body(Writer(Type::Write, 1)),                   // not a reply
                                   std::string("\x65\x00", 2)})                    // no id
        EXPECT_FALSE(ParseReply(bad)) << testing::PrintToString(bad);
}

TEST(SftpPacketsTest, PacketsAreCutFromWhatArrives) {
    const std::string one = Writer(Type::Handle, 1).Str("h1").Bytes();
    const std::string two = Writer(Type::Handle, 2).Str("h2").Bytes();
    std::string arrived = one + two.substr(0, 3);
    bool tooLong = false;
    EXPECT_EQ(NextPacket(arrived, 1024, tooLong), one.substr(4));
    EXPECT_FALSE(NextPacket(arrived, 1024, tooLong));  // the second is not whole yet
    arrived += two.substr(3);
    EXPECT_EQ(NextPacket(arrived, 1024, tooLong), two.substr(4));
    EXPECT_TRUE(arrived.empty());

    arrived = std::string("\x00\x10\x00\x00", 4);  // 1 MiB announced
    EXPECT_FALSE(NextPacket(arrived, 256 * 1024, tooLong));
    EXPECT_TRUE(tooLong);
}

}  // namespace
}  // namespace kestrum::sftp
