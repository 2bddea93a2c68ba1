#pragma once
// Watches a local directory tree with inotify and reports, once the tree has
// been quiet for a while, which files are ready to upload and which are gone.
//
// One watch per directory; symbolic links to directories are not followed.
// A file is ready when it was written and closed, renamed or moved into the
// tree, or had its attributes changed. A file still open for writing (written
// to since its last close) is held back until it is closed, so a half-written
// file is never reported. Editor scratch files are never reported.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrum {

// Whether name (one path component) is a file an editor keeps beside the one
// it edits: backups "f~", vim swap files ".f.swp" (".swo", ".swn", ".swx") and
// its write probe "4913", emacs locks ".#f" and auto-saves "#f#".
bool IsEditorScratchName(std::string_view name);

class LocalWatcher {
  public:
    // Relative paths ("/" separated, below the root), sorted by bytes, each once.
    // A path may be in removed and changed both (a directory replaced by a file):
    // removals come first.
    struct Changes {
        // Files ready to upload, with those found in a directory created or moved
        // in (empty directories are not reported). A file removed and created
        // again is only here.
        std::vector<std::string> changed;
        // Of changed, those whose attributes alone changed (a time stamp, a mode):
        // their contents were not written in this batch.
        std::vector<std::string> touched;
        // Files and directories deleted or moved out of the tree (a directory
        // stands for everything below it). A file changed and then removed is
        // only here; one created and removed again within a batch is nowhere.
        std::vector<std::string> removed;
        // Directories that could not be watched: after the files found in them
        // now, nothing at or below them is reported. unwatchedReason says why.
        std::vector<std::string> unwatched;
        std::string unwatchedReason;
        // Events were lost (the kernel's queue overflowed), or the root itself was
        // deleted, moved or unmounted: the caller must rescan the tree. After an
        // overflow the watches are renewed for the tree as it is now.
        bool overflow = false;
    };

    explicit LocalWatcher(std::string root, std::chrono::milliseconds quiet);
    ~LocalWatcher();
    LocalWatcher(const LocalWatcher&) = delete;
    LocalWatcher& operator=(const LocalWatcher&) = delete;

    // Watches root and every directory below it. False with error set when root
    // cannot be watched or the system's watch limit is reached. A directory below
    // root that cannot be watched for another reason (no permission) does not
    // stop the watcher: it comes in the first batch's unwatched.
    bool Start(std::string& error);

    // Waits until something happened and then quiet passed without further events,
    // and returns that batch. nullopt when timeout passes or cancelled() returns
    // true first (it is asked at least every 250 ms); what was seen so far stays
    // for the next call. cancelled may be empty. Writes to a file still open do
    // not delay a batch.
    std::optional<Changes> Next(std::chrono::milliseconds timeout, const std::function<bool()>& cancelled);

  private:
    enum class State { Written, Writing, Removed, NewDirectory };
    struct Pending {
        State state;
        bool created;           // the batch began with its creation: removing it again leaves nothing
        bool directoryRemoved;  // a directory that was here before the batch was removed
        bool written = false;   // its contents were written (not only its attributes changed)
    };

    void ReadEvents();
    void HandleEvent(int wd, uint32_t mask, std::string_view name);
    Pending& Touch(const std::string& path, bool creation);
    void RemovePath(const std::string& path, bool directory);
    void UnwatchSubtree(const std::string& dir);
    void Rejoin();
    // Watches dir (relative) and the directories below it; reportFiles: the files
    // found are reported as changed. False when the watch limit was reached.
    bool Join(const std::string& dir, bool reportFiles);
    bool HasReady() const;
    Changes TakeReady();

    std::string root_;
    std::chrono::milliseconds quiet_;
    int fd_ = -1;
    int rootWd_ = -1;
    std::unordered_map<int, std::string> dirs_;  // watch descriptor -> relative directory ("" is root)
    std::map<std::string, Pending> pending_;
    std::vector<std::string> unwatched_;
    std::string unwatchedReason_;
    bool overflow_ = false;
    std::chrono::steady_clock::time_point lastEvent_{};
};

}  // namespace kestrum
