#pragma once
// The local tree scan: depth-first, pre-order, in the platform's listing order.

#include <functional>
#include <string>
#include <vector>

#include "localfs/file_entry.h"

namespace kestrum {

class LocalFileSystem;
class RunLog;
struct RunSettings;

struct LocalScanOptions {
    bool subdirs = false;
    const std::vector<std::string>* excludedExtensions = nullptr;  // upper-cased
    // Told of each file left out for its extension (a preview reports them).
    std::function<void(const std::string&)> onExcluded;
    // When given, receives the paths of hidden files named like a download's
    // temporary file (never scanned as files).
    std::vector<std::string>* downloadTemps = nullptr;
};

// Appends the files below home to out. Returns 0, or -1 when home itself cannot
// be listed (nothing added). Each file is logged (a tab and the relative name)
// when log is given. Relative directories that could not be listed are added to
// unlisted when given.
int ScanLocalTree(LocalFileSystem& fs, const std::string& home, const LocalScanOptions& options, FileList& out,
                  RunLog* log, std::vector<std::string>* unlisted);

}  // namespace kestrum
