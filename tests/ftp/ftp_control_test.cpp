// The control channel against a scripted peer: replies split, glued, out of
// turn, malformed or too long, and waits that time out or are cancelled.

#include <gtest/gtest.h>
#include <poll.h>

#include <functional>
#include <string>
#include <vector>

#include "ftp/ftp_control.h"
#include "ftp/ftp_socket.h"
#include "tests/support/ftp_server.h"
#include "tests/support/scripted_server.h"

namespace kestrum::test {
namespace {

using S = ScriptStep;
using namespace std::chrono_literals;

Wait Soon() {
    return Wait::For(5s);
}

struct Client {
    ControlChannel& channel;
    ByteStream& stream;
    std::vector<std::string> said;

    void Say(const Reply& reply) {
        said.push_back(std::to_string(reply.code) +
                       (reply.lines.size() > 1 ? "/" + std::to_string(reply.lines.size()) : ""));
    }
    // Until the server has sent something (a stray reply the script sends unasked).
    void AwaitData() {
        pollfd p{stream.Socket(), POLLIN, 0};
        poll(&p, 1, 5000);
    }
};

struct Case {
    std::string name;
    std::vector<ScriptStep> script;  // after the greeting
    std::function<void(Client&)> client;
    std::string outcome;             // the replies the client said, then how it ended and the state
    std::vector<std::string> trace;  // after the greeting; empty: not compared
};

// NOOP answered with bytes.
Case Answer(std::string name, std::string bytes, std::string outcome) {
    return {std::move(name),
            {S::Expect("NOOP"), S::Send(std::move(bytes))},
            [](Client& c) { c.Say(c.channel.Command("NOOP", Soon())); },
            std::move(outcome)};
}

std::vector<ScriptStep> Bytewise(const std::string& bytes) {
    std::vector<ScriptStep> steps;
    for (char byte : bytes) {
        steps.push_back(S::Send(std::string(1, byte)));
        steps.push_back(S::Pause(1));
    }
    return steps;
}

std::string Lines(size_t count, const std::string& line) {
    std::string lines;
    for (size_t i = 0; i < count; ++i) {
        lines += line + "\r\n";
    }
    return lines;
}

std::string Play(Client& client, const std::function<void(Client&)>& run) {
    std::string end = "ok";
    try {
        run(client);
    } catch (const FtpSessionClosed& closed) {
        end = "closed " + std::to_string(closed.reply().code) + (closed.commandNotSent() ? " unsent" : "");
    } catch (const FtpProtocolError&) {
        end = "protocol";
    } catch (const StreamError& error) {
        end = error.kind() == StreamError::Kind::TimedOut    ? "timed out"
              : error.kind() == StreamError::Kind::Cancelled ? "cancelled"
                                                             : error.what();
    } catch (const std::invalid_argument&) {
        end = "invalid";
    }
    std::string outcome;
    for (const auto& reply : client.said) {
        outcome += reply + " ";
    }
    const char* states[] = {"open", "closed", "broken"};
    return outcome + "| " + end + " " + states[static_cast<int>(client.channel.state())];
}

TEST(FtpControlTest, RepliesGoToTheirCommands) {
    std::vector<ScriptStep> split = {S::Expect("FEAT")};
    for (const auto& step : Bytewise("211-Features:\r\n MDTM\r\n211 End\r\n")) {
        split.push_back(step);
    }
    for (const auto& step : {S::Expect("NOOP"), S::Send("20"), S::Pause(20), S::Send("0 O"), S::Pause(20),
                             S::Send("K\r"), S::Pause(20), S::Send("\n")}) {
        split.push_back(step);
    }
    const std::string longest(4092, 'x');
    const std::vector<Case> cases = {
        {"split anywhere",
         split,
         [](Client& c) {
             c.Say(c.channel.Command("FEAT", Soon()));
             c.Say(c.channel.Command("NOOP", Soon()));
         },
         "211/3 200 | ok open",
         {"> FEAT", "< 211-Features:", "<  MDTM", "< 211 End", "> NOOP", "< 200 OK"}},
        {"inner lines that look like replies, bare LF",
         {S::Expect("CWD /x"), S::Send("250-First\r\n226 inner\n250-inner too\r\n 250 indented\r\n250 Last\n")},
         [](Client& c) {
             const Reply reply = c.channel.Command("CWD /x", Soon());
             c.said.push_back(reply.Text());
         },
         "250-First\n226 inner\n250-inner too\n 250 indented\n250 Last | ok open"},
        {"stray reply before a command",
         {S::Pause(30), S::Send("200 Stray\r\n"), S::Expect("NOOP"), S::Send("200 OK\r\n")},
         [](Client& c) {
             c.AwaitData();
             c.Say(c.channel.Command("NOOP", Soon()));
         },
         "200 | ok open",
         {"! 200 Stray", "> NOOP", "< 200 OK"}},
        {"stray 421: the command is not sent",
         {S::Pause(30), S::Send("421 Idle\r\n")},
         [](Client& c) {
             c.AwaitData();
             c.channel.Command("NOOP", Soon());
         },
         "| closed 421 unsent closed",
         {"! 421 Idle"}},
        {"the server closed the connection",
         {S::Pause(30), S::Close()},
         [](Client& c) {
             c.AwaitData();
             c.channel.Command("NOOP", Soon());
         },
         "| closed 0 unsent closed"},
        {"421 glued to 226",
         {S::Expect("RETR f"), S::Send("150 Opening\r\n"), S::Send("226 Done\r\n421 Bye\r\n")},
         [](Client& c) {
             c.channel.Send("RETR f", Soon());
             c.Say(c.channel.Read(Soon()));
             c.Say(c.channel.Read(Soon()));
             c.said.push_back(c.channel.state() == ControlChannel::State::Closed ? "closed" : "open");
             c.channel.Command("NOOP", Soon());
         },
         "150 226 closed | closed 421 unsent closed",
         {"> RETR f", "< 150 Opening", "< 226 Done", "! 421 Bye"}},
        {"pipelined, replies in one read, a duplicate 226 first",
         {S::Expect("RETR f"), S::Send("150 Opening\r\n226 Done\r\n"), S::Expect("RNFR a"), S::Expect("RNTO b"),
          S::Send("226 Done\r\n350 Ready\r\n250 Renamed\r\n")},
         [](Client& c) {
             c.Say(c.channel.Command("RETR f", Soon()));
             c.channel.SendMany({"RNFR a", "RNTO b"}, Soon());
             c.Say(c.channel.Read(Soon()));
             c.Say(c.channel.Read(Soon()));
         },
         "226 350 250 | ok open",
         {"> RETR f", "< 150 Opening", "< 226 Done", "> RNFR a", "> RNTO b", "! 226 Done", "< 350 Ready",
          "< 250 Renamed"}},
        {"1xx to a command without data",
         {S::Expect("TYPE I"), S::Send("150 Stray\r\n200 Binary\r\n")},
         [](Client& c) { c.Say(c.channel.Command("TYPE I", Soon())); },
         "200 | ok open",
         {"> TYPE I", "! 150 Stray", "< 200 Binary"}},
        {"PASS masked",
         {S::Expect("USER u"), S::Send("331 Password\r\n"), S::Expect("PASS s3cret"), S::Send("230 In\r\n")},
         [](Client& c) {
             c.Say(c.channel.Command("USER u", Soon()));
             c.Say(c.channel.Command("PASS s3cret", Soon()));
         },
         "331 230 | ok open",
         {"> USER u", "< 331 Password", "> PASS ****", "< 230 In"}},
        {"line end inside a command",
         {},
         [](Client& c) { c.channel.Send("NOOP\r\nDELE x", Soon()); },
         "| invalid open"},
        {"time-out",
         {S::Expect("NOOP")},
         [](Client& c) { c.channel.Command("NOOP", Wait::For(300ms)); },
         "| timed out broken"},
        {"cancel",
         {S::Expect("NOOP")},
         [](Client& c) {
             const Wait wait{std::chrono::steady_clock::now() + 10s, [&c] { return c.channel.waiting() > 0; }};
             c.channel.Command("NOOP", wait);
         },
         "| cancelled broken"},
        Answer("longest line", "200 " + longest + "\r\n", "200 | ok open"),
        Answer("over-long line", "200 " + longest + "x\r\n", "| protocol broken"),
        Answer("most lines", "211-a\r\n" + Lines(998, " x") + "211 End\r\n", "211/1000 | ok open"),
        Answer("too many lines", "211-a\r\n" + Lines(999, " x") + "211 End\r\n", "| protocol broken"),
        Answer("over 64 KiB", "211-a\r\n" + Lines(17, " " + std::string(3998, 'x')) + "211 End\r\n",
               "| protocol broken"),
        Answer("no code", "hello\r\n", "| protocol broken"),
        Answer("code above 599", "600 Nope\r\n", "| protocol broken"),
        Answer("code below 100", "099 Nope\r\n", "| protocol broken"),
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<ScriptStep> script = {S::Send("220 Ready\r\n")};
        script.insert(script.end(), test.script.begin(), test.script.end());
        ScriptedServer server(script);
        auto stream = ConnectTcp("localhost", server.port(), Soon());
        std::vector<std::string> trace;
        ControlChannel channel(*stream, [&trace](const TraceEvent& event) {
            const char* marks[] = {"> ", "< ", "! "};
            trace.push_back(marks[static_cast<int>(event.direction)] + event.line);
        });
        ASSERT_EQ(channel.ReadGreeting(Soon()).code, 220);
        Client client{channel, *stream, {}};
        EXPECT_EQ(Play(client, test.client), test.outcome);
        if (!test.trace.empty()) {
            ASSERT_FALSE(trace.empty());
            trace.erase(trace.begin());  // the greeting
            EXPECT_EQ(trace, test.trace);
        }
        stream->Close();
        EXPECT_EQ(server.Finish(), std::vector<std::string>{});
    }
}

TEST(FtpControlTest, ConnectFailures) {
    for (const auto& [host, port] : std::vector<std::pair<std::string, int>>{
             {"127.0.0.1", UnusedLoopbackPort()}, {"::1", UnusedLoopbackPort()}, {"localhost", 0}}) {
        SCOPED_TRACE(host);
        try {
            ConnectTcp(host, port, Soon());
            ADD_FAILURE() << "connected";
        } catch (const StreamError& error) {
            EXPECT_EQ(error.kind(), StreamError::Kind::Failed) << error.what();
        }
    }
}

}  // namespace
}  // namespace kestrum::test
