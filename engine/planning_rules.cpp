#include "engine/planning_rules.h"

#include "res/codepage.h"

namespace kestrum {

std::vector<std::string> DirectoryPrefixes(std::string_view name, char sep) {
    std::vector<std::string> prefixes;
    const CodePage cp = SystemCodePage();
    for (size_t i = 0; i < name.size();) {
        const size_t len = CharLength(name, i, cp);
        if (len == 1 && name[i] == sep)
            prefixes.emplace_back(name.substr(0, i));
        i += len;
    }
    return prefixes;
}

std::string TopLevelDirectory(std::string_view serverName) {
    const size_t slash = FindFirstChar(serverName, '/');
    if (slash == std::string_view::npos)
        return {};
    return std::string(serverName.substr(0, slash));
}

std::string LocalPathOf(const std::string& dir, const std::string& name) {
    // Only the name inside the tree is brought to local form: a "\" in the
    // home directory's own path is part of a directory name on this system.
    std::string local = name;
    ConvertSeparators(local, 1);
    std::string path = dir;
    if (!path.empty() && path.back() != '/')
        path += '/';
    return path + local;
}

bool IsSafeServerName(std::string_view name) {
    if (name.empty() || name.find('\0') != std::string_view::npos)
        return false;
    if (FindFirstChar(name, '\\') != std::string_view::npos)
        return false;
    size_t start = 0;
    while (true) {
        const size_t slash = name.find('/', start);
        const std::string_view part = name.substr(start, slash == std::string_view::npos ? name.npos : slash - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (slash == std::string_view::npos)
            return true;
        start = slash + 1;
    }
}

bool IsAtOrBelow(std::string_view path, std::string_view dir) {
    if (dir.empty())
        return true;
    if (path.size() < dir.size())
        return false;
    if (!EqualsIgnoreCase(path.substr(0, dir.size()), dir))
        return false;
    return path.size() == dir.size() || path[dir.size()] == '/' || dir.back() == '/';
}

const std::string* FindEnclosingDirectory(std::string_view path, const std::vector<std::string>& dirs) {
    for (const std::string& dir : dirs) {
        if (IsAtOrBelow(path, dir))
            return &dir;
    }
    return nullptr;
}

NameMatcher::NameMatcher(const FileList& own, const FileList& other) {
    exact_.reserve(other.size());
    otherFolded_.reserve(other.size());
    ownFolded_.reserve(own.size());
    for (size_t i = 0; i < other.size(); ++i) {
        exact_.try_emplace(other[i].name, static_cast<long>(i));
        Group& g = otherFolded_[FoldKey(other[i].name)];
        if (g.count++ == 0)
            g.first = static_cast<long>(i);
    }
    for (const FileEntry& e : own)
        ++ownFolded_[FoldKey(e.name)];
}

NameMatcher::Match NameMatcher::Find(std::string_view name) const {
    if (const auto it = exact_.find(std::string(name)); it != exact_.end())
        return {it->second, false};
    const std::string key = FoldKey(name);
    const auto group = otherFolded_.find(key);
    if (group == otherFolded_.end())
        return {};
    const auto own = ownFolded_.find(key);
    const int ownCount = own == ownFolded_.end() ? 1 : own->second;
    if (group->second.count == 1 && ownCount == 1)
        return {group->second.first, false};
    return {-1, true};
}

}  // namespace kestrum
