// Server paths, URL segments, HOST texts and reply lines; no server needed.

#include <gtest/gtest.h>

#include "ftp/ftp_client.h"
#include "ftp/ftp_paths.h"

namespace kestrum {
namespace {

TEST(FtpPathsTest, NormaliseResolvesAgainstTheCurrentDirectory) {
    EXPECT_EQ(NormaliseServerPath("/", ""), "/");
    EXPECT_EQ(NormaliseServerPath("/home/u", ""), "/home/u");
    EXPECT_EQ(NormaliseServerPath("/home/u", "a/b"), "/home/u/a/b");
    EXPECT_EQ(NormaliseServerPath("/home/u", "/a//b/"), "/a/b");
    EXPECT_EQ(NormaliseServerPath("/home/u", "./a/./b/."), "/home/u/a/b");
    EXPECT_EQ(NormaliseServerPath("/home/u", "../x"), "/home/x");
    EXPECT_EQ(NormaliseServerPath("/home/u", "../../../.."), "/");
    EXPECT_EQ(NormaliseServerPath("/", "/../etc"), "/etc");
    // Segments that only look special stay as they are.
    EXPECT_EQ(NormaliseServerPath("/", "...//..a/b.."), "/.../..a/b..");
    EXPECT_EQ(NormaliseServerPath("/", "a\\..\\b"), "/a\\..\\b");
    EXPECT_EQ(NormaliseServerPath("/d", " lead/trail "), "/d/ lead/trail ");

    EXPECT_EQ(ServerParentOf("/a/b"), "/a");
    EXPECT_EQ(ServerParentOf("/a"), "/");
    EXPECT_EQ(ServerParentOf("/"), "/");
    EXPECT_EQ(ServerBaseNameOf("/a/b c"), "b c");
    EXPECT_EQ(ServerBaseNameOf("/a"), "a");
}

TEST(FtpPathsTest, UrlSegmentsEncodeEveryByteButUnreserved) {
    EXPECT_EQ(EncodeUrlSegment("Az09-._~"), "Az09-._~");
    EXPECT_EQ(EncodeUrlSegment("a b#c?d;type=a%41"), "a%20b%23c%3Fd%3Btype%3Da%2541");
    EXPECT_EQ(EncodeUrlSegment("/\\"), "%2F%5C");
    EXPECT_EQ(EncodeUrlSegment("\xe6\x97\xa5"), "%E6%97%A5");
    EXPECT_EQ(EncodeUrlSegment(std::string_view("\0\xff", 2)), "%00%FF");
}

TEST(FtpPathsTest, HostTexts) {
    auto plain = ParseFtpHost("ftp.example.com");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->urlHost, "ftp.example.com");
    EXPECT_EQ(plain->port, 0);
    auto withPort = ParseFtpHost("127.0.0.1:2121");
    ASSERT_TRUE(withPort);
    EXPECT_EQ(withPort->urlHost, "127.0.0.1");
    EXPECT_EQ(withPort->port, 2121);
    auto v6 = ParseFtpHost("[::1]:65535");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->urlHost, "[::1]");
    EXPECT_EQ(v6->port, 65535);
    auto v6NoPort = ParseFtpHost("[fe80::1]");
    ASSERT_TRUE(v6NoPort);
    EXPECT_EQ(v6NoPort->port, 0);
    auto bareV6 = ParseFtpHost("2001:db8::7");
    ASSERT_TRUE(bareV6);
    EXPECT_EQ(bareV6->urlHost, "[2001:db8::7]");
    EXPECT_EQ(bareV6->port, 0);
    auto idn = ParseFtpHost("\xe4\xbe\x8b\xe3\x81\x88.jp:21");
    ASSERT_TRUE(idn);
    EXPECT_EQ(idn->port, 21);

    for (const char* bad :
         {"", ":21", "host:", "host:0", "host:65536", "host:123456", "host:2x", "a b", "a/b", "user@host", "host#x",
          "host?x", "[::1", "[::1]21", "[::1]:", "[]:21", "[g::1]", "[::1%eth0]:21"}) {
        EXPECT_FALSE(ParseFtpHost(bad).has_value()) << bad;
    }
}

TEST(FtpPathsTest, ReplyLines) {
    bool multi = true;
    EXPECT_EQ(FtpReplyCode("226 Transfer complete.", &multi), 226);
    EXPECT_FALSE(multi);
    EXPECT_EQ(FtpReplyCode("211-Features supported:", &multi), 211);
    EXPECT_TRUE(multi);
    EXPECT_EQ(FtpReplyCode("550", &multi), 550);
    EXPECT_FALSE(multi);
    EXPECT_EQ(FtpReplyCode(" MLST type*;size*;", &multi), 0);
    EXPECT_EQ(FtpReplyCode("12 short", &multi), 0);
    EXPECT_EQ(FtpReplyCode("2500 too long", &multi), 0);
    EXPECT_EQ(FtpReplyCode("", &multi), 0);
}

TEST(FtpPathsTest, NamesSafeAsListArguments) {
    for (const char* safe : {"a.txt", "hash#tag", "per%41cent", "semi;type=a", "\xe6\x97\xa5.txt", "x-y"}) {
        EXPECT_TRUE(SafeAsListArgument(safe)) << safe;
    }
    for (const char* unsafe :
         {"", "-l", ".hidden", "with space", "tab\there", "star*", "q?", "[x]", "{a,b}", "~user", "back\\slash"}) {
        EXPECT_FALSE(SafeAsListArgument(unsafe)) << unsafe;
    }
}

TEST(FtpPathsTest, LineBreaksAndNulAreFound) {
    EXPECT_FALSE(HasLineBreakOrNul("plain name \xe6\x97\xa5"));
    EXPECT_TRUE(HasLineBreakOrNul("a\rb"));
    EXPECT_TRUE(HasLineBreakOrNul("a\nb"));
    EXPECT_TRUE(HasLineBreakOrNul(std::string("a\0b", 3)));
    EXPECT_TRUE(HasLineBreakOrNul("end\n"));
}

}  // namespace
}  // namespace kestrum
