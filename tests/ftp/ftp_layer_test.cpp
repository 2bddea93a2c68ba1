// The FTP layer against the real test server, in active and passive mode and
// with and without MLSD/MLST.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <thread>
#include <tuple>

#include "ftp/ftp_client.h"
#include "tests/ftp/ftp_test_util.h"
#include "tests/support/ftp_server.h"
#include "tests/support/process.h"

namespace kestrum::test {
namespace {

namespace fs = std::filesystem;

struct Mode {
    bool passive;
    bool mlsd;
};

class FtpLayerTest : public ::testing::TestWithParam<Mode> {
  protected:
    void SetUp() override {
        server_ = std::make_unique<TestFtpServer>(FtpServerOptions{.mlsd = GetParam().mlsd});
        connection_ = ConnectTo(*server_, GetParam().passive);
    }

    std::string OnServer(const std::string& rel) const { return server_->home() + "/" + rel; }

    // What a LIST line shows of a time: minutes for recent files, days for old ones.
    int64_t AsListed(int64_t mtime) const {
        if (GetParam().mlsd) {
            return mtime;
        }
        bool old = std::time(nullptr) - mtime > 180 * 86400;
        return old ? mtime - mtime % 86400 : mtime - mtime % 60;
    }

    std::unique_ptr<TestFtpServer> server_;
    std::unique_ptr<FtpConnection> connection_;
    TempDir local_;
};

TEST_P(FtpLayerTest, DirectoriesAreEnteredCreatedAndRemoved) {
    fs::create_directories(OnServer("a/b c/d"));
    WriteFile(OnServer("a/file"), "x");
    auto& c = *connection_;
    EXPECT_EQ(c.CurrentDirectory(), "/");
    const auto go = [&](const char* to, bool ok, const char* now) {
        EXPECT_EQ(c.SetCurrentDirectory(to), ok) << to;
        EXPECT_EQ(c.CurrentDirectory(), now) << to;
    };
    go("/a", true, "/a");
    go("b c", true, "/a/b c");
    go("d/", true, "/a/b c/d");
    go("../..", true, "/a");
    go("/a", true, "/a");  // the same directory again: checked on the server, not taken from a cache
    // Missing directories and files are refused and the current directory stays.
    go("missing", false, "/a");
    go("/missing/deeper", false, "/a");
    EXPECT_NE(c.LastError().find("550"), std::string::npos) << c.LastError();
    go("file", false, "/a");

    // The directory the connection is in, removed: entering it again must fail
    // even though the connection was in it.
    go("/a/b c/d", true, "/a/b c/d");
    EXPECT_TRUE(c.RemoveDirectory("/a/b c/d"));
    EXPECT_FALSE(fs::exists(OnServer("a/b c/d")));
    go("/a/b c/d", false, "/a/b c/d");
    go("/", true, "/");
    go("..", true, "/");  // above the root stays at the root

    EXPECT_TRUE(c.CreateDirectory("new"));
    EXPECT_FALSE(c.CreateDirectory("new"));  // exists already
    EXPECT_FALSE(c.CreateDirectory("no/such/parent"));

    // Relative paths resolve against the current directory.
    ASSERT_TRUE(c.SetCurrentDirectory("new"));
    EXPECT_TRUE(c.CreateDirectory("inner"));
    EXPECT_TRUE(fs::is_directory(OnServer("new/inner")));
    WriteFile(OnServer("new/inner/f.txt"), "data");
    EXPECT_FALSE(c.RemoveDirectory("inner"));  // not empty
    EXPECT_TRUE(c.Remove("inner/f.txt"));
    EXPECT_FALSE(c.Remove("inner/f.txt"));  // already gone
    EXPECT_TRUE(c.RemoveDirectory("/new/inner"));
    EXPECT_FALSE(c.RemoveDirectory("inner"));

    // Removing the directory the connection is in, then working elsewhere.
    EXPECT_TRUE(c.RemoveDirectory("/new"));
    EXPECT_FALSE(fs::exists(OnServer("new")));
    EXPECT_TRUE(c.SetCurrentDirectory("/"));
    EXPECT_TRUE(c.CreateDirectory("again"));
    EXPECT_TRUE(fs::is_directory(OnServer("again")));
}

TEST_P(FtpLayerTest, BinaryTransfersKeepEveryByte) {
    std::string content;
    for (int i = 0; i < 256; ++i)
        content += static_cast<char>(i);
    content += "\r\n\n\r\r\n";
    const std::string big = RandomBytes(3 * 1024 * 1024 + 17, 42);
    fs::create_directory(OnServer("dir"));
    auto& c = *connection_;
    // Relative and absolute targets; the last one replaces a server file.
    const std::pair<std::string, std::string> uploads[] = {{"dir/bytes.bin", content},
                                                           {"/dir/big.bin", big},
                                                           {"dir/empty", ""},
                                                           {"dir/short", big},
                                                           {"dir/short", "short"}};
    for (const auto& [target, data] : uploads) {
        WriteFile(local_ / "up", data);
        ASSERT_TRUE(c.PutFile(local_ / "up", target, TransferType::Binary)) << c.LastError();
        EXPECT_TRUE(ReadFile(OnServer(target)) == data) << target;
    }
    EXPECT_NE(server_->commandLog().find("TYPE I"), std::string::npos);

    ASSERT_TRUE(c.SetCurrentDirectory("dir"));
    WriteFile(local_ / "down/replaced", "old content that is longer than the new one");
    fs::permissions(local_ / "down/replaced", static_cast<fs::perms>(0751));  // a replaced file keeps its mode
    WriteFile(local_ / "down/real", "old");
    fs::create_symlink("real", local_ / "down/link");  // the file linked to gets the content, the link stays
    const std::tuple<std::string, std::string, std::string> downloads[] = {{"bytes.bin", "bytes.bin", content},
                                                                           {"/dir/empty", "replaced", ""},
                                                                           {"big.bin", "big.bin", big},
                                                                           {"bytes.bin", "link", content}};
    for (const auto& [from, to, data] : downloads) {
        ASSERT_TRUE(c.GetFile(from, local_ / ("down/" + to), TransferType::Binary)) << c.LastError();
        EXPECT_TRUE(ReadFile(local_ / ("down/" + to)) == data) << to;
    }
    EXPECT_EQ(fs::status(local_ / "down/replaced").permissions(), static_cast<fs::perms>(0751));
    EXPECT_TRUE(fs::is_symlink(local_ / "down/link"));
    EXPECT_EQ(ReadFile(local_ / "down/real"), content);
    // Nothing but the downloaded files is left beside them.
    EXPECT_EQ(NamesIn(local_ / "down"), (std::vector<std::string>{"big.bin", "bytes.bin", "link", "real", "replaced"}));
}

TEST_P(FtpLayerTest, TransferRefusalsLeaveEverythingInPlace) {
    auto& c = *connection_;
    WriteFile(local_ / "target", "precious");
    WriteFile(OnServer("there.txt"), "there");
    // Missing server files, and a local directory that does not exist (the layer does not create it).
    for (const auto& [from, to, type] : std::vector<std::tuple<std::string, std::string, TransferType>>{
             {"missing.txt", "target", TransferType::Binary},
             {"/missing/dir/file", "target", TransferType::Ascii},
             {"there.txt", "no/such/dir/there.txt", TransferType::Binary}}) {
        EXPECT_FALSE(c.GetFile(from, local_ / to, type)) << from;
        EXPECT_FALSE(c.LastError().empty()) << from;
    }
    EXPECT_EQ(ReadFile(local_ / "target"), "precious");
    EXPECT_EQ(NamesIn(local_.path()), std::vector<std::string>{"target"});

    // A local file that cannot be read, or is a directory: nothing is stored.
    EXPECT_FALSE(c.PutFile(local_ / "does-not-exist", "x.txt", TransferType::Binary));
    EXPECT_NE(c.LastError().find("does-not-exist"), std::string::npos);
    fs::create_directory(local_ / "a-dir");
    EXPECT_FALSE(c.PutFile(local_ / "a-dir", "x.txt", TransferType::Binary));
    if (geteuid() != 0) {
        WriteFile(local_ / "locked", "x");
        chmod((local_ / "locked").c_str(), 0);
        EXPECT_FALSE(c.PutFile(local_ / "locked", "x.txt", TransferType::Binary));
    }
    EXPECT_FALSE(fs::exists(OnServer("x.txt")));
    EXPECT_EQ(server_->countCommands("STOR"), 0);
    // The root itself is no file name; a server directory that does not exist.
    for (const char* target : {"/", "no/such/dir/x.txt"}) {
        EXPECT_FALSE(c.PutFile(local_ / "target", target, TransferType::Binary)) << target;
        EXPECT_FALSE(c.LastError().empty()) << target;
    }
    // The connection is still good.
    EXPECT_TRUE(c.GetFile("there.txt", local_ / "there.txt", TransferType::Binary)) << c.LastError();
    EXPECT_EQ(ReadFile(local_ / "there.txt"), "there");
}

TEST_P(FtpLayerTest, AsciiTransfersNeverDoubleCarriageReturns) {
    auto& c = *connection_;
    // Many CR LF pairs so that some fall across the reader's buffer boundaries.
    std::string manyLf, manyCrLf;
    for (int i = 0; i < 40000; ++i) {
        const std::string line = "line " + std::to_string(i) + std::string(i % 7, 'x');
        manyLf += line + "\n";
        manyCrLf += line + "\r\n";
    }
    // The wire carries CR LF; this Unix server stores LF. A doubled CR would
    // arrive as a stray CR on the server's disk. (pyftpdlib drops a CR that
    // ends a file in ASCII mode, so none is last here.)
    for (const auto& [name, content, stored] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"crlf.txt", "one\r\ntwo\r\n\r\nthree", "one\ntwo\n\nthree"},
             {"lf.txt", "one\ntwo\n\nthree\n", "one\ntwo\n\nthree\n"},
             {"cr.txt", "lone\rcarriage\r\rreturns", "lone\rcarriage\r\rreturns"},
             {"many.txt", manyCrLf, manyLf}}) {
        WriteFile(local_ / name, content);
        ASSERT_TRUE(c.PutFile(local_ / name, name, TransferType::Ascii)) << c.LastError();
        EXPECT_TRUE(ReadFile(OnServer(name)) == stored) << name;
    }
    const std::string log = server_->commandLog();
    ASSERT_NE(log.find("TYPE A"), std::string::npos) << log;
    EXPECT_LT(log.find("TYPE A"), log.find("STOR crlf.txt"));

    // Downloads in ASCII mode give LF line ends.
    for (const std::string name : {"lf.txt", "many.txt"}) {
        ASSERT_TRUE(c.GetFile(name, local_ / "down", TransferType::Ascii)) << c.LastError();
        EXPECT_TRUE(ReadFile(local_ / "down") == ReadFile(OnServer(name))) << name;
    }
    // The same file in binary mode is left alone.
    ASSERT_TRUE(c.PutFile(local_ / "crlf.txt", "crlf-bin.txt", TransferType::Binary));
    EXPECT_EQ(ReadFile(OnServer("crlf-bin.txt")), "one\r\ntwo\r\n\r\nthree");
    ASSERT_TRUE(c.GetFile("crlf-bin.txt", local_ / "crlf-bin.txt", TransferType::Binary));
    EXPECT_EQ(ReadFile(local_ / "crlf-bin.txt"), "one\r\ntwo\r\n\r\nthree");
}

TEST_P(FtpLayerTest, ListingAndLookup) {
    const int64_t old = 1589723131;  // 2020-05-17 13:45:31 UTC
    WriteFile(OnServer("top/file.txt"), "12345", std::time(nullptr) - 3600 - 17);
    WriteFile(OnServer("top/.hidden"), "h", old);
    fs::create_directories(OnServer("top/empty"));
    WriteFile(OnServer("top/sub dir/deep.bin"), std::string(70000, 'z'), old);
    const timespec times[2] = {{static_cast<time_t>(old), 0}, {static_cast<time_t>(old), 0}};
    utimensat(AT_FDCWD, OnServer("top/sub dir").c_str(), times, 0);

    auto& c = *connection_;
    const FtpListing top = c.List("/top");
    ASSERT_EQ(top.status, ListStatus::Ok) << top.error;
    EXPECT_EQ(top.entries.size(), 4u);
    // The current directory, relative paths, an empty directory, a missing one.
    ASSERT_TRUE(c.SetCurrentDirectory("top"));
    EXPECT_EQ(c.List("").entries.size(), 4u);
    const FtpListing deep = c.List("sub dir");
    EXPECT_EQ(deep.entries.size(), 1u);
    const FtpListing empty = c.List("empty");
    EXPECT_EQ(empty.status, ListStatus::Ok);
    EXPECT_TRUE(empty.entries.empty());
    const FtpListing missing = c.List("nothing here");
    EXPECT_TRUE(missing.status == ListStatus::Missing && !missing.error.empty()) << missing.error;
    EXPECT_EQ(c.List("/top/nothing/deeper").status, ListStatus::Missing);

    // Each entry as its directory's listing and a lookup of its own path give it
    // (a recent time to the minute, an old one to the day in a LIST line).
    for (const auto& [in, path, name, dir, size] :
         std::vector<std::tuple<const FtpListing*, std::string, std::string, bool, int64_t>>{
             {&top, "file.txt", "file.txt", false, 5},
             {&top, ".hidden", ".hidden", false, 1},
             {&top, "/top/sub dir", "sub dir", true, -1},
             {&top, "empty", "empty", true, -1},
             {&deep, "sub dir/deep.bin", "deep.bin", false, 70000}}) {
        SCOPED_TRACE(path);
        const FtpEntry* listed = FindEntry(*in, name);
        ASSERT_NE(listed, nullptr);
        for (const FtpEntry& entry : {*listed, LookedUp(c, path)}) {
            EXPECT_EQ(entry.name, name);
            EXPECT_EQ(entry.isDirectory, dir);
            EXPECT_EQ(entry.hidden, name[0] == '.');
            EXPECT_TRUE(dir || entry.size == size) << entry.size;
            EXPECT_EQ(entry.lastWriteTime,
                      AsListed(FileMtime(OnServer(path[0] == '/' ? path.substr(1) : "top/" + path))));
        }
    }
    if (!GetParam().mlsd) {
        // A plain file is found by "LIST name", without listing its whole directory.
        const int lists = server_->countCommands("LIST"), named = server_->countCommands("LIST file.txt");
        LookedUp(c, "file.txt");
        EXPECT_EQ(server_->countCommands("LIST"), lists + 1);
        EXPECT_EQ(server_->countCommands("LIST file.txt"), named + 1);
    }
    EXPECT_EQ(c.Lookup("missing.txt").status, ListStatus::Missing);
    EXPECT_EQ(c.Lookup("/no/such/dir/file").status, ListStatus::Missing);
    EXPECT_EQ(c.Lookup("/").status, ListStatus::Ok);
    EXPECT_EQ(c.CurrentDirectory(), "/top");  // looking up does not move the current directory

    // A file uploaded now lists with the time the server gave it.
    WriteFile(local_ / "new.txt", "new");
    const int64_t before = std::time(nullptr);
    ASSERT_TRUE(c.PutFile(local_ / "new.txt", "new.txt", TransferType::Binary));
    const int64_t stamped = LookedUp(c, "new.txt").lastWriteTime;
    EXPECT_EQ(stamped, AsListed(FileMtime(OnServer("top/new.txt"))));
    EXPECT_GE(stamped, AsListed(before));
}

TEST_P(FtpLayerTest, AwkwardNamesTravelIntact) {
    const std::string japanese = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe5\x90\x8d\xe5\x89\x8d.txt";
    const std::vector<std::string> names = {
        "with space.txt",   "hash#tag", "per%41cent",           "semi;type=a",     "-leading-dash",
        "question?mark",    japanese,   "  two leading spaces", "trailing space ", "quote\"and'apostrophe",
        "star*and[bracket]"};
    const std::string dirName = "d\xc3\xa9j\xc3\xa0 vu #1";  // déjà vu #1
    auto& c = *connection_;
    ASSERT_TRUE(c.CreateDirectory(dirName)) << c.LastError();
    ASSERT_TRUE(c.SetCurrentDirectory(dirName)) << c.LastError();
    std::vector<std::string> expected, listed;
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        WriteFile(local_ / "up", "content of " + name);
        ASSERT_TRUE(c.PutFile(local_ / "up", name, TransferType::Binary)) << c.LastError();
        EXPECT_EQ(LookedUp(c, name).name, name);
        ASSERT_TRUE(c.GetFile("/" + dirName + "/" + name, local_ / "down", TransferType::Binary)) << c.LastError();
        EXPECT_EQ(ReadFile(local_ / "down"), "content of " + name);
        ASSERT_TRUE(c.CreateDirectory(name + ".d")) << c.LastError();
        expected.insert(expected.end(), {name, name + ".d/"});
    }
    for (const auto& entry : c.List("").entries)  // directories with a "/"
        listed.push_back(entry.name + (entry.isDirectory ? "/" : ""));
    std::sort(expected.begin(), expected.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, expected);
    for (const auto& name : names) {
        EXPECT_TRUE(c.Remove(name)) << name;
        EXPECT_TRUE(c.RemoveDirectory(name + ".d")) << name;
    }
    EXPECT_TRUE(fs::is_empty(OnServer(dirName)));
}

TEST_P(FtpLayerTest, OneLoginServesTheWholeRun) {
    auto& c = *connection_;
    WriteFile(local_ / "f", "f");
    for (int i = 0; i < 20; ++i) {
        std::string dir = "d" + std::to_string(i % 4);
        c.CreateDirectory(dir);
        ASSERT_TRUE(c.PutFile(local_ / "f", dir + "/f" + std::to_string(i), TransferType::Binary));
        // Refusals in between must not cost the connection.
        EXPECT_FALSE(c.SetCurrentDirectory("/missing"));
        EXPECT_EQ(c.List("/missing").status, ListStatus::Missing);
        EXPECT_EQ(c.Lookup("/missing/f").status, ListStatus::Missing);
        EXPECT_FALSE(c.GetFile(dir + "/nothing", local_ / "g", TransferType::Binary));
        EXPECT_FALSE(c.PutFile(local_ / "f", "/missing/f", TransferType::Ascii));
        EXPECT_FALSE(c.Remove("/missing/f"));
        ASSERT_TRUE(c.GetFile(dir + "/f" + std::to_string(i), local_ / "g", TransferType::Ascii));
        EXPECT_EQ(c.List(dir).status, ListStatus::Ok);
    }
    c.Close();
    EXPECT_EQ(server_->countCommands("USER"), 1);
    EXPECT_EQ(server_->countCommands("PASS"), 1);
    EXPECT_EQ(server_->connectionCount(), 1);
    // Closing again is harmless; using a closed connection is an error; QUIT goes once.
    c.Close();
    EXPECT_THROW(c.List(""), FtpError);
    connection_.reset();
    EXPECT_EQ(server_->countCommands("QUIT"), 1);
    ConnectTo(*server_).reset();  // destroying an open connection closes it too
    EXPECT_EQ(server_->countCommands("QUIT"), 2);
}

// Binary uploads in passive mode go out without waiting for STOR's opening
// reply: a refusal must still read as one, and a server without EPSV still
// gets the file.
TEST(FtpDirectUpload, RefusalsFailTheFileAndLeaveTheConnectionUsable) {
    const std::string big = RandomBytes(3 * 1024 * 1024, 7);
    TempDir local;
    WriteFile(local / "big.bin", big);
    WriteFile(local / "small.bin", "small\r\n");
    for (const auto& [refuse, from, target, stored] :
         std::vector<std::tuple<std::string, std::string, std::string, bool>>{
             {"", "small.bin", "no/such/dir/x.bin", false},
             {"", "big.bin", "missing/big.bin", false},
             {"", "big.bin", "big.bin", true},
             {"EPSV", "big.bin", "big.bin", true}}) {
        SCOPED_TRACE(target + " refusing " + refuse);
        TestFtpServer server({.refuse = refuse});
        auto connection = ConnectTo(server, true);
        ASSERT_TRUE(connection->PutFile(local / "small.bin", "first.bin", TransferType::Binary))
            << connection->LastError();
        EXPECT_EQ(connection->PutFile(local / from, target, TransferType::Binary), stored);
        EXPECT_EQ(fs::exists(server.home() + "/" + target), stored);
        EXPECT_TRUE(stored ? ReadFile(server.home() + "/" + target) == big
                           : connection->LastError().find("550") != std::string::npos)
            << connection->LastError();
        ASSERT_TRUE(connection->PutFile(local / "small.bin", "last.bin", TransferType::Binary))
            << connection->LastError();
        EXPECT_EQ(ReadFile(server.home() + "/last.bin"), "small\r\n");
        EXPECT_EQ(server.countCommands("USER"), 1);
    }
}

// A download whose server dies while the data arrives, binary and ASCII:
// the reason names a failed receive, never a failed
// send, and never quotes a reply that accepted something (the opening 150).
TEST(FtpDownload, ABrokenReceiveIsWordedAsOne) {
    for (const TransferType type : {TransferType::Binary, TransferType::Ascii}) {
        SCOPED_TRACE(type == TransferType::Binary ? "binary" : "ascii");
        TestFtpServer server({.transferBytesPerSecond = 65536});
        WriteFile(server.home() + "/big.txt", std::string(1024 * 1024, 'x'));
        TempDir local;
        auto connection = ConnectTo(server, true);
        std::string reason;
        std::thread download([&] {
            try {
                if (!connection->GetFile("big.txt", local / "big.txt", type))
                    reason = connection->LastError();
            } catch (const FtpError& e) {
                reason = e.what();
            }
        });
        const bool arriving = PollUntil([&] {
            for (const auto& e : fs::directory_iterator(local.path())) {
                if (e.is_regular_file() && e.file_size() > 0)
                    return true;
            }
            return false;
        });
        server.kill();
        download.join();
        ASSERT_TRUE(arriving);
        EXPECT_EQ(reason.find("Failed sending"), std::string::npos) << reason;
        const size_t quoted = reason.find(": ");
        EXPECT_TRUE(quoted == std::string::npos || (reason[quoted + 2] != '1' && reason[quoted + 2] != '2')) << reason;
    }
}

// A server that closed the connection while the run was busy elsewhere (a
// question on the screen, say): the next copy and listing log in again.
TEST(FtpDirectUpload, AConnectionClosedWhileIdleIsOpenedAgain) {
    TestFtpServer server({.idleTimeoutSeconds = 0.5});
    TempDir local;
    WriteFile(local / "a.bin", "a");
    auto connection = ConnectTo(server, true);
    ASSERT_TRUE(connection->PutFile(local / "a.bin", "a.bin", TransferType::Binary)) << connection->LastError();
    for (const char* name : {"b.bin", "c.bin"}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        ASSERT_TRUE(connection->PutFile(local / "a.bin", name, TransferType::Binary)) << connection->LastError();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        EXPECT_NE(FindEntry(connection->List(""), name), nullptr) << connection->LastError();
    }
    EXPECT_EQ(server.countCommands("USER"), 5);
    // Kept alive: a new login on a connection the server closed, NOOP on an open one.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_TRUE(connection->KeepAlive());
    EXPECT_TRUE(connection->KeepAlive());
    EXPECT_EQ(server.countCommands("USER"), 6) << server.commandLog();
    EXPECT_GE(server.countCommands("NOOP"), 2);
}

TEST_P(FtpLayerTest, LineBreaksAreNeverSent) {
    WriteFile(OnServer("victim"), "keep me");
    fs::create_directory(OnServer("dir"));
    WriteFile(local_ / "f", "f");
    auto& c = *connection_;
    const std::string before = server_->commandLog();
    // A break in the middle or at the end, alone or as a pair, and a NUL.
    const std::string evil[] = {"x\r\nDELE /victim", "x DELE /victim\n", "x\rDELE /victim",
                                std::string("x\0DELE /victim", 14)};
    for (const auto& name : evil) {
        EXPECT_FALSE(c.SetCurrentDirectory(name));
        EXPECT_FALSE(c.CreateDirectory(name));
        EXPECT_FALSE(c.RemoveDirectory(name));
        EXPECT_FALSE(c.Remove(name));
        EXPECT_FALSE(c.PutFile(local_ / "f", name, TransferType::Binary));
        EXPECT_FALSE(c.PutFile(local_ / "f", "dir/" + name, TransferType::Ascii));
        EXPECT_FALSE(c.GetFile(name, local_ / "g", TransferType::Binary));
        EXPECT_EQ(c.List(name).status, ListStatus::Failed);
        EXPECT_EQ(c.Lookup(name).status, ListStatus::Failed);
        EXPECT_FALSE(c.LastError().empty());
    }
    EXPECT_EQ(server_->commandLog(), before);
    EXPECT_EQ(c.CurrentDirectory(), "/");

    // Credentials with line breaks never reach the server either.
    const int connections = server_->connectionCount();
    for (const auto& bad : evil) {
        for (std::string FtpConnectParams::*field : {&FtpConnectParams::user, &FtpConnectParams::password}) {
            auto params = ParamsFor(*server_, GetParam().passive);
            params.*field += bad.substr(1);
            EXPECT_THROW(MakeFtpFactory()->Connect(params), FtpError);
        }
    }
    EXPECT_EQ(server_->connectionCount(), connections);
    EXPECT_EQ(ReadFile(OnServer("victim")), "keep me");
}

TEST_P(FtpLayerTest, HostileListingNamesAreSetAside) {
    // A Linux server can hold names that would mean a path on the local side.
    WriteFile(OnServer("list/evil\\..\\..\\outside.txt"), "x");
    WriteFile(OnServer("list/back\\slash"), "x");
    WriteFile(OnServer("list/fine.txt"), "x");
    auto& c = *connection_;
    FtpListing listing = c.List("list");
    ASSERT_EQ(listing.entries.size(), 1u);
    EXPECT_EQ(listing.entries[0].name, "fine.txt");
    std::sort(listing.rejectedNames.begin(), listing.rejectedNames.end());
    EXPECT_EQ(listing.rejectedNames, (std::vector<std::string>{"back\\slash", "evil\\..\\..\\outside.txt"}));
    const FtpListing look = c.Lookup("list/back\\slash");
    EXPECT_TRUE(look.status != ListStatus::Ok && look.entries.empty());
}

std::string ModeName(const ::testing::TestParamInfo<Mode>& info) {
    return std::string(info.param.passive ? "Passive" : "Active") + (info.param.mlsd ? "Mlsd" : "ListOnly");
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpLayerTest,
                         ::testing::Values(Mode{false, true}, Mode{true, true}, Mode{false, false}, Mode{true, false}),
                         ModeName);

}  // namespace
}  // namespace kestrum::test
