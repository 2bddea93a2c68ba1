#include "sftp/sftp_packets.h"

namespace kestrum::sftp {

namespace {

constexpr uint32_t kAttrSize = 0x00000001;
constexpr uint32_t kAttrUidGid = 0x00000002;
constexpr uint32_t kAttrPermissions = 0x00000004;
constexpr uint32_t kAttrTimes = 0x00000008;
constexpr uint32_t kAttrExtended = 0x80000000;

void PutU32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFFU));
    }
}

}  // namespace

Writer::Writer(Type type, uint32_t id) : id_(id) {
    body_.push_back(static_cast<char>(type));
    PutU32(body_, id);
}

Writer Writer::Init(uint32_t version) {
    Writer writer;
    writer.body_.push_back(static_cast<char>(Type::Init));
    PutU32(writer.body_, version);
    return writer;
}

Writer& Writer::U32(uint32_t value) {
    PutU32(body_, value);
    return *this;
}

Writer& Writer::U64(uint64_t value) {
    PutU32(body_, static_cast<uint32_t>(value >> 32));
    PutU32(body_, static_cast<uint32_t>(value & 0xFFFFFFFFU));
    return *this;
}

Writer& Writer::Str(std::string_view value) {
    PutU32(body_, static_cast<uint32_t>(value.size()));
    body_.append(value);
    return *this;
}

Writer& Writer::Attrs(const Attributes& attributes) {
    uint32_t flags = 0;
    flags |= attributes.size ? kAttrSize : 0;
    flags |= attributes.permissions ? kAttrPermissions : 0;
    // Both times or neither.
    flags |= attributes.mtime && attributes.atime ? kAttrTimes : 0;
    U32(flags);
    if (attributes.size) {
        U64(*attributes.size);
    }
    if (attributes.permissions) {
        U32(*attributes.permissions);
    }
    if ((flags & kAttrTimes) != 0) {
        U32(*attributes.atime);
        U32(*attributes.mtime);
    }
    return *this;
}

std::string Writer::Bytes() const {
    std::string out;
    PutU32(out, static_cast<uint32_t>(body_.size()));
    return out + body_;
}

std::optional<std::string_view> Reader::Take(size_t bytes) {
    if (failed_ || rest_.size() < bytes) {
        failed_ = true;
        return std::nullopt;
    }
    std::string_view taken = rest_.substr(0, bytes);
    rest_.remove_prefix(bytes);
    return taken;
}

std::optional<uint8_t> Reader::U8() {
    const auto bytes = Take(1);
    return bytes ? std::optional<uint8_t>(static_cast<uint8_t>((*bytes)[0])) : std::nullopt;
}

std::optional<uint32_t> Reader::U32() {
    const auto bytes = Take(4);
    if (!bytes) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (const char c : *bytes) {
        value = (value << 8) | static_cast<uint8_t>(c);
    }
    return value;
}

std::optional<uint64_t> Reader::U64() {
    const auto high = U32();
    const auto low = U32();
    if (!high || !low) {
        return std::nullopt;
    }
    return (static_cast<uint64_t>(*high) << 32) | *low;
}

std::optional<std::string> Reader::Str() {
    const auto length = U32();
    if (!length) {
        return std::nullopt;
    }
    const auto bytes = Take(*length);
    return bytes ? std::optional<std::string>(std::string(*bytes)) : std::nullopt;
}

std::optional<Attributes> Reader::Attrs() {
    const auto flags = U32();
    if (!flags) {
        return std::nullopt;
    }
    Attributes attributes;
    if ((*flags & kAttrSize) != 0) {
        attributes.size = U64();
    }
    if ((*flags & kAttrUidGid) != 0) {
        U32();
        U32();
    }
    if ((*flags & kAttrPermissions) != 0) {
        attributes.permissions = U32();
    }
    if ((*flags & kAttrTimes) != 0) {
        attributes.atime = U32();
        attributes.mtime = U32();
    }
    if ((*flags & kAttrExtended) != 0) {
        const auto count = U32();
        for (uint32_t i = 0; count && i < *count && !failed_; ++i) {
            Str();
            Str();
        }
    }
    if (failed_) {
        return std::nullopt;
    }
    return attributes;
}

std::optional<std::string> NextPacket(std::string& arrived, size_t limit, bool& tooLong) {
    tooLong = false;
    if (arrived.size() < 4) {
        return std::nullopt;
    }
    Reader header(std::string_view(arrived).substr(0, 4));
    const uint32_t length = *header.U32();
    if (length > limit || length == 0) {
        tooLong = true;
        return std::nullopt;
    }
    if (arrived.size() < 4 + static_cast<size_t>(length)) {
        return std::nullopt;
    }
    std::string body = arrived.substr(4, length);
    arrived.erase(0, 4 + static_cast<size_t>(length));
    return body;
}

std::optional<Reply> ParseReply(std::string_view body) {
    Reader in(body);
    Reply reply;
    const auto type = in.U8();
    const auto id = in.U32();
    if (!type || !id) {
        return std::nullopt;
    }
    reply.type = static_cast<Type>(*type);
    reply.id = *id;
    switch (reply.type) {
        case Type::Status: {
            const auto code = in.U32();
            if (!code) {
                return std::nullopt;
            }
            reply.code = static_cast<Code>(*code);
            // Some servers end the packet after the code.
            if (!in.AtEnd()) {
                reply.message = in.Str().value_or("");
            }
            break;
        }
        case Type::Handle:
        case Type::Data: {
            auto bytes = in.Str();
            if (!bytes) {
                return std::nullopt;
            }
            reply.bytes = std::move(*bytes);
            break;
        }
        case Type::Name: {
            const auto count = in.U32();
            for (uint32_t i = 0; count && i < *count; ++i) {
                auto name = in.Str();
                in.Str();  // the long form, as ls prints it
                auto attributes = in.Attrs();
                if (!name || !attributes) {
                    return std::nullopt;
                }
                reply.names.push_back({std::move(*name), *attributes});
            }
            if (!count) {
                return std::nullopt;
            }
            break;
        }
        case Type::Attrs: {
            const auto attributes = in.Attrs();
            if (!attributes) {
                return std::nullopt;
            }
            reply.attributes = *attributes;
            break;
        }
        case Type::ExtendedReply:
            reply.bytes = std::string(body.substr(5));
            break;
        default:
            return std::nullopt;
    }
    return reply;
}

std::optional<std::pair<uint32_t, std::vector<std::pair<std::string, std::string>>>> ParseVersion(
    std::string_view body) {
    Reader in(body);
    const auto type = in.U8();
    const auto version = in.U32();
    if (!type || *type != static_cast<uint8_t>(Type::Version) || !version) {
        return std::nullopt;
    }
    std::vector<std::pair<std::string, std::string>> extensions;
    while (!in.AtEnd()) {
        auto name = in.Str();
        auto data = in.Str();
        if (!name || !data) {
            return std::nullopt;
        }
        extensions.emplace_back(std::move(*name), std::move(*data));
    }
    return std::make_pair(*version, std::move(extensions));
}

namespace {

const char* TypeName(uint8_t type) {
    static constexpr std::pair<Type, const char*> kNames[] = {{Type::Init, "INIT"},
                                                              {Type::Version, "VERSION"},
                                                              {Type::Open, "OPEN"},
                                                              {Type::Close, "CLOSE"},
                                                              {Type::Read, "READ"},
                                                              {Type::Write, "WRITE"},
                                                              {Type::Lstat, "LSTAT"},
                                                              {Type::Fstat, "FSTAT"},
                                                              {Type::Setstat, "SETSTAT"},
                                                              {Type::Fsetstat, "FSETSTAT"},
                                                              {Type::Opendir, "OPENDIR"},
                                                              {Type::Readdir, "READDIR"},
                                                              {Type::Remove, "REMOVE"},
                                                              {Type::Mkdir, "MKDIR"},
                                                              {Type::Rmdir, "RMDIR"},
                                                              {Type::Realpath, "REALPATH"},
                                                              {Type::Stat, "STAT"},
                                                              {Type::Rename, "RENAME"},
                                                              {Type::Status, "STATUS"},
                                                              {Type::Handle, "HANDLE"},
                                                              {Type::Data, "DATA"},
                                                              {Type::Name, "NAME"},
                                                              {Type::Attrs, "ATTRS"},
                                                              {Type::Extended, "EXTENDED"},
                                                              {Type::ExtendedReply, "EXTENDED_REPLY"}};
    for (const auto& [known, name] : kNames) {
        if (static_cast<uint8_t>(known) == type) {
            return name;
        }
    }
    return "?";
}

}  // namespace

std::string Describe(std::string_view body) {
    Reader in(body);
    const auto type = in.U8();
    if (!type) {
        return "?";
    }
    std::string line = TypeName(*type);
    const auto id = in.U32();  // INIT and VERSION: the version
    if (id) {
        line += " " + std::to_string(*id);
    }
    auto text = [&](std::optional<std::string> value) {
        if (value) {
            line += " " + *value;
        }
    };
    switch (static_cast<Type>(*type)) {
        case Type::Open:
        case Type::Opendir:
        case Type::Stat:
        case Type::Lstat:
        case Type::Setstat:
        case Type::Remove:
        case Type::Mkdir:
        case Type::Rmdir:
        case Type::Realpath:
        case Type::Extended:  // its name, then (posix-rename) both paths
            text(in.Str());
            if (static_cast<Type>(*type) != Type::Extended) {
                break;
            }
            [[fallthrough]];
        case Type::Rename:
            text(in.Str());
            text(in.Str());
            break;
        case Type::Read:
        case Type::Write: {
            in.Str();
            const auto offset = in.U64();
            const auto length = in.U32();  // READ's length; WRITE's data begins with it
            if (offset && length) {
                line += " @" + std::to_string(*offset) + " " + std::to_string(*length);
            }
            break;
        }
        case Type::Status: {
            const auto code = in.U32();
            if (code) {
                line += " " + std::to_string(*code);
            }
            if (!in.AtEnd()) {
                text(in.Str());
            }
            break;
        }
        case Type::Data:
            if (const auto bytes = in.Str()) {
                line += " (" + std::to_string(bytes->size()) + ")";
            }
            break;
        case Type::Name:
            if (const auto count = in.U32()) {
                line += " (" + std::to_string(*count) + ")";
            }
            break;
        default:
            break;
    }
    // A trace line holds no line breaks or other control characters.
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return line;
}

}  // namespace kestrum::sftp
