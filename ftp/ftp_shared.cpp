#include "ftp/ftp_shared.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>

#include "ftp/ftp_listing.h"
#include "ftp/ftp_paths.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

void FtpConnection::RenameSoon(const std::string& from, const std::string& to, int mode) {
    RenameOutcome outcome{from, to, false, false, {}, mode, false};
    outcome.modeSet = mode >= 0 && SetMode(from, mode);
    outcome.renamed = Rename(from, to);
    if (!outcome.renamed) {
        outcome.error = LastError();
    }
    renamed_.push_back(std::move(outcome));
}

void FtpConnection::StoredSoon(const std::string& path) {
    checked_.push_back({path, Stored(path)});
}

bool HasLineBreakOrNul(const std::string& text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
}

namespace {

constexpr std::string_view kTempPrefix = ".kestrum-";
constexpr std::string_view kTempSuffix = ".part";

std::string DownloadTempName(pid_t pid, unsigned n) {
    return std::string(kTempPrefix) + std::to_string(pid) + "-" + std::to_string(n) + std::string(kTempSuffix);
}

// A decimal number as std::to_string writes it (no sign, no leading zero), up to max.
std::optional<unsigned long long> PlainNumber(std::string_view digits, unsigned long long max) {
    if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) {
        return std::nullopt;
    }
    unsigned long long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    return value <= max ? std::optional(value) : std::nullopt;
}

// The process that made a download's temporary file of this name, or 0 when
// the name has any other form.
pid_t DownloadTempOwner(std::string_view name) {
    if (name.size() <= kTempPrefix.size() + kTempSuffix.size() || !name.starts_with(kTempPrefix) ||
        !name.ends_with(kTempSuffix)) {
        return 0;
    }
    name.remove_prefix(kTempPrefix.size());
    name.remove_suffix(kTempSuffix.size());
    const size_t dash = name.find('-');
    if (dash == std::string_view::npos) {
        return 0;
    }
    auto pid = PlainNumber(name.substr(0, dash), INT_MAX);
    auto n = PlainNumber(name.substr(dash + 1), UINT_MAX);
    return pid && n ? static_cast<pid_t>(*pid) : 0;
}

}  // namespace

bool IsDownloadTempName(std::string_view name) {
    return DownloadTempOwner(name) > 0;
}

namespace {
constexpr std::string_view kUploadTempPrefix = ".kestrum-upload-";
constexpr size_t kUploadTempDigits = 16;
}  // namespace

std::string UploadTempName() {
    // Random, so that no two uploads (of this run, another run or another
    // machine) share a name; hidden where the server hides dot names.
    static std::mutex mutex;
    static std::mt19937_64 generator{
        std::random_device{}() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
    uint64_t value = 0;
    {
        std::lock_guard lock(mutex);
        value = generator();
    }
    char digits[kUploadTempDigits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(value));
    return std::string(kUploadTempPrefix) + digits;
}

bool IsUploadTempName(std::string_view name) {
    if (name.size() != kUploadTempPrefix.size() + kUploadTempDigits || !name.starts_with(kUploadTempPrefix)) {
        return false;
    }
    name.remove_prefix(kUploadTempPrefix.size());
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool RemoveLeftoverDownload(const std::string& path) {
    const pid_t owner = DownloadTempOwner(std::filesystem::path(path).filename().native());
    if (owner <= 0 || kill(owner, 0) == 0 || errno != ESRCH) {
        return false;  // not such a file, or its process may still be writing it
    }
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && unlink(path.c_str()) == 0;
}

int PartialDownloads::Create(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (closed_) {
        errno = ECANCELED;
        return -1;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        paths_.push_back(path);
    }
    return fd;
}

void PartialDownloads::Forget(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::erase(paths_, path);
}

void PartialDownloads::RemoveAll() {
    std::lock_guard lock(mutex_);
    for (const std::string& path : paths_) {
        unlink(path.c_str());
    }
    paths_.clear();
    closed_ = true;
}

std::optional<int64_t> SizeFromReply(int code, const std::string& lastLine) {
    if (code != 213 || lastLine.size() <= 4) {
        return std::nullopt;
    }
    const std::string digits = lastLine.substr(4);
    if (digits.size() > 18 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::stoll(digits);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> PathRefusal(const std::string& path) {
    if (HasLineBreakOrNul(path)) {
        return FormatString(msg::kPathHasLineBreakOrNul, {PrintableName(path)});
    }
    // Other control bytes, and a path longer than any server takes in one
    // command, would only fail there: both are refusals of this path alone,
    // never a failure of the connection.
    if (!IsSendablePath(path)) {
        return FormatString(msg::kPathUnsendable, {PrintableName(CutToBytes(path, 200))});
    }
    return std::nullopt;
}

TempDownload::~TempDownload() {
    if (file_) {
        std::fclose(file_);
    }
    if (!path_.empty() && !committed_) {
        unlink(path_.c_str());
    }
    if (!path_.empty() && partials_) {
        partials_->Forget(path_);
    }
}

bool TempDownload::Create(const std::string& target, std::string& error) {
    std::string dir = std::filesystem::path(target).parent_path().string();
    if (dir.empty()) {
        dir = ".";
    }
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = dir + "/" + DownloadTempName(getpid(), counter.fetch_add(1));
        int fd = partials_ ? partials_->Create(candidate)
                           : open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            error = FormatString(msg::kTempFileCreateFailed, {candidate}) + ": " + std::strerror(errno);
            return false;
        }
        path_ = candidate;
        file_ = fdopen(fd, "wb");
        if (!file_) {
            error = FormatString(msg::kTempFileCreateFailed, {candidate}) + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        return true;
    }
    error = FormatString(msg::kTempFileCreateFailed, {dir});
    return false;
}

bool TempDownload::Commit(const std::string& target, std::string& error) {
    FILE* file = file_;
    file_ = nullptr;
    struct stat old {};
    if (stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        (void)!fchown(fileno(file), old.st_uid, old.st_gid);
        (void)!fchmod(fileno(file), old.st_mode & 07777);
    }
    if (std::fclose(file) != 0) {
        error = FormatString(msg::kLocalFileReplaceFailed, {target}) + ": " + std::strerror(errno);
        return false;
    }
    if (std::rename(path_.c_str(), target.c_str()) != 0) {
        error = FormatString(msg::kLocalFileReplaceFailed, {target}) + ": " + std::strerror(errno);
        return false;
    }
    committed_ = true;
    return true;
}

std::string DownloadTarget(const std::string& localPath) {
    std::error_code ec;
    if (std::filesystem::is_symlink(localPath, ec)) {
        auto resolved = std::filesystem::canonical(localPath, ec);
        if (!ec) {
            return resolved.string();
        }
    }
    return localPath;
}

long TextUploadReader::Read(char* out, size_t room) {
    if (room < 2) {
        return -1;
    }
    // One byte of room is kept for a CR held back from the previous read.
    raw_.resize(room - 1);
    for (;;) {
        const size_t n = std::fread(raw_.data(), 1, room - 1, file_);
        if (n == 0) {
            if (std::ferror(file_)) {
                return -1;
            }
            if (heldCr_) {
                heldCr_ = false;
                out[0] = '\r';
                ++count_.bytes;
                return 1;
            }
            return 0;
        }
        size_t produced = 0;
        for (size_t i = 0; i < n; ++i) {
            const char c = raw_[i];
            if (heldCr_) {
                heldCr_ = false;
                if (c != '\n') {
                    out[produced++] = '\r';
                }
            }
            if (c == '\r') {
                heldCr_ = true;
            } else {
                out[produced++] = c;
            }
        }
        if (produced > 0) {
            count_.bytes += static_cast<int64_t>(produced);
            count_.lineFeeds += std::count(out, out + produced, '\n');
            return static_cast<long>(produced);  // 0 would read as the end of the file
        }
    }
}

FtpListing EntryFromMlst(const LookupSteps::MlstAnswer& reply, const std::string& target) {
    FtpListing result;
    if (reply.code == 250) {
        for (size_t i = 1; i < reply.lines.size(); ++i) {
            if (!reply.lines[i].empty() && reply.lines[i][0] == ' ') {
                if (auto parsed = ParseMlsxLine(std::string_view(reply.lines[i]).substr(1))) {
                    parsed->name = ServerBaseNameOf(target);
                    AddListedEntry(result, std::move(*parsed));
                }
                break;
            }
        }
        result.status = result.entries.size() == 1 ? ListStatus::Ok : ListStatus::Failed;
    } else {
        result.status = reply.code == 550 ? ListStatus::Missing : ListStatus::Failed;
    }
    if (result.status != ListStatus::Ok) {
        result.error = reply.error;
    }
    return result;
}

FtpListing LookupEntry(LookupSteps& steps, const std::string& target, bool useMlst) {
    FtpListing result;
    if (target == "/") {
        // The root has no parent to be listed in: it exists when it can be entered.
        FtpListing root;
        steps.ListInto("/", root, nullptr);
        result.status = root.status;
        result.error = root.error;
        if (root.status == ListStatus::Ok) {
            FtpEntry entry;
            entry.isDirectory = true;
            result.entries.push_back(entry);
        }
        return result;
    }
    if (useMlst) {
        return EntryFromMlst(steps.Mlst(target), target);
    }
    // Without MLST: "LIST name" answers cheaply for a plain file. Its output
    // is taken only when it is exactly that file's own line; for a directory
    // it shows the contents instead, and servers may read a name as options
    // or a pattern, so anything else is looked up in a listing of the parent.
    // (A directory holding nothing but a file of its own name reads as that
    // file; callers only compare such an entry's time or fail to store over it.)
    const std::string name = ServerBaseNameOf(target);
    if (SafeAsListArgument(name)) {
        FtpListing single;
        steps.ListInto(ServerParentOf(target), single, &name);
        if (single.status == ListStatus::Missing) {
            return single;
        }
        if (single.status == ListStatus::Ok && single.entries.size() == 1 && single.rejectedNames.empty() &&
            single.unparsedLines.empty() && !single.entries[0].isDirectory && single.entries[0].name == name) {
            return single;
        }
    }
    FtpListing parent;
    steps.ListInto(ServerParentOf(target), parent, nullptr);
    result.status = parent.status;
    result.error = parent.error;
    if (parent.status != ListStatus::Ok) {
        return result;
    }
    for (auto& entry : parent.entries) {
        if (entry.name == name) {
            result.entries.push_back(std::move(entry));
            return result;
        }
    }
    for (auto& rejected : parent.rejectedNames) {
        if (rejected == name) {
            result.rejectedNames.push_back(rejected);
            result.status = ListStatus::Failed;
            return result;
        }
    }
    // The name may be behind a line that could not be read.
    result.unparsedLines = std::move(parent.unparsedLines);
    result.status = result.unparsedLines.empty() ? ListStatus::Missing : ListStatus::Failed;
    return result;
}

}  // namespace kestrum
