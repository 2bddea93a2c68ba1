// kestrum: the window without arguments, the command line otherwise.
#include <clocale>

#include "app/cli/cli.h"
#include "app/main_window_entry.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    if (argc <= 1) return kestrum::RunWindowApplication(argc, argv);
    return kestrum::RunCommandLine(argc, argv);
}
