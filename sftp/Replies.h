#pragma once
// The server's replies, decoded from one packet with every field bounds-checked: a packet that
// is short, has bytes left over, or claims more than it holds throws ProtocolError.
#include "sftp/Attributes.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sftp {

struct NameEntry {
    std::string name;
    std::string longName; // the server's `ls -l` line; only for people
    Attributes attributes;
};

// One reply; which fields mean something depends on `type`.
struct Reply {
    PacketType type = PacketType::Status;
    // The request this answers (Codec fills it in); for VERSION, Init.
    PacketType request = PacketType::Init;
    uint32_t id = 0; // for VERSION: the server's version
    StatusCode status = StatusCode::Ok;
    std::string message;                                         // STATUS
    std::string handle;                                          // HANDLE
    std::string data;                                            // DATA
    std::vector<NameEntry> names;                                // NAME
    Attributes attributes;                                       // ATTRS
    std::vector<std::pair<std::string, std::string>> extensions; // VERSION
};

// `packet` is the type byte and its fields (the length already taken off by Framer).
Reply DecodeReply(std::string_view packet);

// The text of a status code, for messages ("No such file", ...).
std::string StatusText(StatusCode code);

} // namespace sftp
