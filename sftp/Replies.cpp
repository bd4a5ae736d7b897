#include "sftp/Replies.h"

namespace sftp {

namespace {

void ReadStatus(Reader& reader, Reply& reply)
{
    reply.status = static_cast<StatusCode>(reader.U32());
    // Some old servers end the packet after the code; the message and its language tag are
    // otherwise both there.
    if (reader.Remaining() == 0) return;
    reply.message = reader.String();
    reader.String(); // language tag
}

void ReadNames(Reader& reader, Reply& reply)
{
    // An entry takes at least 12 bytes (two empty strings and empty flags): a count past what
    // the packet can hold is refused before anything is kept for it.
    const uint32_t count = reader.U32();
    if (count > reader.Remaining() / 12)
        throw ProtocolError(Fault::Truncated, "a NAME reply counts more entries than it holds");
    for (uint32_t i = 0; i < count; ++i) {
        NameEntry entry;
        entry.name = reader.String();
        entry.longName = reader.String();
        entry.attributes = ReadAttributes(reader);
        reply.names.push_back(std::move(entry));
    }
}

} // namespace

Reply DecodeReply(std::string_view packet)
{
    Reader reader(packet);
    if (packet.empty()) throw ProtocolError(Fault::Empty, "a packet without a type");
    Reply reply;
    const uint8_t type = reader.U8();
    reply.type = static_cast<PacketType>(type);
    switch (reply.type) {
    case PacketType::Version:
        reply.id = reader.U32();
        while (reader.Remaining() > 0) {
            std::string name = reader.String();
            reply.extensions.emplace_back(std::move(name), reader.String());
        }
        break;
    case PacketType::Status:
        reply.id = reader.U32();
        ReadStatus(reader, reply);
        break;
    case PacketType::Handle:
        reply.id = reader.U32();
        reply.handle = reader.String();
        // The protocol bounds a handle at 256 bytes; we send it with every request.
        if (reply.handle.size() > 256)
            throw ProtocolError(Fault::TooLong,
                                "a handle of " + std::to_string(reply.handle.size()) + " bytes");
        break;
    case PacketType::Data:
        reply.id = reader.U32();
        reply.data = reader.String();
        break;
    case PacketType::Name:
        reply.id = reader.U32();
        ReadNames(reader, reply);
        break;
    case PacketType::Attrs:
        reply.id = reader.U32();
        reply.attributes = ReadAttributes(reader);
        break;
    default: throw ProtocolError(Fault::UnknownType, "a reply of type " + std::to_string(type));
    }
    reader.End();
    return reply;
}

std::string StatusText(StatusCode code)
{
    switch (code) {
    case StatusCode::Ok: return "Success";
    case StatusCode::Eof: return "End of file";
    case StatusCode::NoSuchFile: return "No such file";
    case StatusCode::PermissionDenied: return "Permission denied";
    case StatusCode::Failure: return "Failure";
    case StatusCode::BadMessage: return "Bad message";
    case StatusCode::NoConnection: return "No connection";
    case StatusCode::ConnectionLost: return "Connection lost";
    case StatusCode::OpUnsupported: return "Operation unsupported";
    }
    return "Status " + std::to_string(static_cast<uint32_t>(code));
}

} // namespace sftp
