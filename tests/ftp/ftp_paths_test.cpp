// Server paths, URL segments, HOST texts and reply lines; no server needed.

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

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

TEST(FtpPathsTest, HostTexts) {
    for (const auto& [text, urlHost, port] : std::vector<std::tuple<const char*, const char*, int>>{
             {"ftp.example.com", "ftp.example.com", 0},
             {"127.0.0.1:2121", "127.0.0.1", 2121},
             {"[::1]:65535", "[::1]", 65535},
             {"[fe80::1]", "[fe80::1]", 0},
             {"2001:db8::7", "[2001:db8::7]", 0},
             {"\xe4\xbe\x8b\xe3\x81\x88.jp:21", "xn--r8jz45g.jp", 21},
             {"B\xc3\xbc"
              "cher.example",
              "xn--bcher-kva.example", 0},
             // Full-width letters map to ASCII.
             {"\xef\xbd\x8c\xef\xbd\x8f\xef\xbd\x83\xef\xbd\x81\xef\xbd\x8c\xef\xbd\x88\xef\xbd\x8f\xef\xbd\x93\xef\xbd"
              "\x94",
              "localhost", 0}}) {
        const auto host = ParseFtpHost(text);
        ASSERT_TRUE(host) << text;
        EXPECT_EQ(host->urlHost, urlHost) << text;
        EXPECT_EQ(host->port, port) << text;
    }
    for (const char* bad :
         {"", ":21", "host:", "host:0", "host:65536", "host:123456", "host:2x", "a b", "a/b", "user@host", "host#x",
          "host?x", "[::1", "[::1]21", "[::1]:", "[]:21", "[g::1]", "[::1%eth0]:21", "\xff\xfe.jp"})
        EXPECT_FALSE(ParseFtpHost(bad).has_value()) << bad;
}

TEST(FtpPathsTest, ReplyLines) {
    for (const auto& [line, code, multi] :
         std::vector<std::tuple<const char*, int, bool>>{{"226 Transfer complete.", 226, false},
                                                         {"211-Features supported:", 211, true},
                                                         {"550", 550, false},
                                                         {" MLST type*;size*;", 0, false},
                                                         {"12 short", 0, false},
                                                         {"2500 too long", 0, false},
                                                         {"", 0, false}}) {
        bool readMulti = !multi;
        EXPECT_EQ(FtpReplyCode(line, &readMulti), code) << line;
        EXPECT_TRUE(code == 0 || readMulti == multi) << line;
    }
}

TEST(FtpPathsTest, NamesSafeAsListArguments) {
    for (const char* safe : {"a.txt", "hash#tag", "per%41cent", "semi;type=a", "\xe6\x97\xa5.txt", "x-y"})
        EXPECT_TRUE(SafeAsListArgument(safe)) << safe;
    for (const char* unsafe :
         {"", "-l", ".hidden", "with space", "tab\there", "star*", "q?", "[x]", "{a,b}", "~user", "back\\slash"})
        EXPECT_FALSE(SafeAsListArgument(unsafe)) << unsafe;
}

}  // namespace
}  // namespace kestrum
