#include "app/cli/headless_session.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#include "app/cli/instance_lock.h"
#include "engine/ftp_client.h"
#include "engine/local_fs.h"
#include "profiles/paths.h"
#include "profiles/profile_store.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int) {
    g_stopSignal = 1;
}

void InstallStopHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// Reads one line from the controlling terminal, optionally without echo.
std::optional<std::string> ReadTerminalLine(const std::string& prompt, bool echo) {
    const int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    (void)!write(fd, prompt.data(), prompt.size());
    termios saved{};
    const bool isTty = tcgetattr(fd, &saved) == 0;
    if (isTty && !echo) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::string line;
    bool complete = false;
    char c = 0;
    while (read(fd, &c, 1) == 1) {
        if (c == '\n') {
            complete = true;
            break;
        }
        if (c != '\r')
            line += c;
    }
    if (isTty && !echo) {
        tcsetattr(fd, TCSAFLUSH, &saved);
        (void)!write(fd, "\n", 1);
    }
    close(fd);
    if (!complete && line.empty())
        return std::nullopt;
    return line;
}

}  // namespace

void TerminalPort::ShowLogLine(std::string_view line) {
    // The terminal's encoding is the locale's: the code page bytes as they are.
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void TerminalPort::ShowMessage(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

bool TerminalPort::AskOkCancel(std::string_view text) {
    auto answer = ReadTerminalLine(std::string(text) + " [y/N] ", true);
    return answer && (*answer == "y" || *answer == "Y" || *answer == "yes");
}

std::optional<std::string> TerminalPort::AskPassword() {
    auto password = ReadTerminalLine(LoadString(msg::kCliPasswordPrompt) + ": ", false);
    // The prompt's field takes at most 20 bytes.
    if (password)
        *password = CutToBytes(*password, 20);
    return password;
}

HeadlessSession::HeadlessSession() = default;

HeadlessSession::~HeadlessSession() = default;

int HeadlessSession::Open(const std::string& profile, std::optional<bool> cacheSwitch, bool passive) {
    const std::string programDir = ProgramDirectory();
    store_ = std::make_unique<ProfileStore>(ProfileStore::DefaultFilePath());
    std::string selected;
    int cacheFlag = 1;
    if (!store_->InitGlobalValues(programDir, selected, cacheFlag)) {
        std::string text = LoadString(msg::kStoreDamaged);
        if (const std::string trouble = store_->TroubleText(); !trouble.empty())
            text += "\n" + trouble;
        port_.ShowMessage(text);
        return 1;
    }
    if (profile.empty() || !store_->ProfileExists(profile)) {
        port_.ShowMessage(FormatString(msg::kCliUnknownProfile, {profile}));
        return 2;
    }
    lock_ = std::make_unique<InstanceLock>(programDir);
    if (!lock_->TryAcquire()) {
        const std::string reason = lock_->FailureReason();
        port_.ShowMessage(reason.empty() ? LoadString(msg::kAnotherInstanceRunning)
                                         : FormatString(msg::kProgramDirUnwritable, {programDir, reason}));
        return 1;
    }
    ftp_ = MakeCurlFtpFactory();
    owner_ = std::make_unique<RunOwner>(port_, *store_, *ftp_);
    RunState& state = owner_->State();
    state.settings.profileName = profile;
    state.settings.programDir = programDir;
    state.cacheSwitch = cacheSwitch.value_or(cacheFlag != 0) ? 1 : 0;
    state.passive = passive;
    if (!owner_->Log().Open(programDir))
        port_.ShowMessage(LoadString(msg::kLogFileCreateFailed));
    InstallStopHandlers();
    return 0;
}

int HeadlessSession::WaitForEnd() {
    bool cancelSent = false;
    const RunOutcome outcome = owner_->Await([&] {
        if (g_stopSignal && !cancelSent && owner_->Running()) {
            cancelSent = true;
            owner_->Cancel();
        }
    });
    return ExitStatusOf(outcome);
}

}  // namespace kestrum
