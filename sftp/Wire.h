#pragma once
// The SFTP version 3 wire format: packet types, status codes, flags, and the two cursors every
// packet is written and read with. A packet is a uint32 length, a type byte and the type's
// fields; numbers are big-endian, strings a uint32 length and that many bytes.
//
// Reading never goes past the packet: a field that does not fit throws ProtocolError, which is
// how a malformed or hostile packet ends the operation that waits for it.
#include "platform/Exception.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace sftp {

inline constexpr uint32_t kProtocolVersion = 3;

enum class PacketType : uint8_t {
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
    Readlink = 19,
    Status = 101,
    Handle = 102,
    Data = 103,
    Name = 104,
    Attrs = 105,
    ExtendedReply = 201,
};

enum class StatusCode : uint32_t {
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

// SSH_FXF_*: how OPEN opens the file.
enum OpenFlags : uint32_t {
    kOpenRead = 0x01,
    kOpenWrite = 0x02,
    kOpenAppend = 0x04,
    kOpenCreate = 0x08,
    kOpenTruncate = 0x10,
    kOpenExclusive = 0x20,
};

// What a packet from the server got wrong.
enum class Fault : uint8_t {
    Truncated,       // a field runs past the end of the packet
    TrailingBytes,   // bytes left over after the last field
    TooLong,         // a length past the limit we accept
    Empty,           // a packet of length 0 (not even a type)
    UnknownType,     // a reply type this client never asked for
    UnknownRequest,  // a reply to a request id that is not waiting
    UnexpectedReply, // a reply of a type that does not answer its request
    BadVersion,      // VERSION missing, repeated, or of a version we do not speak
    BadName,         // a directory entry named with '/', a NUL, or nothing
    TooMuchData,     // DATA longer than the READ asked for
};

class ProtocolError : public Exception {
public:
    ProtocolError(Fault fault, const std::string& detail)
        : Exception("Malformed SFTP packet: " + detail, ErrorReason::BadReply), fault_(fault)
    {
    }
    Fault Which() const noexcept { return fault_; }
    const char* ClassName() const noexcept override { return "ProtocolError"; }

private:
    Fault fault_;
};

// Appends fields to a packet. Begin() reserves the length, Finish() fills it in.
class Writer {
public:
    explicit Writer(PacketType type);
    void U8(uint8_t value) { bytes_.push_back(static_cast<char>(value)); }
    void U32(uint32_t value);
    void U64(uint64_t value);
    void String(std::string_view value);
    // The whole packet, length first.
    std::string Finish() &&;

private:
    std::string bytes_;
};

// Reads the fields of one packet (the bytes after its length), never past its end.
class Reader {
public:
    explicit Reader(std::string_view packet) : rest_(packet) {}
    uint8_t U8();
    uint32_t U32();
    uint64_t U64();
    std::string String();
    std::string_view StringView();
    size_t Remaining() const { return rest_.size(); }
    // Throws TrailingBytes unless every byte was read.
    void End() const;

private:
    std::string_view Take(size_t count);
    std::string_view rest_;
};

} // namespace sftp
