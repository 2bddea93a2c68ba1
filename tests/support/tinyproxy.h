#pragma once
// A real HTTP proxy for tests: tinyproxy on 127.0.0.1, a free port, its
// configuration and log in a given directory. Killed in the destructor.

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/ftp_server.h"
#include "tests/support/process.h"

namespace kestrum::test {

class Tinyproxy {
  public:
    static constexpr const char* kBinary = "/usr/bin/tinyproxy";

    // connectPorts: the only ports CONNECT may reach (empty: every port).
    explicit Tinyproxy(const std::string& dir, const std::vector<int>& connectPorts = {})
        : port_(UnusedLoopbackPort()), log_(dir + "/tinyproxy.log") {
        std::ofstream config(dir + "/tinyproxy.conf");
        config << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 60\n"
               << "LogFile \"" << log_ << "\"\nLogLevel Connect\n"
               << "MaxClients 20\nAllow 127.0.0.1\n"
               << (geteuid() == 0 ? "User root\nGroup root\n" : "");
        for (const int port : connectPorts)
            config << "ConnectPort " << port << "\n";
        config.close();
        pid_ = Spawn({kBinary, "-d", "-c", dir + "/tinyproxy.conf"}, "/dev/null", dir + "/tinyproxy.err");
        PollUntil([&] { return Accepts(port_); });
    }
    ~Tinyproxy() { KillProcess(pid_); }
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;

    int port() const { return port_; }
    // How many CONNECT requests the proxy logged.
    int connectCount() const {
        std::ifstream in(log_);
        int count = 0;
        for (std::string line; std::getline(in, line);)
            count += line.find("CONNECT") != std::string::npos && line.find("Request") != std::string::npos;
        return count;
    }

  private:
    int port_;
    std::string log_;
    pid_t pid_ = -1;
};

}  // namespace kestrum::test
