#pragma once
// A real FTP server for tests: pyftpdlib on 127.0.0.1, a free port, one user,
// a temporary home directory. Started in the constructor, killed in the destructor.

#include <sys/types.h>
#include <map>
#include <string>
#include <vector>

namespace kestrum::test {

// How many lines of commands (one command a line) begin with the word verb.
int CountCommandLines(const std::string& commands, const std::string& verb);

struct FtpServerOptions {
    bool mlsd = true;                 // false: MLSD and MLST switched off (LIST only)
    long clockShiftSeconds = 0;       // listed times (and stored mtimes) shifted by this much
    double loginDelaySeconds = 0;     // the server waits this long before answering PASS
    long transferBytesPerSecond = 0;  // nonzero: data connections are throttled to this rate
    double idleTimeoutSeconds = 0;    // nonzero: an idle session gets 421 and is closed after this long
    double replyLatencySeconds = 0;   // every reply is held back this long (a slow link)
    std::string refuse;               // commands answered with 550 whatever their argument ("DELE,RMD")
    std::string garbledTime;          // files of this name are listed (MLSD, MLST) with an impossible time
    std::string farFuture;            // files of this name are listed (MLSD, MLST) in the year 9999
    std::string announceShort;        // files of this name are announced (SIZE, 150 reply) 5 bytes short
    std::string unlistable;           // directories of this name are listed in their parent but refuse a listing
    std::map<std::string, std::string> listLines;  // LIST shows the entry of each name as the given line instead
    long mdtmShiftSeconds = 0;                     // MDTM times shifted against the listed ones
    int maxLogins = 0;                             // nonzero: logins beyond so many sessions at once get 530
    bool silentBeyondMaxLogins = false;            // those logins get no reply at all instead
    std::string breakOff;                          // downloads of files of this name break off (426)
    std::string sendHalf;                          // downloads of files of this name send half, then 226
    long storeKeep = -1;                           // >= 0: uploads keep this many bytes and are confirmed
    long storeCut = 0;                             // nonzero: the session closes after this many bytes of an upload
    bool refuseRenameOver = false;                 // RNTO to a name already taken is refused
    long extraClockShiftSeconds = 0;               // sessions after the first see a clock this far off
    std::string user = "user";
    std::string password = "secret";
};

class TestFtpServer {
  public:
    explicit TestFtpServer(FtpServerOptions options = {});
    ~TestFtpServer();
    TestFtpServer(const TestFtpServer&) = delete;
    TestFtpServer& operator=(const TestFtpServer&) = delete;

    int port() const { return port_; }
    // "127.0.0.1:<port>": what a profile's HOST holds.
    std::string hostWithPort() const { return "127.0.0.1:" + std::to_string(port_); }
    // The server's home directory on the local disk.
    const std::string& home() const { return home_; }
    const FtpServerOptions& options() const { return options_; }

    // Every command the server received, one per line ("USER user", "STOR a.txt", ...).
    std::string commandLog() const;
    // How many commands began with verb (e.g. "PASS", "STOR").
    int countCommands(const std::string& verb) const { return CountCommandLines(commandLog(), verb); }
    // Number of control connections accepted so far.
    int connectionCount() const;
    void kill();
    // Stops the server process: the system still accepts connections and
    // buffers what is sent, but the server answers nothing from now on.
    void stall();
    // Kills the server and starts it again on the same port and home.
    void restart();

  private:
    void Spawn();

    FtpServerOptions options_;
    std::vector<std::string> args_;
    std::string home_;
    std::string workDir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// A temporary directory removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

  private:
    std::string path_;
};

// A loopback port that nothing listens on (bound, read back, released).
int UnusedLoopbackPort();
// Whether something accepts connections on this loopback port.
bool Accepts(int port);

// Writes a file (creating its directories) and optionally sets its mtime.
void WriteFile(const std::string& path, const std::string& content, long long mtime = -1);
// A file that cannot be read throws, or reads as "" when it need not exist.
std::string ReadFile(const std::string& path, bool mustExist = true);
long long FileMtime(const std::string& path);

}  // namespace kestrum::test
