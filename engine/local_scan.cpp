#include "engine/local_scan.h"

#include <utility>

#include "engine/run_log.h"
#include "engine/run_settings.h"
#include "ftp/ftp_client.h"
#include "localfs/local_fs.h"
#include "res/codepage.h"

namespace kestrum {

namespace {

struct DirId {
    uint64_t device;
    uint64_t inode;
    bool operator==(const DirId&) const = default;
};

class LocalScanner {
  public:
    LocalScanner(LocalFileSystem& fs, const std::string& home, const LocalScanOptions& options, FileList& out,
                 RunLog* log, std::vector<std::string>* unlisted)
        : fs_(fs), home_(home), options_(options), out_(out), log_(log), unlisted_(unlisted) {}

    int ScanLocalTree() {
        if (auto status = fs_.GetStatus(home_.empty() ? std::string("/") : home_); status && status->isDirectory) {
            path_.push_back({status->device, status->inode});
        }
        return ScanLocalSubtree("");
    }

  private:
    // One directory given relative to the home directory, and everything below it.
    int ScanLocalSubtree(const std::string& relativeDir) {
        std::vector<LocalDirEntry> entries;
        const std::string dir = relativeDir.empty() ? home_ : JoinLocalPath(home_, relativeDir);
        if (!fs_.ListDirectory(dir.empty() ? std::string("/") : dir, entries))
            return -1;
        for (const LocalDirEntry& entry : entries) {
            if (entry.hidden && !entry.isDirectory && options_.downloadTemps != nullptr &&
                IsDownloadTempName(entry.name))
                options_.downloadTemps->push_back(JoinLocalPath(dir, entry.name));
            if (entry.hidden || entry.dangling)
                continue;
            const std::string relative = relativeDir.empty() ? entry.name : JoinLocalPath(relativeDir, entry.name);
            if (entry.isDirectory) {
                if (!options_.subdirs)
                    continue;
                const DirId id{entry.device, entry.inode};
                bool onPath = false;
                for (const DirId& p : path_)
                    onPath = onPath || p == id;
                if (onPath)
                    continue;  // a link back to a directory being scanned
                path_.push_back(id);
                if (ScanLocalSubtree(relative) < 0 && unlisted_ != nullptr)
                    unlisted_->push_back(relative);
                path_.pop_back();
                continue;
            }
            const std::string ext = UpperAscii(ExtensionOf(relative));
            if (options_.excludedExtensions != nullptr && ExtensionListed(*options_.excludedExtensions, ext)) {
                if (options_.onExcluded)
                    options_.onExcluded(relative);
                continue;
            }
            out_.push_back(FileEntry{relative, entry.lastWriteTime});
            if (log_ != nullptr)
                log_->AppendLogLine("\t" + PrintableName(relative));
        }
        return 0;
    }

    LocalFileSystem& fs_;
    const std::string& home_;
    const LocalScanOptions& options_;
    FileList& out_;
    RunLog* log_;
    std::vector<std::string>* unlisted_;
    std::vector<DirId> path_;
};

}  // namespace

int ScanLocalTree(LocalFileSystem& fs, const std::string& home, const LocalScanOptions& options, FileList& out,
                  RunLog* log, std::vector<std::string>* unlisted) {
    LocalScanner scanner(fs, home, options, out, log, unlisted);
    return scanner.ScanLocalTree();
}

}  // namespace kestrum
