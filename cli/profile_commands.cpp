#include "cli/profile_commands.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <optional>

#include "profiles/auto_setup.h"
#include "profiles/paths.h"
#include "profiles/profile_store.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

constexpr const ProfileValue& kPassword = SchemaValue("PSW");

std::string SchemaNames() {
    std::string names;
    for (const ProfileValue& v : kProfileValues) {
        if (!names.empty())
            names += ", ";
        names += v.name;
    }
    return names;
}

// The message of a refused value; messages about one value name it.
std::string ValueMessage(int id, const ProfileValue& value) {
    return FormatString(id, {value.name});
}

void Say(std::ostream& stream, const std::string& text) {
    stream << text << '\n';
}

int UsageError(std::ostream& err) {
    Say(err, LoadString(msg::kCliBadCommandLine));
    Say(err, LoadString(msg::kCliUsage));
    return 2;
}

// The damaged line or the held lock, when the store can say which.
void SayTrouble(const ProfileStore& store, std::ostream& err) {
    if (const std::string trouble = store.TroubleText(); !trouble.empty())
        Say(err, trouble);
}

// The system's reason a write failed, when it has one.
bool SayUnwritable(const ProfileStore& store, std::ostream& err) {
    const std::string unwritable = store.UnwritableText();
    if (!unwritable.empty())
        Say(err, unwritable);
    return !unwritable.empty();
}

// A store that cannot be set up: damaged, unless the system says why.
int StoreDamaged(const ProfileStore& store, std::ostream& err) {
    if (!SayUnwritable(store, err)) {
        Say(err, LoadString(msg::kStoreDamaged));
        SayTrouble(store, err);
    }
    return 1;
}

int StoreFailure(const ProfileStore& store, std::ostream& err) {
    Say(err, FormatString(msg::kCliStoreUnusable, {store.FilePath()}));
    SayTrouble(store, err);
    return 1;
}

int WriteFailure(const ProfileStore& store, std::ostream& err) {
    Say(err, FormatString(msg::kCliStoreUnusable, {store.FilePath()}));
    if (!SayUnwritable(store, err))
        SayTrouble(store, err);
    return 1;
}

int UnknownProfile(const std::string& name, std::ostream& err) {
    Say(err, FormatString(msg::kCliUnknownProfile, {name}));
    return 2;
}

// One line from in without its line end; the terminal does not echo it.
std::optional<std::string> ReadPasswordLine(std::istream& in, std::ostream& err) {
    const bool terminal = &in == &std::cin && isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
        err << LoadString(msg::kCliNewPasswordPrompt) << std::flush;
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    } else {
        saved.c_lflag = 0;
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(in, line));
    if (terminal && saved.c_lflag != 0) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        err << '\n';
    }
    if (!got)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

int ListProfiles(ProfileStore& store, std::ostream& out, std::ostream& err) {
    if (store.IsUnreadable())
        return StoreFailure(store, err);
    for (const auto& name : store.ReadProfileList())
        Say(out, name);
    return 0;
}

int ShowProfile(ProfileStore& store, const std::string& name, std::ostream& out, std::ostream& err) {
    if (store.IsUnreadable())
        return StoreFailure(store, err);
    if (!store.ProfileExists(name))
        return UnknownProfile(name, err);
    const auto savePassword = store.ReadDword(name, "PSWSVD");
    for (const ProfileValue& v : kProfileValues) {
        if (v.type == ValueType::Password) {
            // Only whether a password is kept; never the password.
            const auto scrambled = store.ReadString(name, v.name, v.readBytes);
            if (!savePassword || *savePassword == 0) {
                Say(out, LoadString(msg::kCliShowPasswordNotSaved));
            } else if (!scrambled) {
                Say(out, FormatString(msg::kCliShowNoValue, {v.name}));
            } else {
                Say(out, LoadString(scrambled->empty() ? msg::kCliShowPasswordEmpty : msg::kCliShowPasswordSaved));
            }
            continue;
        }
        std::optional<std::string> shown;
        if (v.type == ValueType::String) {
            shown = store.ReadString(name, v.name, v.readBytes);
        } else if (const auto number = store.ReadDword(name, v.name)) {
            shown = std::to_string(*number);
        }
        if (shown) {
            Say(out, std::string(v.name) + "=" + PrintableName(*shown));
        } else {
            Say(out, FormatString(msg::kCliShowNoValue, {v.name}));
        }
    }
    return 0;
}

int NewProfile(ProfileStore& store, const std::string& programDir, const std::string& name, std::ostream& err) {
    std::string selected;
    int cacheFlag = 1;
    // Records Program (and the other globals) when the store has none yet.
    if (!store.InitGlobalValues(programDir, selected, cacheFlag))
        return StoreDamaged(store, err);
    const int result = CreateProfileWithAutoSetup(store, name);
    if (result == 0)
        return 0;
    if (result <= 0 || result == msg::kStoreDamaged)
        return StoreDamaged(store, err);
    Say(err, LoadString(result));
    return 1;
}

int DeleteProfile(ProfileStore& store, const std::string& name, std::ostream& err) {
    if (store.IsUnreadable())
        return StoreFailure(store, err);
    if (!store.ProfileExists(name))
        return UnknownProfile(name, err);
    std::vector<std::string> remaining;
    for (auto& listed : store.ReadProfileList()) {
        if (listed != name)
            remaining.push_back(std::move(listed));
    }
    if (store.DeleteProfile(name, remaining) != 0)
        return WriteFailure(store, err);
    return 0;
}

// Checks every assignment first and writes them together, so that a bad one
// leaves the profile as it was.
int SetValues(ProfileStore& store, const std::string& name, const std::vector<std::string>& assignments,
              std::istream& in, std::ostream& err) {
    if (store.IsUnreadable())
        return StoreFailure(store, err);
    if (!store.ProfileExists(name))
        return UnknownProfile(name, err);

    struct Assignment {
        const ProfileValue* value;
        std::string text;
    };
    std::vector<Assignment> parsed;
    std::map<std::string, bool> seen;
    int errors = 0;
    auto fail = [&](const std::string& message) {
        Say(err, message);
        ++errors;
    };
    for (const auto& arg : assignments) {
        const size_t eq = arg.find('=');
        if (eq == std::string::npos || eq == 0) {
            fail(FormatString(msg::kCliNotNameValue, {arg}));
            continue;
        }
        const std::string valueName = arg.substr(0, eq);
        const ProfileValue* value = FindProfileValue(valueName);
        if (value == nullptr) {
            fail(FormatString(msg::kCliUnknownValueName, {valueName, SchemaNames()}));
            continue;
        }
        if (seen[valueName]) {
            fail(FormatString(msg::kCliValueGivenTwice, {valueName}));
            continue;
        }
        seen[valueName] = true;
        std::string text = arg.substr(eq + 1);
        if (value->type == ValueType::Password && text != "-") {
            fail(LoadString(msg::kCliPasswordOnCommandLine));
            continue;
        }
        parsed.push_back({value, std::move(text)});
    }
    if (errors > 0)
        return 2;

    std::vector<StoreAssignment> writes;
    std::optional<int32_t> proxyOn;
    std::optional<std::string> proxyName;
    bool passwordGiven = false;
    for (auto& a : parsed) {
        const ProfileValue& v = *a.value;
        if (v.type == ValueType::Password) {
            passwordGiven = true;
            continue;
        }
        if (const int message = CheckValue(v, a.text)) {
            fail(ValueMessage(message, v));
            continue;
        }
        if (v.type == ValueType::String) {
            if (v.name == "PROXY_NAME")
                proxyName = a.text;
            writes.push_back({std::string(v.name), a.text});
        } else {
            const int32_t number = *ParseDecimalInt(a.text);
            if (v.name == "PROXY_ON")
                proxyOn = number;
            writes.push_back({std::string(v.name), number});
        }
    }
    // Switching the proxy on needs a proxy name, as in the proxy dialog.
    if (proxyOn || proxyName) {
        const int32_t on = proxyOn ? *proxyOn : store.ReadDword(name, "PROXY_ON").value_or(0);
        const std::string proxy = proxyName ? *proxyName : store.ReadString(name, "PROXY_NAME").value_or("");
        if (const int message = CheckProxyName(on, proxy))
            fail(LoadString(message));
    }
    bool savePasswordOff = false;
    for (const auto& w : writes) {
        if (w.value == "PSWSVD" && std::get<int32_t>(w.data) == 0)
            savePasswordOff = true;
    }
    if (passwordGiven && savePasswordOff)
        fail(LoadString(msg::kCliPasswordInputWithoutSave));
    if (errors > 0)
        return 2;

    if (passwordGiven) {
        // Read last, so that nobody types a password for a command that fails anyway.
        const auto password = ReadPasswordLine(in, err);
        if (!password) {
            Say(err, LoadString(msg::kCliPasswordReadFailed));
            return 2;
        }
        if (const int message = CheckValue(kPassword, *password)) {
            Say(err, ValueMessage(message, kPassword));
            return 2;
        }
        writes.push_back({"PSWSVD", int32_t{1}});
        writes.push_back({"PSW", ScramblePassword(*password)});
    } else if (savePasswordOff) {
        // As the setup dialog: a password that is no longer saved is removed.
        writes.push_back({"PSW", std::string()});
    }
    if (!store.WriteProfileValues(name, writes))
        return WriteFailure(store, err);
    return 0;
}

}  // namespace

int RunProfileCommand(const std::vector<std::string>& args, ProfileStore& store, const std::string& programDir,
                      std::istream& in, std::ostream& out, std::ostream& err) {
    if (args.empty())
        return UsageError(err);
    const std::string& command = args[0];
    if (command == "list" && args.size() == 1)
        return ListProfiles(store, out, err);
    if (command == "show" && args.size() == 2)
        return ShowProfile(store, args[1], out, err);
    if (command == "new" && args.size() == 2)
        return NewProfile(store, programDir, args[1], err);
    if (command == "delete" && args.size() == 2)
        return DeleteProfile(store, args[1], err);
    if (command == "set" && args.size() >= 3) {
        return SetValues(store, args[1], std::vector<std::string>(args.begin() + 2, args.end()), in, err);
    }
    return UsageError(err);
}

int RunProfileCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    ProfileStore store(ProfileStore::DefaultFilePath());
    // Only a new profile needs the program directory (and creates it).
    const bool creates = !args.empty() && args[0] == "new";
    return RunProfileCommand(args, store, creates ? ProgramDirectory() : std::string(), in, out, err);
}

}  // namespace kestrum
