#pragma once
// Parts of the FTP layer that every connection implementation shares: the
// temporary file a download is written to, the reading of a text-mode
// upload, paths that are never sent, and the lookup of one entry.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftp_client.h"

namespace kestrum {

// The size a SIZE reply gives ("213 <digits>"): nothing for another code or form.
std::optional<int64_t> SizeFromReply(int code, const std::string& lastLine);

bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// Why path is never sent to a server (a line break or NUL, another control
// byte, over-long): the text for LastError(); nothing when it may be sent.
std::optional<std::string> PathRefusal(const std::string& path);

// A hidden temporary file beside a download's target, removed unless committed.
// With partials, the file is recorded there while it exists.
class TempDownload {
  public:
    explicit TempDownload(PartialDownloads* partials) : partials_(partials) {}
    ~TempDownload();
    TempDownload(const TempDownload&) = delete;
    TempDownload& operator=(const TempDownload&) = delete;

    bool Create(const std::string& target, std::string& error);
    FILE* file() const { return file_; }
    // Closes the file and renames it over the target. A file replaced keeps
    // its permission bits, and its owner and group where the user may set them.
    bool Commit(const std::string& target, std::string& error);

  private:
    PartialDownloads* partials_;
    std::string path_;
    FILE* file_ = nullptr;
    bool committed_ = false;
};

// Where a download goes: a link to a file gets the new content in the file
// it points to; the link itself stays.
std::string DownloadTarget(const std::string& localPath);

// Reads a local file for a text-mode upload with LF line ends: a CR directly
// before an LF is dropped, so that a file with CR LF line ends goes out as
// CR LF once the sender turns every LF into CR LF, never as CR CR LF.
class TextUploadReader {
  public:
    explicit TextUploadReader(FILE* file) : file_(file) {}
    // Up to room bytes (room >= 2) into out: their number, 0 at the end of
    // the file, -1 when it cannot be read.
    long Read(char* out, size_t room);
    // The bytes given so far, and the LFs among them.
    const UploadCount& count() const { return count_; }

  private:
    FILE* file_;
    bool heldCr_ = false;
    std::vector<char> raw_;
    UploadCount count_;
};

// The steps a lookup takes on a connection.
class LookupSteps {
  public:
    virtual ~LookupSteps() = default;
    // Lists dir (MLSD or LIST), or with listName the output of "LIST
    // <listName>" in dir; a failure sets the listing's status and error.
    virtual void ListInto(const std::string& dir, FtpListing& listing, const std::string* listName) = 0;
    struct MlstAnswer {
        int code = 0;  // 0 when no reply came
        std::vector<std::string> lines;
        std::string error;  // the text a failure reports
    };
    virtual MlstAnswer Mlst(const std::string& absPath) = 0;
};

// The entry of the normalised absolute path target from its MLST reply.
FtpListing EntryFromMlst(const LookupSteps::MlstAnswer& reply, const std::string& target);

// The entry of the normalised absolute path target, by MLST when useMlst,
// else by "LIST name" or the listing of its parent (see FtpConnection::Lookup).
FtpListing LookupEntry(LookupSteps& steps, const std::string& target, bool useMlst);

}  // namespace kestrum
