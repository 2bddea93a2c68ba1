#pragma once
// A scripted FTP peer on 127.0.0.1: one thread accepts one connection and
// plays a script on it, so that tests can send what no real server sends on
// cue (replies split anywhere, glued together, out of turn, malformed).

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kestrum::test {

struct ScriptStep {
    enum class Kind { Send, Expect, Pause, Close, Accept };
    Kind kind;
    std::string text;  // Send: the bytes, as they are; Expect: one line without its CRLF
    int ms = 0;        // Pause

    static ScriptStep Send(std::string bytes) { return {Kind::Send, std::move(bytes)}; }
    static ScriptStep Expect(std::string line) { return {Kind::Expect, std::move(line)}; }
    static ScriptStep Pause(int ms) { return {Kind::Pause, {}, ms}; }
    static ScriptStep Close() { return {Kind::Close}; }
    // Closes the connection and plays the rest on the next one.
    static ScriptStep Accept() { return {Kind::Accept}; }
};

class ScriptedServer {
  public:
    explicit ScriptedServer(std::vector<ScriptStep> script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    // Waits for the script to end and the peer to close the connection; what
    // went wrong: a line other than the one expected, a line after the script,
    // no connection, no line or no close within 10 s. Empty when all went well.
    std::vector<std::string> Finish();

  private:
    void Play(const std::vector<ScriptStep>& script);
    bool ReadLine(std::string& line);

    int listener_ = -1;
    int connection_ = -1;
    int port_ = 0;
    std::string received_;
    std::vector<std::string> problems_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kestrum::test
