// kestrum: the window without arguments, the command line otherwise.
#include <curl/curl.h>

#include <clocale>
#include <csignal>

#include "app/main_window_entry.h"
#include "cli/cli.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // libcurl is set up once for the whole program; with CURLOPT_NOSIGNAL it
    // leaves SIGPIPE to the program, which ignores it.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::signal(SIGPIPE, SIG_IGN);
    const int status = argc <= 1 ? kestrum::RunWindowApplication(argc, argv) : kestrum::RunCommandLine(argc, argv);
    curl_global_cleanup();
    return status;
}
