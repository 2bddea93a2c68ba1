#pragma once
// Lookups of server paths answered from one listing per directory: planning
// then costs one request per server directory instead of one per file and per
// directory prefix, with the same answers as looking each path up by itself,
// except in a directory whose listing holds lines that could not be read:
// every path in it is unknown (Failed), as nothing may be uploaded into it.

#include <string>
#include <unordered_map>

#include "ftp/ftp_client.h"

namespace kestrum {

struct RunContext;

class ServerLookups {
  public:
    // With a run context, the unparsed lines of each listing are logged once.
    explicit ServerLookups(FtpConnection& connection, RunContext* ctx = nullptr) : connection_(connection), ctx_(ctx) {}

    // The path's own entry, as FtpConnection::Lookup gives it.
    FtpListing Lookup(const std::string& path);
    // How many names the path's directory lists that differ from the path's
    // last component in letter case alone (0 when it lists the name itself,
    // or when it could not be listed).
    int CaseVariants(const std::string& path);
    // Makes a directory on the server with the next command (its outcome
    // shows when something is put there), and lists it as made: empty.
    void CreateDirectory(const std::string& path);

  private:
    struct Directory {
        ListStatus status = ListStatus::Failed;
        std::string error;
        std::unordered_map<std::string, FtpEntry> byName;
        std::unordered_map<std::string, int> foldedNames;  // listed names per folded name
        bool allNamesListed = false;                       // no name was dropped as hostile
    };
    // Whether dir is known to be missing from its parent's listing alone.
    bool ParentListsNoSuchName(const std::string& dir) const;
    const Directory& Listing(const std::string& dir);
    // Whether dir's parent lists it as a directory ("" always exists).
    bool ListedAsDirectory(const std::string& dir);

    FtpConnection& connection_;
    RunContext* ctx_;
    std::unordered_map<std::string, Directory> directories_;
};

}  // namespace kestrum
