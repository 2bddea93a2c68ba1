#include "engine/server_lookups.h"

#include "engine/run_state.h"
#include "engine/sync_phases.h"
#include "res/codepage.h"

namespace kestrum {

namespace {

// Parent directory ("" for the current one) and last component of a relative path.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
    const size_t slash = FindLastChar(path, '/');
    if (slash == std::string::npos)
        return {"", path};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

const ServerLookups::Directory& ServerLookups::Listing(const std::string& dir) {
    auto it = directories_.find(dir);
    if (it != directories_.end())
        return it->second;
    // The home is listed first: planning needs it anyway, and it answers for
    // every directory it does not hold.
    if (!dir.empty() && FindLastChar(dir, '/') == std::string::npos && directories_.count("") == 0)
        Listing("");
    if (ParentListsNoSuchName(dir)) {
        Directory missing;
        missing.status = ListStatus::Missing;
        return directories_.emplace(dir, std::move(missing)).first->second;
    }
    FtpListing listing;
    if (dir.empty() && ctx_ != nullptr && ctx_->state.results.probedHomeListing) {
        listing = std::move(*ctx_->state.results.probedHomeListing);
        ctx_->state.results.probedHomeListing.reset();
    } else {
        listing = connection_.List(dir);
    }
    if (ctx_ != nullptr && listing.status == ListStatus::Ok)
        RemoveLeftoverUploads(*ctx_, connection_, dir, listing.entries);
    Directory d;
    d.allNamesListed = listing.rejectedNames.empty();
    d.status = listing.status;
    if (d.status == ListStatus::Missing && ListedAsDirectory(dir)) {
        // Its parent lists it: a refusal worded as "no such directory" leaves
        // its contents unknown, never empty.
        d.status = ListStatus::Failed;
    }
    d.error = listing.error;
    if (d.status == ListStatus::Ok && !listing.unparsedLines.empty()) {
        d.status = ListStatus::Failed;
        if (ctx_ != nullptr)
            LogUnparsedListingLines(*ctx_, dir, listing.unparsedLines);
    }
    for (FtpEntry& e : listing.entries) {
        ++d.foldedNames[FoldKey(e.name)];
        d.byName.emplace(e.name, std::move(e));
    }
    return directories_.emplace(dir, std::move(d)).first->second;
}

bool ServerLookups::ParentListsNoSuchName(const std::string& dir) const {
    if (dir.empty())
        return false;
    const auto [parent, name] = SplitPath(dir);
    const auto it = directories_.find(parent);
    // A name beginning with "." may be left out of a LIST; a name in another
    // letter case may be the same directory on the server.
    return it != directories_.end() && it->second.status == ListStatus::Ok && it->second.allNamesListed &&
           !name.empty() && name[0] != '.' && name != ".." && it->second.foldedNames.count(FoldKey(name)) == 0;
}

bool ServerLookups::ListedAsDirectory(const std::string& dir) {
    // The home directory was entered by the run: it exists.
    if (dir.empty())
        return true;
    const auto [parent, name] = SplitPath(dir);
    const Directory& listed = Listing(parent);
    const auto found = listed.byName.find(name);
    return found != listed.byName.end() && found->second.isDirectory;
}

FtpListing ServerLookups::Lookup(const std::string& path) {
    const auto [parent, name] = SplitPath(path);
    // Absolute paths, paths with "." or ".." levels and names the layer refuses
    // to send are left to the connection.
    if (HasLineBreakOrNul(path) || name.empty() || name == "." || name == ".." || path.front() == '/' ||
        parent.find("..") != std::string::npos)
        return connection_.Lookup(path);
    const Directory& dir = Listing(parent);
    FtpListing result;
    result.status = dir.status;
    result.error = dir.error;
    if (dir.status != ListStatus::Ok)
        return result;
    if (auto found = dir.byName.find(name); found != dir.byName.end()) {
        result.entries.push_back(found->second);
        return result;
    }
    // A name listed in another letter case: a server with case-insensitive
    // names answers for it, a case-sensitive one does not. Ask the server.
    if (dir.foldedNames.count(FoldKey(name)) != 0)
        return connection_.Lookup(path);
    result.status = ListStatus::Missing;
    return result;
}

int ServerLookups::CaseVariants(const std::string& path) {
    const auto [parent, name] = SplitPath(path);
    if (HasLineBreakOrNul(path) || name.empty() || path.front() == '/')
        return 0;
    const Directory& dir = Listing(parent);
    if (dir.status != ListStatus::Ok || dir.byName.count(name) != 0)
        return 0;
    const auto found = dir.foldedNames.find(FoldKey(name));
    return found == dir.foldedNames.end() ? 0 : found->second;
}

void ServerLookups::CreateDirectory(const std::string& path) {
    connection_.CreateDirectorySoon(path);
    const auto [parent, name] = SplitPath(path);
    auto it = directories_.find(parent);
    if (it != directories_.end() && it->second.status == ListStatus::Ok) {
        FtpEntry entry;
        entry.name = name;
        entry.isDirectory = true;
        entry.hidden = !name.empty() && name[0] == '.';
        ++it->second.foldedNames[FoldKey(name)];
        it->second.byName.insert_or_assign(name, entry);
    }
    Directory empty;
    empty.status = ListStatus::Ok;
    empty.allNamesListed = true;
    directories_.insert_or_assign(path, std::move(empty));
}

}  // namespace kestrum
