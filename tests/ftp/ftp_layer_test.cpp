// The FTP layer against the real test server, in active and passive mode and
// with and without MLSD/MLST.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <random>
#include <thread>

#include "ftp/ftp_client.h"
#include "tests/ftp/ftp_test_util.h"
#include "tests/support/ftp_server.h"

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
        FtpServerOptions options;
        options.mlsd = GetParam().mlsd;
        server_ = std::make_unique<TestFtpServer>(options);
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

TEST_P(FtpLayerTest, DirectoryChange) {
    fs::create_directories(OnServer("a/b c/d"));
    auto& c = *connection_;
    EXPECT_EQ(c.CurrentDirectory(), "/");

    EXPECT_TRUE(c.SetCurrentDirectory("/a"));
    EXPECT_EQ(c.CurrentDirectory(), "/a");
    EXPECT_TRUE(c.SetCurrentDirectory("b c"));
    EXPECT_EQ(c.CurrentDirectory(), "/a/b c");
    EXPECT_TRUE(c.SetCurrentDirectory("d/"));
    EXPECT_EQ(c.CurrentDirectory(), "/a/b c/d");
    EXPECT_TRUE(c.SetCurrentDirectory("../.."));
    EXPECT_EQ(c.CurrentDirectory(), "/a");
    // The same directory again: checked on the server, not taken from a cache.
    EXPECT_TRUE(c.SetCurrentDirectory("/a"));
    EXPECT_EQ(c.CurrentDirectory(), "/a");

    // Missing directories and files are refused and the current directory stays.
    EXPECT_FALSE(c.SetCurrentDirectory("missing"));
    EXPECT_EQ(c.CurrentDirectory(), "/a");
    EXPECT_FALSE(c.SetCurrentDirectory("/missing/deeper"));
    EXPECT_EQ(c.CurrentDirectory(), "/a");
    EXPECT_NE(c.LastError().find("550"), std::string::npos) << c.LastError();
    WriteFile(OnServer("a/file"), "x");
    EXPECT_FALSE(c.SetCurrentDirectory("file"));
    EXPECT_EQ(c.CurrentDirectory(), "/a");

    // The directory the connection is in, removed: entering it again must fail
    // even though libcurl believes it is there already.
    EXPECT_TRUE(c.SetCurrentDirectory("/a/b c/d"));
    EXPECT_TRUE(c.RemoveDirectory("/a/b c/d"));
    EXPECT_FALSE(fs::exists(OnServer("a/b c/d")));
    EXPECT_FALSE(c.SetCurrentDirectory("/a/b c/d"));
    EXPECT_EQ(c.CurrentDirectory(), "/a/b c/d");
    EXPECT_TRUE(c.SetCurrentDirectory("/"));
    EXPECT_EQ(c.CurrentDirectory(), "/");
    EXPECT_TRUE(c.SetCurrentDirectory(".."));  // above the root stays at the root
    EXPECT_EQ(c.CurrentDirectory(), "/");
}

TEST_P(FtpLayerTest, CreateRemoveAndDelete) {
    auto& c = *connection_;
    EXPECT_TRUE(c.CreateDirectory("new"));
    EXPECT_TRUE(fs::is_directory(OnServer("new")));
    EXPECT_FALSE(c.CreateDirectory("new"));  // exists already
    EXPECT_FALSE(c.CreateDirectory("no/such/parent"));

    // Relative paths resolve against the current directory.
    ASSERT_TRUE(c.SetCurrentDirectory("new"));
    EXPECT_TRUE(c.CreateDirectory("inner"));
    EXPECT_TRUE(fs::is_directory(OnServer("new/inner")));
    WriteFile(OnServer("new/inner/f.txt"), "data");
    EXPECT_FALSE(c.RemoveDirectory("inner"));  // not empty
    EXPECT_TRUE(fs::exists(OnServer("new/inner/f.txt")));
    EXPECT_TRUE(c.Remove("inner/f.txt"));
    EXPECT_FALSE(fs::exists(OnServer("new/inner/f.txt")));
    EXPECT_FALSE(c.Remove("inner/f.txt"));  // already gone
    EXPECT_TRUE(c.RemoveDirectory("/new/inner"));
    EXPECT_FALSE(fs::exists(OnServer("new/inner")));
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
    for (int i = 0; i < 256; ++i) {
        content += static_cast<char>(i);
    }
    content += "\r\n\n\r\r\n";
    std::mt19937 random(42);
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (auto& byte : big) {
        byte = static_cast<char>(random());
    }
    WriteFile(local_ / "bytes.bin", content);
    WriteFile(local_ / "big.bin", big);
    WriteFile(local_ / "empty", "");
    fs::create_directory(OnServer("dir"));

    auto& c = *connection_;
    ASSERT_TRUE(c.PutFile(local_ / "bytes.bin", "dir/bytes.bin", TransferType::Binary)) << c.LastError();
    ASSERT_TRUE(c.PutFile(local_ / "big.bin", "/dir/big.bin", TransferType::Binary)) << c.LastError();
    ASSERT_TRUE(c.PutFile(local_ / "empty", "dir/empty", TransferType::Binary)) << c.LastError();
    EXPECT_EQ(ReadFile(OnServer("dir/bytes.bin")), content);
    EXPECT_TRUE(ReadFile(OnServer("dir/big.bin")) == big);
    EXPECT_EQ(ReadFile(OnServer("dir/empty")), "");
    EXPECT_NE(server_->commandLog().find("TYPE I"), std::string::npos);

    // Overwriting a server file replaces it.
    WriteFile(local_ / "short", "short");
    ASSERT_TRUE(c.PutFile(local_ / "short", "dir/big.bin", TransferType::Binary));
    EXPECT_EQ(ReadFile(OnServer("dir/big.bin")), "short");

    ASSERT_TRUE(c.SetCurrentDirectory("dir"));
    // The local directory must exist: the layer does not create it.
    EXPECT_FALSE(c.GetFile("bytes.bin", local_ / "down/bytes.bin", TransferType::Binary));
    EXPECT_FALSE(fs::exists(local_ / "down"));
    fs::create_directory(local_ / "down");
    ASSERT_TRUE(c.GetFile("bytes.bin", local_ / "down/bytes.bin", TransferType::Binary)) << c.LastError();
    EXPECT_EQ(ReadFile(local_ / "down/bytes.bin"), content);
    WriteFile(local_ / "down/replaced", "old content that is longer than the new one");
    chmod((local_ / "down/replaced").c_str(), 0751);  // a replaced file keeps its mode
    ASSERT_TRUE(c.GetFile("/dir/empty", local_ / "down/replaced", TransferType::Binary)) << c.LastError();
    EXPECT_EQ(ReadFile(local_ / "down/replaced"), "");
    struct stat st {};
    ASSERT_EQ(stat((local_ / "down/replaced").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    WriteFile(OnServer("dir/big2.bin"), big);
    ASSERT_TRUE(c.GetFile("big2.bin", local_ / "down/big2.bin", TransferType::Binary)) << c.LastError();
    EXPECT_TRUE(ReadFile(local_ / "down/big2.bin") == big);
    // A local link to a file: the file it points to gets the content, the link stays.
    WriteFile(local_ / "down/real", "old");
    fs::create_symlink("real", local_ / "down/link");
    ASSERT_TRUE(c.GetFile("bytes.bin", local_ / "down/link", TransferType::Binary)) << c.LastError();
    EXPECT_TRUE(fs::is_symlink(local_ / "down/link"));
    EXPECT_EQ(ReadFile(local_ / "down/real"), content);
    fs::remove(local_ / "down/link");
    fs::remove(local_ / "down/real");
    // Nothing but the downloaded files is left beside them.
    auto names = NamesIn(local_ / "down");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big2.bin", "bytes.bin", "replaced"}));
}

TEST_P(FtpLayerTest, TransferRefusalsLeaveEverythingInPlace) {
    auto& c = *connection_;
    WriteFile(local_ / "target", "precious");
    EXPECT_FALSE(c.GetFile("missing.txt", local_ / "target", TransferType::Binary));
    EXPECT_FALSE(c.GetFile("/missing/dir/file", local_ / "target", TransferType::Ascii));
    EXPECT_EQ(ReadFile(local_ / "target"), "precious");
    EXPECT_EQ(NamesIn(local_.path()), std::vector<std::string>{"target"});
    EXPECT_FALSE(c.LastError().empty());

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
    // The root itself is no file name.
    EXPECT_FALSE(c.PutFile(local_ / "target", "/", TransferType::Binary));
    EXPECT_FALSE(c.LastError().empty());
    // A server directory that does not exist.
    EXPECT_FALSE(c.PutFile(local_ / "target", "no/such/dir/x.txt", TransferType::Binary));

    // A download into a local directory that does not exist.
    WriteFile(OnServer("there.txt"), "there");
    EXPECT_FALSE(c.GetFile("there.txt", local_ / "no/such/dir/there.txt", TransferType::Binary));
    EXPECT_FALSE(c.LastError().empty());
    // The connection is still good.
    EXPECT_TRUE(c.GetFile("there.txt", local_ / "there.txt", TransferType::Binary)) << c.LastError();
    EXPECT_EQ(ReadFile(local_ / "there.txt"), "there");
}

TEST_P(FtpLayerTest, AsciiTransfersNeverDoubleCarriageReturns) {
    auto& c = *connection_;
    // The wire carries CR LF; this Unix server stores LF. A doubled CR would
    // arrive as a stray CR on the server's disk.
    WriteFile(local_ / "crlf.txt", "one\r\ntwo\r\n\r\nthree");
    WriteFile(local_ / "lf.txt", "one\ntwo\n\nthree\n");
    // (pyftpdlib drops a CR that ends a file in ASCII mode, so none is last here.)
    WriteFile(local_ / "cr.txt", "lone\rcarriage\r\rreturns");
    // Many CR LF pairs so that some fall across the reader's buffer boundaries.
    std::string manyLf;
    std::string manyCrLf;
    for (int i = 0; i < 40000; ++i) {
        std::string line = "line " + std::to_string(i) + std::string(i % 7, 'x');
        manyLf += line + "\n";
        manyCrLf += line + "\r\n";
    }
    WriteFile(local_ / "many.txt", manyCrLf);

    ASSERT_TRUE(c.PutFile(local_ / "crlf.txt", "crlf.txt", TransferType::Ascii)) << c.LastError();
    ASSERT_TRUE(c.PutFile(local_ / "lf.txt", "lf.txt", TransferType::Ascii)) << c.LastError();
    ASSERT_TRUE(c.PutFile(local_ / "cr.txt", "cr.txt", TransferType::Ascii)) << c.LastError();
    ASSERT_TRUE(c.PutFile(local_ / "many.txt", "many.txt", TransferType::Ascii)) << c.LastError();
    EXPECT_EQ(ReadFile(OnServer("crlf.txt")), "one\ntwo\n\nthree");
    EXPECT_EQ(ReadFile(OnServer("lf.txt")), "one\ntwo\n\nthree\n");
    EXPECT_EQ(ReadFile(OnServer("cr.txt")), "lone\rcarriage\r\rreturns");
    EXPECT_TRUE(ReadFile(OnServer("many.txt")) == manyLf);
    std::string log = server_->commandLog();
    auto typeA = log.find("TYPE A");
    ASSERT_NE(typeA, std::string::npos) << log;
    EXPECT_LT(typeA, log.find("STOR crlf.txt"));

    // Downloads in ASCII mode give LF line ends.
    ASSERT_TRUE(c.GetFile("lf.txt", local_ / "lf-down.txt", TransferType::Ascii)) << c.LastError();
    EXPECT_EQ(ReadFile(local_ / "lf-down.txt"), "one\ntwo\n\nthree\n");
    ASSERT_TRUE(c.GetFile("many.txt", local_ / "many-down.txt", TransferType::Ascii)) << c.LastError();
    EXPECT_TRUE(ReadFile(local_ / "many-down.txt") == manyLf);
    // The same file in binary mode is left alone.
    ASSERT_TRUE(c.PutFile(local_ / "crlf.txt", "crlf-bin.txt", TransferType::Binary));
    EXPECT_EQ(ReadFile(OnServer("crlf-bin.txt")), "one\r\ntwo\r\n\r\nthree");
    ASSERT_TRUE(c.GetFile("crlf-bin.txt", local_ / "crlf-bin.txt", TransferType::Binary));
    EXPECT_EQ(ReadFile(local_ / "crlf-bin.txt"), "one\r\ntwo\r\n\r\nthree");
}

TEST_P(FtpLayerTest, ListingAndLookup) {
    const int64_t recent = std::time(nullptr) - 3600 - 17;
    const int64_t old = 1589723131;  // 2020-05-17 13:45:31 UTC
    WriteFile(OnServer("top/file.txt"), "12345", recent);
    WriteFile(OnServer("top/.hidden"), "h", old);
    fs::create_directories(OnServer("top/sub dir"));
    fs::create_directories(OnServer("top/empty"));
    WriteFile(OnServer("top/sub dir/deep.bin"), std::string(70000, 'z'), old);
    struct timespec times[2] = {{static_cast<time_t>(old), 0}, {static_cast<time_t>(old), 0}};
    utimensat(AT_FDCWD, OnServer("top/sub dir").c_str(), times, 0);

    auto& c = *connection_;
    FtpListing top = c.List("/top");
    ASSERT_EQ(top.status, ListStatus::Ok) << top.error;
    EXPECT_TRUE(top.rejectedNames.empty());
    ASSERT_EQ(top.entries.size(), 4u);
    const FtpEntry* file = FindEntry(top, "file.txt");
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(file->isDirectory);
    EXPECT_FALSE(file->hidden);
    EXPECT_EQ(file->size, 5);
    EXPECT_EQ(file->lastWriteTime, AsListed(recent));
    const FtpEntry* hidden = FindEntry(top, ".hidden");
    ASSERT_NE(hidden, nullptr);
    EXPECT_TRUE(hidden->hidden);
    EXPECT_EQ(hidden->lastWriteTime, AsListed(old));
    const FtpEntry* sub = FindEntry(top, "sub dir");
    ASSERT_NE(sub, nullptr);
    EXPECT_TRUE(sub->isDirectory);
    EXPECT_EQ(sub->lastWriteTime, AsListed(old));
    ASSERT_NE(FindEntry(top, "empty"), nullptr);

    // The current directory, relative paths, an empty directory, a missing one.
    ASSERT_TRUE(c.SetCurrentDirectory("top"));
    FtpListing current = c.List("");
    EXPECT_EQ(current.status, ListStatus::Ok);
    EXPECT_EQ(current.entries.size(), 4u);
    FtpListing deep = c.List("sub dir");
    ASSERT_EQ(deep.status, ListStatus::Ok);
    ASSERT_EQ(deep.entries.size(), 1u);
    EXPECT_EQ(deep.entries[0].name, "deep.bin");
    EXPECT_EQ(deep.entries[0].size, 70000);
    FtpListing empty = c.List("empty");
    EXPECT_EQ(empty.status, ListStatus::Ok);
    EXPECT_TRUE(empty.entries.empty());
    FtpListing missing = c.List("nothing here");
    EXPECT_EQ(missing.status, ListStatus::Missing);
    EXPECT_FALSE(missing.error.empty());
    EXPECT_EQ(c.List("/top/nothing/deeper").status, ListStatus::Missing);

    // Lookups give the path's own entry.
    const int listCommands = server_->countCommands("LIST");
    FtpListing lookFile = c.Lookup("file.txt");
    ASSERT_EQ(lookFile.status, ListStatus::Ok) << lookFile.error;
    ASSERT_EQ(lookFile.entries.size(), 1u);
    EXPECT_EQ(lookFile.entries[0].name, "file.txt");
    EXPECT_FALSE(lookFile.entries[0].isDirectory);
    EXPECT_EQ(lookFile.entries[0].size, 5);
    EXPECT_EQ(lookFile.entries[0].lastWriteTime, AsListed(recent));
    if (!GetParam().mlsd) {
        // A plain file is found by "LIST name", without listing its whole directory.
        EXPECT_EQ(server_->countCommands("LIST file.txt"), 1);
        EXPECT_EQ(server_->countCommands("LIST"), listCommands + 1);
    }
    FtpListing lookDir = c.Lookup("/top/sub dir");
    ASSERT_EQ(lookDir.status, ListStatus::Ok) << lookDir.error;
    ASSERT_EQ(lookDir.entries.size(), 1u);
    EXPECT_EQ(lookDir.entries[0].name, "sub dir");
    EXPECT_TRUE(lookDir.entries[0].isDirectory);
    EXPECT_EQ(lookDir.entries[0].lastWriteTime, AsListed(old));
    FtpListing lookEmpty = c.Lookup("empty");
    ASSERT_EQ(lookEmpty.status, ListStatus::Ok);
    EXPECT_TRUE(lookEmpty.entries[0].isDirectory);
    FtpListing lookDeep = c.Lookup("sub dir/deep.bin");
    ASSERT_EQ(lookDeep.status, ListStatus::Ok);
    EXPECT_EQ(lookDeep.entries[0].lastWriteTime, AsListed(old));
    EXPECT_EQ(c.Lookup("missing.txt").status, ListStatus::Missing);
    EXPECT_EQ(c.Lookup("/no/such/dir/file").status, ListStatus::Missing);
    EXPECT_EQ(c.Lookup("/").status, ListStatus::Ok);
    // Looking up does not move the current directory.
    EXPECT_EQ(c.CurrentDirectory(), "/top");

    // A file uploaded now lists with the time the server gave it.
    WriteFile(local_ / "new.txt", "new");
    const int64_t before = std::time(nullptr);
    ASSERT_TRUE(c.PutFile(local_ / "new.txt", "new.txt", TransferType::Binary));
    FtpListing lookNew = c.Lookup("new.txt");
    ASSERT_EQ(lookNew.status, ListStatus::Ok);
    EXPECT_EQ(lookNew.entries[0].lastWriteTime, AsListed(FileMtime(OnServer("top/new.txt"))));
    EXPECT_GE(lookNew.entries[0].lastWriteTime, AsListed(before));
}

TEST_P(FtpLayerTest, AwkwardNamesTravelIntact) {
    const std::vector<std::string> names = {
        "with space.txt",
        "hash#tag",
        "per%41cent",
        "semi;type=a",
        "-leading-dash",
        "question?mark",
        "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe5\x90\x8d\xe5\x89\x8d.txt",  // 日本語の名前.txt
        "  two leading spaces",
        "trailing space ",
        "quote\"and'apostrophe",
        "star*and[bracket]"};
    const std::string dirName = "d\xc3\xa9j\xc3\xa0 vu #1";  // déjà vu #1
    auto& c = *connection_;
    ASSERT_TRUE(c.CreateDirectory(dirName)) << c.LastError();
    ASSERT_TRUE(fs::is_directory(OnServer(dirName)));
    ASSERT_TRUE(c.SetCurrentDirectory(dirName)) << c.LastError();
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        WriteFile(local_ / "up", "content of " + name);
        ASSERT_TRUE(c.PutFile(local_ / "up", name, TransferType::Binary)) << c.LastError();
        EXPECT_EQ(ReadFile(OnServer(dirName + "/" + name)), "content of " + name);
        FtpListing look = c.Lookup(name);
        ASSERT_EQ(look.status, ListStatus::Ok) << look.error;
        EXPECT_EQ(look.entries[0].name, name);
        ASSERT_TRUE(c.GetFile("/" + dirName + "/" + name, local_ / "down", TransferType::Binary)) << c.LastError();
        EXPECT_EQ(ReadFile(local_ / "down"), "content of " + name);
        ASSERT_TRUE(c.CreateDirectory(name + ".d")) << c.LastError();
        EXPECT_TRUE(fs::is_directory(OnServer(dirName + "/" + name + ".d")));
    }
    FtpListing listing = c.List("");
    ASSERT_EQ(listing.status, ListStatus::Ok);
    EXPECT_EQ(listing.entries.size(), 2 * names.size());
    for (const auto& name : names) {
        EXPECT_NE(FindEntry(listing, name), nullptr) << name;
        const FtpEntry* dir = FindEntry(listing, name + ".d");
        ASSERT_NE(dir, nullptr) << name;
        EXPECT_TRUE(dir->isDirectory);
    }
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
    EXPECT_EQ(server_->countCommands("QUIT"), 1);
    // Closing again is harmless; using a closed connection is an error.
    c.Close();
    EXPECT_THROW(c.List(""), FtpError);
    EXPECT_EQ(server_->countCommands("QUIT"), 1);
}

// Binary uploads in passive mode go out without waiting for STOR's opening
// reply: a refusal must still read as one, and a server without EPSV still
// gets the file.
TEST(FtpDirectUpload, RefusalsFailTheFileAndLeaveTheConnectionUsable) {
    std::mt19937 random(7);
    std::string big(3 * 1024 * 1024, '\0');
    for (auto& byte : big) {
        byte = static_cast<char>(random());
    }
    TempDir local;
    WriteFile(local / "big.bin", big);
    WriteFile(local / "small.bin", "small\r\n");
    struct Case {
        const char* refuse;
        const char* local;
        const char* target;
        bool stored;
    };
    for (const Case& c :
         {Case{"", "small.bin", "no/such/dir/x.bin", false}, Case{"", "big.bin", "missing/big.bin", false},
          Case{"", "big.bin", "big.bin", true}, Case{"EPSV", "big.bin", "big.bin", true}}) {
        SCOPED_TRACE(std::string(c.target) + " refusing " + c.refuse);
        FtpServerOptions options;
        options.refuse = c.refuse;
        TestFtpServer server(options);
        auto connection = ConnectTo(server, true);
        ASSERT_TRUE(connection->PutFile(local / "small.bin", "first.bin", TransferType::Binary))
            << connection->LastError();
        EXPECT_EQ(connection->PutFile(local / c.local, c.target, TransferType::Binary), c.stored);
        EXPECT_EQ(fs::exists(server.home() + "/" + c.target), c.stored);
        if (c.stored) {
            EXPECT_TRUE(ReadFile(server.home() + "/" + c.target) == big);
        } else {
            EXPECT_NE(connection->LastError().find("550"), std::string::npos) << connection->LastError();
        }
        ASSERT_TRUE(connection->PutFile(local / "small.bin", "last.bin", TransferType::Binary))
            << connection->LastError();
        EXPECT_EQ(ReadFile(server.home() + "/last.bin"), "small\r\n");
        EXPECT_EQ(server.countCommands("USER"), 1);
    }
}

// A server that closed the connection while the run was busy elsewhere (a
// question on the screen, say): the next copy and listing log in again.
TEST(FtpDirectUpload, AConnectionClosedWhileIdleIsOpenedAgain) {
    FtpServerOptions options;
    options.idleTimeoutSeconds = 0.5;
    TestFtpServer server(options);
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
}

TEST_P(FtpLayerTest, LineBreaksAreNeverSent) {
    WriteFile(OnServer("victim"), "keep me");
    fs::create_directory(OnServer("dir"));
    WriteFile(local_ / "f", "f");
    auto& c = *connection_;
    const std::string before = server_->commandLog();
    const std::string evil[] = {"x\r\nDELE /victim", "x\nDELE /victim", "x\rDELE /victim",
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
    EXPECT_EQ(ReadFile(OnServer("victim")), "keep me");
    EXPECT_EQ(c.CurrentDirectory(), "/");

    // Credentials with line breaks never reach the server either.
    const int connections = server_->connectionCount();
    for (const auto& bad : evil) {
        auto params = ParamsFor(*server_, GetParam().passive);
        params.password = "secret" + bad.substr(1);
        EXPECT_THROW(MakeCurlFtpFactory()->Connect(params), FtpError);
        params = ParamsFor(*server_, GetParam().passive);
        params.user = "user" + bad.substr(1);
        EXPECT_THROW(MakeCurlFtpFactory()->Connect(params), FtpError);
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
    ASSERT_EQ(listing.status, ListStatus::Ok);
    ASSERT_EQ(listing.entries.size(), 1u);
    EXPECT_EQ(listing.entries[0].name, "fine.txt");
    std::sort(listing.rejectedNames.begin(), listing.rejectedNames.end());
    EXPECT_EQ(listing.rejectedNames, (std::vector<std::string>{"back\\slash", "evil\\..\\..\\outside.txt"}));
    FtpListing look = c.Lookup("list/back\\slash");
    EXPECT_NE(look.status, ListStatus::Ok);
    EXPECT_TRUE(look.entries.empty());
}

std::string ModeName(const ::testing::TestParamInfo<Mode>& info) {
    return std::string(info.param.passive ? "Passive" : "Active") + (info.param.mlsd ? "Mlsd" : "ListOnly");
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpLayerTest,
                         ::testing::Values(Mode{false, true}, Mode{true, true}, Mode{false, false}, Mode{true, false}),
                         ModeName);

}  // namespace
}  // namespace kestrum::test
