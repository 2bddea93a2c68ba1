#pragma once
// One file found by a scan or planned for transfer.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kestrum {

// What the transfer list asks of an entry; scan lists hold None.
enum class Direction : int { None = 0, Upload = 1, Download = 2 };

struct FileEntry {
    std::string name;           // relative path; levels joined by the local or the server separator
    int64_t lastWriteTime = 0;  // whole seconds since the epoch
    Direction direction = Direction::None;
    int matched = 0;  // set by planning when the other side has a file of this name
    // On the transfer list: the server's own name when it differs from name other
    // than by separators (a counterpart matched with letter case folded); empty otherwise.
    std::string serverName{};
    // Server records: the listing gave the day but not the time of day.
    bool dateOnly = false;
    // Server records and planned downloads: the size the listing gave; -1 unknown.
    int64_t size = -1;
    // Server records, and planned uploads over a server file: permission bits as listed; -1 unknown.
    int mode = -1;
};

using FileList = std::vector<FileEntry>;
// Upper-cased top-level server directories, head first.
using DirectoryList = std::deque<std::string>;

}  // namespace kestrum
