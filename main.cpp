// kestrum: the window without arguments, the command line otherwise.
#include <clocale>
#include <csignal>

#include "app/main_window_entry.h"
#include "cli/cli.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // A server that closes a connection must not end the program: a write
    // then fails with EPIPE instead (TLS writes to its socket on its own).
    std::signal(SIGPIPE, SIG_IGN);
    return argc <= 1 ? kestrum::RunWindowApplication(argc, argv) : kestrum::RunCommandLine(argc, argv);
}
