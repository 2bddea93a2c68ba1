#include "localfs/local_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

#include "localfs/local_fs.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

// IN_MODIFY only marks a file as being written (held back until its close);
// IN_CLOSE_WRITE and IN_MOVED_TO make it ready. Events for children already
// unlinked (a temporary file written after its unlink) are of no use.
constexpr uint32_t kDirMask = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                              IN_MOVED_TO | IN_EXCL_UNLINK | IN_ONLYDIR;
// The root is told apart from its subdirectories by these; below it, the parent's
// events say the same. Below the root a symbolic link is never followed.
constexpr uint32_t kRootMask = kDirMask | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kSubdirMask = kDirMask | IN_DONT_FOLLOW;

constexpr std::chrono::milliseconds kPollSlice{250};

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

std::string ChildPath(const std::string& dir, std::string_view name) {
    return dir.empty() ? std::string(name) : dir + "/" + std::string(name);
}

std::string WatchLimit() {
    std::ifstream in("/proc/sys/fs/inotify/max_user_watches");
    long long limit = 0;
    return in >> limit ? std::to_string(limit) : std::string();
}

}  // namespace

bool IsEditorScratchName(std::string_view name) {
    if (name == "4913")
        return true;
    if (name.size() > 1 && name.back() == '~')
        return true;
    if (name.size() > 2 && name.substr(0, 2) == ".#")
        return true;
    if (name.size() > 2 && name.front() == '#' && name.back() == '#')
        return true;
    // ".f.swp": at least one character between the leading dot and the suffix.
    if (name.size() >= 6 && name.front() == '.')
        for (const std::string_view suffix : {".swp", ".swo", ".swn", ".swx"})
            if (EndsWith(name, suffix))
                return true;
    return false;
}

LocalWatcher::LocalWatcher(std::string root, std::chrono::milliseconds quiet) : root_(std::move(root)), quiet_(quiet) {}

LocalWatcher::~LocalWatcher() {
    if (fd_ >= 0)
        close(fd_);
}

bool LocalWatcher::Start(std::string& error) {
    if (fd_ >= 0)
        close(fd_);
    dirs_.clear();
    pending_.clear();
    unwatched_.clear();
    unwatchedReason_.clear();
    overflow_ = false;
    rootWd_ = -1;
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        error = FormatString(msg::kWatchDirFailed, {root_, std::strerror(errno)});
        return false;
    }
    const bool withinLimit = Join("", false);
    if (!withinLimit || rootWd_ < 0) {
        error = unwatchedReason_;
        close(fd_);
        fd_ = -1;
        return false;
    }
    // Directories below that could not be watched come with the first batch.
    lastEvent_ = std::chrono::steady_clock::now();
    return true;
}

bool LocalWatcher::Join(const std::string& top, bool reportFiles) {
    struct Dir {
        std::string path;
        bool watch;  // false below a directory that could not be watched
    };
    std::vector<Dir> stack = {{top, true}};
    bool limitReached = false;
    size_t unwatchedCount = 0;
    while (!stack.empty()) {
        const Dir dir = std::move(stack.back());
        stack.pop_back();
        const std::string absolute = dir.path.empty() ? root_ : JoinLocalPath(root_, dir.path);
        bool watched = false;
        if (dir.watch) {
            const int wd = limitReached
                               ? -1
                               : inotify_add_watch(fd_, absolute.c_str(), dir.path.empty() ? kRootMask : kSubdirMask);
            const int reason = limitReached ? ENOSPC : errno;
            if (wd >= 0) {
                dirs_[wd] = dir.path;
                if (dir.path.empty())
                    rootWd_ = wd;
                watched = true;
            } else if ((reason == ENOENT || reason == ENOTDIR) && !dir.path.empty()) {
                continue;  // gone or replaced since it was seen: the parent's events tell
            } else {
                unwatched_.push_back(dir.path);
                if (reason == ENOSPC)
                    limitReached = true;
                else if (unwatchedReason_.empty())
                    unwatchedReason_ = FormatString(msg::kWatchDirFailed, {absolute, std::strerror(reason)});
            }
        }
        if (!watched)
            ++unwatchedCount;
        // Listed after the watch is in place, so nothing created in between is missed.
        DIR* d = opendir(absolute.c_str());
        if (d == nullptr)
            continue;
        while (const dirent* e = readdir(d)) {
            const std::string_view name = e->d_name;
            if (name == "." || name == "..")
                continue;
            unsigned char type = e->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st {};
                if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : 0;
            }
            const std::string path = ChildPath(dir.path, name);
            if (type == DT_DIR) {
                stack.push_back({path, watched});
                if (reportFiles)
                    pending_.try_emplace(path, Pending{State::NewDirectory, true, false});
            } else if (reportFiles && (type == DT_REG || type == DT_LNK) && !IsEditorScratchName(name)) {
                Pending& p = pending_.try_emplace(path, Pending{State::Written, true, false}).first->second;
                if (p.state != State::Writing)
                    p.state = State::Written;
                p.written = true;
            }
        }
        closedir(d);
    }
    if (limitReached) {
        const std::string limit = WatchLimit();
        const std::string raise = limit.empty() ? "" : std::to_string(std::stoll(limit) + unwatchedCount);
        unwatchedReason_ = FormatString(
            msg::kWatchLimitReached, {limit.empty() ? "?" : limit, root_, std::to_string(dirs_.size() + unwatchedCount),
                                      std::to_string(unwatchedCount), std::to_string(unwatchedCount), raise});
    }
    return !limitReached;
}

LocalWatcher::Pending& LocalWatcher::Touch(const std::string& path, bool creation) {
    return pending_.try_emplace(path, Pending{State::Writing, creation, false}).first->second;
}

void LocalWatcher::RemovePath(const std::string& path, bool directory) {
    // A directory's removal stands for everything below it.
    pending_.erase(pending_.lower_bound(path + "/"), pending_.lower_bound(path + "0"));  // '0' follows '/'
    const auto it = pending_.find(path);
    if (it != pending_.end() && it->second.created) {
        pending_.erase(it);  // created and removed within the batch: nothing to report
        return;
    }
    Pending& p = Touch(path, false);
    p.state = State::Removed;
    p.directoryRemoved |= directory;
}

void LocalWatcher::UnwatchSubtree(const std::string& dir) {
    const std::string prefix = dir + "/";
    for (auto it = dirs_.begin(); it != dirs_.end();) {
        if (it->second == dir || it->second.compare(0, prefix.size(), prefix) == 0) {
            inotify_rm_watch(fd_, it->first);
            it = dirs_.erase(it);
        } else {
            ++it;
        }
    }
}

void LocalWatcher::Rejoin() {
    // Events were lost: directories may have come, gone or moved unseen. Watch the
    // tree as it is now (an inode already watched keeps its descriptor) and drop the rest.
    std::unordered_map<int, std::string> before = std::move(dirs_);
    dirs_.clear();
    Join("", false);
    for (const auto& [wd, path] : before)
        if (dirs_.count(wd) == 0)
            inotify_rm_watch(fd_, wd);
}

void LocalWatcher::HandleEvent(int wd, uint32_t mask, std::string_view name) {
    const auto now = std::chrono::steady_clock::now();
    if (mask & IN_Q_OVERFLOW) {
        overflow_ = true;
        lastEvent_ = now;
        Rejoin();
        return;
    }
    const auto dir = dirs_.find(wd);
    if (dir == dirs_.end())
        return;  // a watch already dropped (its directory moved away)
    if (mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        // Below the root the parent reports the same; the root itself gone leaves
        // the paths meaningless.
        if (wd == rootWd_ || (mask & IN_UNMOUNT)) {
            overflow_ = true;
            lastEvent_ = now;
        }
        if (mask & IN_IGNORED)
            dirs_.erase(dir);
        return;
    }
    if (name.empty())
        return;
    const std::string path = ChildPath(dir->second, name);
    if (mask & IN_ISDIR) {
        if (mask & (IN_CREATE | IN_MOVED_TO)) {
            lastEvent_ = now;
            Pending& p = Touch(path, true);
            if (p.state != State::Removed)
                p.state = State::NewDirectory;  // replacing a removed one, the removal stays reported
            Join(path, true);
        } else if (mask & (IN_DELETE | IN_MOVED_FROM)) {
            lastEvent_ = now;
            if (mask & IN_MOVED_FROM)
                UnwatchSubtree(path);  // its watches would follow it wherever it went
            RemovePath(path, true);
        }
        return;
    }
    if (IsEditorScratchName(name))
        return;
    if (mask & IN_MODIFY) {
        // Written to but not closed: not ready, and no reason to wait for it either
        // (a file held open and appended to would otherwise delay every batch).
        Pending& p = Touch(path, false);
        p.state = State::Writing;
        p.written = true;
        return;
    }
    lastEvent_ = now;
    if (mask & IN_CREATE) {
        // A new regular file was opened for writing: its close follows. A symbolic
        // or hard link is complete at once; other kinds of file are not synchronised.
        struct stat st {};
        const std::string absolute = JoinLocalPath(root_, path);
        const bool known = lstat(absolute.c_str(), &st) == 0;
        if (known && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
            return;
        Pending& p = Touch(path, true);
        p.state = known && (S_ISLNK(st.st_mode) || st.st_nlink > 1) ? State::Written : State::Writing;
        p.written = true;
    } else if (mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB)) {
        Pending& p = Touch(path, (mask & IN_MOVED_TO) != 0);
        p.state = State::Written;
        p.written = p.written || (mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0;
    } else if (mask & (IN_DELETE | IN_MOVED_FROM)) {
        RemovePath(path, false);
    }
}

void LocalWatcher::ReadEvents() {
    alignas(inotify_event) char buffer[64 * 1024];
    while (true) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // EAGAIN: nothing more queued
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            // The name is padded with NULs to the record's length.
            const std::string_view name = event->len > 0 ? std::string_view(event->name) : std::string_view();
            HandleEvent(event->wd, event->mask, name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

bool LocalWatcher::HasReady() const {
    if (overflow_ || !unwatched_.empty())
        return true;
    return std::any_of(pending_.begin(), pending_.end(), [](const auto& entry) {
        return entry.second.state == State::Written || entry.second.state == State::Removed;
    });
}

LocalWatcher::Changes LocalWatcher::TakeReady() {
    Changes changes;
    for (auto it = pending_.begin(); it != pending_.end();) {
        const Pending& p = it->second;
        if (p.state == State::Writing) {
            ++it;  // reported once closed
            continue;
        }
        if (p.state == State::Removed || p.directoryRemoved)
            changes.removed.push_back(it->first);
        if (p.state == State::Written)
            changes.changed.push_back(it->first);
        if (p.state == State::Written && !p.written)
            changes.touched.push_back(it->first);
        it = pending_.erase(it);
    }
    changes.unwatched = std::move(unwatched_);
    std::sort(changes.unwatched.begin(), changes.unwatched.end());
    changes.unwatched.erase(std::unique(changes.unwatched.begin(), changes.unwatched.end()), changes.unwatched.end());
    changes.unwatchedReason = std::move(unwatchedReason_);
    changes.overflow = overflow_;
    unwatched_.clear();
    unwatchedReason_.clear();
    overflow_ = false;
    return changes;
}

std::optional<LocalWatcher::Changes> LocalWatcher::Next(std::chrono::milliseconds timeout,
                                                        const std::function<bool()>& cancelled) {
    if (fd_ < 0)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        ReadEvents();
        if (cancelled && cancelled())
            return std::nullopt;
        const auto now = std::chrono::steady_clock::now();
        const bool ready = HasReady();
        if (ready && now - lastEvent_ >= quiet_)
            return TakeReady();
        if (now >= deadline)
            return std::nullopt;
        auto wait = std::min<std::chrono::steady_clock::duration>(kPollSlice, deadline - now);
        if (ready)
            wait = std::min<std::chrono::steady_clock::duration>(wait, lastEvent_ + quiet_ - now);
        pollfd p{fd_, POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
    }
}

}  // namespace kestrum
