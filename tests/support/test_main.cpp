// The tests' main: libcurl set up once and SIGPIPE ignored, as the program's
// own main does.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    curl_global_cleanup();
    return status;
}
