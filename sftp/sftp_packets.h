#pragma once
// SFTP version 3 packets: what a client writes and reads on the "sftp"
// subsystem channel. Every packet is a uint32 length, a type byte and (but
// for INIT and VERSION) a uint32 request id; the rest depends on the type.
// Numbers are big-endian, strings a uint32 length and their bytes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrum::sftp {

enum class Type : uint8_t {
    Init = 1,
    Version = 2,
    Open = 3,
    Close = 4,
    Read = 5,
    Write = 6,
    Lstat = 7,
    Fstat = 8,
    Setstat = 9,
    Fsetstat = 10,
    Opendir = 11,
    Readdir = 12,
    Remove = 13,
    Mkdir = 14,
    Rmdir = 15,
    Realpath = 16,
    Stat = 17,
    Rename = 18,
    Status = 101,
    Handle = 102,
    Data = 103,
    Name = 104,
    Attrs = 105,
    Extended = 200,
    ExtendedReply = 201,
};

// STATUS codes.
enum class Code : uint32_t {
    Ok = 0,
    Eof = 1,
    NoSuchFile = 2,
    PermissionDenied = 3,
    Failure = 4,
    BadMessage = 5,
    NoConnection = 6,
    ConnectionLost = 7,
    OpUnsupported = 8,
};

// OPEN flags.
inline constexpr uint32_t kOpenRead = 0x01;
inline constexpr uint32_t kOpenWrite = 0x02;
inline constexpr uint32_t kOpenCreate = 0x08;
inline constexpr uint32_t kOpenTruncate = 0x10;

// A file's attributes; each is present when its flag was sent.
struct Attributes {
    std::optional<uint64_t> size;
    std::optional<uint32_t> permissions;  // with the file type bits (S_IFDIR, ...)
    std::optional<uint32_t> mtime;        // seconds since the epoch, UTC
    std::optional<uint32_t> atime;

    bool IsDirectory() const { return permissions && (*permissions & 0170000U) == 0040000U; }
    bool IsRegular() const { return permissions && (*permissions & 0170000U) == 0100000U; }
};

struct NameEntry {
    std::string name;  // the bare name (READDIR) or the path (REALPATH)
    Attributes attributes;
};

// A packet being written: Begin, the fields, then Bytes() for the wire.
class Writer {
  public:
    // A request with its id.
    Writer(Type type, uint32_t id);
    // INIT, which carries the version instead of an id.
    static Writer Init(uint32_t version);

    Writer& U32(uint32_t value);
    Writer& U64(uint64_t value);
    Writer& Str(std::string_view value);
    // Only the attributes that are set.
    Writer& Attrs(const Attributes& attributes);
    // The packet with its length in front.
    std::string Bytes() const;
    uint32_t id() const { return id_; }

  private:
    Writer() = default;
    std::string body_;
    uint32_t id_ = 0;
};

// A packet being read. Every getter returns nothing once the packet is too
// short for what is asked, and the reader stays failed.
class Reader {
  public:
    explicit Reader(std::string_view body) : rest_(body) {}

    std::optional<uint8_t> U8();
    std::optional<uint32_t> U32();
    std::optional<uint64_t> U64();
    std::optional<std::string> Str();
    std::optional<Attributes> Attrs();
    bool Failed() const { return failed_; }
    bool AtEnd() const { return rest_.empty(); }

  private:
    std::optional<std::string_view> Take(size_t bytes);
    std::string_view rest_;
    bool failed_ = false;
};

// Splits whole packets off the front of what arrived: the body of the next
// one (type, id and the rest, without the length), or nothing while it is
// not complete. A length beyond limit is refused (true in tooLong).
std::optional<std::string> NextPacket(std::string& arrived, size_t limit, bool& tooLong);

// One line for a protocol trace of a packet body (request or reply): its
// type and id, then a request's path (both of a rename), the offset and
// length of a READ or WRITE, a status's code and message, or how many names
// or bytes a reply holds. Handles are not shown.
std::string Describe(std::string_view body);

// A reply's parts, read from a packet body.
struct Reply {
    Type type{};
    uint32_t id = 0;
    // STATUS
    Code code = Code::Ok;
    std::string message;
    // HANDLE and DATA
    std::string bytes;
    // NAME
    std::vector<NameEntry> names;
    // ATTRS
    Attributes attributes;
};

// A reply the client can read; nothing for a malformed one.
std::optional<Reply> ParseReply(std::string_view body);

// The VERSION packet's version and extension pairs; nothing when malformed.
std::optional<std::pair<uint32_t, std::vector<std::pair<std::string, std::string>>>> ParseVersion(
    std::string_view body);

}  // namespace kestrum::sftp
