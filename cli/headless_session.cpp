#include "cli/headless_session.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "cli/instance_lock.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "profiles/paths.h"
#include "profiles/profile_store.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"
#include "sftp/sftp_session.h"

namespace kestrum {

namespace {

// SIGINT and SIGTERM received so far (counted up to 2): the first cancels the
// run, the second ends the process at once. A lock-free atomic, so that the
// handler may write it and any thread read it.
std::atomic<int> g_stopSignals{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnStopSignal(int) {
    if (g_stopSignals.load() < 2)
        g_stopSignals.fetch_add(1);
}

void InstallStopHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGTERM);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// Reads one line from the controlling terminal, optionally without echo. A
// stop signal ends it unanswered (and the echo restored).
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
    while (g_stopSignals == 0) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = poll(&ready, 1, 100);
        if (polled < 0 && errno != EINTR)
            break;
        if (polled <= 0)
            continue;
        if (read(fd, &c, 1) != 1)
            break;
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
    if (g_stopSignals != 0 || (!complete && line.empty()))
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

std::optional<std::string> TerminalPort::AskPassword(std::string_view prompt, size_t maxBytes) {
    auto password = ReadTerminalLine(std::string(prompt) + ": ", false);
    // Ended by a stop signal: the run is cancelled, not refused a password.
    if (g_stopSignals != 0 && cancelFlag_ != nullptr)
        cancelFlag_->store(1);
    if (password)
        *password = CutToBytes(*password, maxBytes);
    return password;
}

HeadlessSession::HeadlessSession() = default;

HeadlessSession::~HeadlessSession() = default;

int HeadlessSession::Open(const std::string& profile, std::optional<bool> cacheSwitch, std::optional<bool> passive) {
    const std::string programDir = ProgramDirectory();
    store_ = std::make_unique<ProfileStore>(ProfileStore::DefaultFilePath());
    std::string selected;
    int cacheFlag = 1;
    if (!store_->InitGlobalValues(programDir, selected, cacheFlag)) {
        std::string text = store_->UnwritableText();
        if (text.empty()) {
            text = LoadString(msg::kStoreDamaged);
            if (const std::string trouble = store_->TroubleText(); !trouble.empty())
                text += "\n" + trouble;
        }
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
    ftp_ = MakeTransportFactory();
    owner_ = std::make_unique<RunOwner>(port_, *store_, *ftp_);
    RunState& state = owner_->State();
    state.settings.profileName = profile;
    state.settings.programDir = programDir;
    state.options.cacheSwitch = cacheSwitch.value_or(cacheFlag != 0) ? 1 : 0;
    state.options.passiveOverride = passive;
    // A certificate is trusted only by `kestrum trust`, where the user sees it.
    state.options.mayAskToTrust = false;
    if (!owner_->Log().Open(programDir))
        port_.ShowMessage(LoadString(msg::kLogFileCreateFailed));
    port_.SetCancelFlag(&state.flags.cancelRequested);
    InstallStopHandlers();
    return 0;
}

int HeadlessSession::WaitForEnd(std::chrono::milliseconds pollEvery) {
    bool cancelSent = false;
    const RunOutcome outcome = owner_->Await(
        [&] {
            if (g_stopSignals >= 2 && owner_->Running())
                EndAtOnce();
            if (g_stopSignals != 0 && !cancelSent && owner_->Running()) {
                cancelSent = true;
                owner_->Cancel();
                port_.ShowMessage(LoadString(msg::kCliCancelAgainToEndAtOnce));
            }
        },
        pollEvery);
    return ExitStatusOf(outcome);
}

bool HeadlessSession::Stopped() const {
    return g_stopSignals.load() != 0;
}

void HeadlessSession::EndAtOnce() {
    // The worker may be blocked in a call that only a time-out ends: it is
    // neither waited for nor joined. What it would have removed is removed here.
    owner_->State().live.partialDownloads.RemoveAll();
    owner_->Log().AppendLogLine(LoadString(msg::kRunEndedAtOnce));
    lock_.reset();
    _exit(ExitStatusOf(RunOutcome::StoppedEarly));
}

}  // namespace kestrum
