#include "cli/cli.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/align_command.h"
#include "cli/profile_commands.h"
#include "cli/run_command.h"
#include "cli/trust_command.h"
#include "cli/usage.h"
#include "ftp/protocol_trace.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

void PrintUsage(bool toError) {
    const std::string text = LoadString(msg::kCliUsage);
    std::fputs(text.c_str(), toError ? stderr : stdout);
    std::fputc('\n', toError ? stderr : stdout);
}

int UsageError() {
    std::fputs(LoadString(msg::kCliBadCommandLine).c_str(), stderr);
    std::fputc('\n', stderr);
    PrintUsage(true);
    return 2;
}

std::vector<std::string> JoinOptionValues(const std::vector<std::string>& args,
                                          std::initializer_list<std::string_view> names) {
    std::vector<std::string> joined;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool takesValue = std::find(names.begin(), names.end(), args[i]) != names.end();
        if (takesValue && i + 1 < args.size()) {
            joined.push_back(args[i] + "=" + args[i + 1]);
            ++i;
        } else {
            joined.push_back(args[i]);
        }
    }
    return joined;
}

std::shared_ptr<ProtocolTrace> CreateTraceFile(const std::string& path) {
    std::string error;
    std::shared_ptr<ProtocolTrace> trace = ProtocolTrace::Create(path, error);
    if (!trace) {
        std::fputs(FormatString(msg::kCliTraceFileUnusable, {path, error}).c_str(), stderr);
        std::fputc('\n', stderr);
    }
    return trace;
}

bool ParseProfileArguments(const std::vector<std::string>& args, const std::function<bool(const std::string&)>& option,
                           std::string& profile) {
    for (const std::string& arg : args) {
        if (!arg.empty() && arg[0] == '-') {
            if (!option(arg))
                return false;
        } else if (profile.empty()) {
            profile = arg;
        } else {
            return false;
        }
    }
    return !profile.empty();
}

int RunCommandLine(int argc, char** argv) {
    // QtCore services (the store, the lock file) want an application object.
    QCoreApplication app(argc, argv);
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::string command = args.empty() ? std::string() : args.front();
    std::vector<std::string> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        PrintUsage(false);
        return 0;
    }
    if (command == "--version" || command == "-V") {
        std::printf("kestrum %s\n", KESTRUM_VERSION);
        return 0;
    }
    if (command == "run")
        return RunRunCommand(rest);
    if (command == "watch")
        return RunWatchCommand(rest);
    if (command == "align") {
        std::string profile;
        bool yes = false;
        std::optional<bool> passive;
        std::optional<std::string> tracePath;
        auto option = [&](const std::string& arg) {
            if (arg == "--yes" || arg == "-y") {
                yes = true;
            } else if (arg == "--passive" || arg == "--active") {
                passive = arg == "--passive";
            } else if (arg.starts_with("--trace=") && arg.size() > 8) {
                tracePath = arg.substr(8);
            } else {
                return false;
            }
            return true;
        };
        if (!ParseProfileArguments(JoinOptionValues(rest, {"--trace"}), option, profile))
            return UsageError();
        std::shared_ptr<ProtocolTrace> trace;
        if (tracePath && !(trace = CreateTraceFile(*tracePath)))
            return 2;
        return RunAlignCommand(profile, yes, passive, trace);
    }
    if (command == "trust")
        return RunTrustCommand(rest);
    if (command == "profile")
        return RunProfileCommand(rest, std::cin, std::cout, std::cerr);
    return UsageError();
}

}  // namespace kestrum
