#include "sftp/Codec.h"

namespace sftp {

namespace {

// The reply type a request gets when it does not fail (every request may get STATUS).
PacketType SuccessReply(PacketType request)
{
    switch (request) {
    case PacketType::Open:
    case PacketType::Opendir: return PacketType::Handle;
    case PacketType::Read: return PacketType::Data;
    case PacketType::Readdir:
    case PacketType::Realpath:
    case PacketType::Readlink: return PacketType::Name;
    case PacketType::Stat:
    case PacketType::Lstat:
    case PacketType::Fstat: return PacketType::Attrs;
    default: return PacketType::Status;
    }
}

} // namespace

void Codec::Start()
{
    Queue(EncodeInit());
    initSent_ = true;
}

uint32_t Codec::FreeId()
{
    while (pending_.count(nextId_)) ++nextId_;
    return nextId_++;
}

void Codec::Queue(std::string packet)
{
    if (outStart_ == out_.size()) {
        out_.clear();
        outStart_ = 0;
    }
    out_.append(packet);
}

void Codec::Sent(size_t count)
{
    outStart_ += std::min(count, out_.size() - outStart_);
    if (outStart_ > out_.size() / 2) {
        out_.erase(0, outStart_);
        outStart_ = 0;
    }
}

std::optional<Reply> Codec::Next()
{
    auto packet = framer_.Next();
    if (!packet) return std::nullopt;
    Reply reply = DecodeReply(*packet);
    Match(reply);
    return reply;
}

void Codec::Match(Reply& reply)
{
    if (reply.type == PacketType::Version) {
        if (!initSent_ || versionSeen_)
            throw ProtocolError(Fault::BadVersion, "a VERSION nobody asked for");
        if (reply.id != kProtocolVersion)
            throw ProtocolError(Fault::BadVersion,
                                "the server speaks version " + std::to_string(reply.id));
        versionSeen_ = true;
        reply.request = PacketType::Init;
        return;
    }
    if (!versionSeen_) throw ProtocolError(Fault::BadVersion, "a reply before VERSION");
    const auto found = pending_.find(reply.id);
    if (found == pending_.end())
        throw ProtocolError(Fault::UnknownRequest, "a reply to request " +
                                                       std::to_string(reply.id) +
                                                       ", which is not waiting");
    const Pending pending = found->second;
    if (reply.type != PacketType::Status && reply.type != SuccessReply(pending.request))
        throw ProtocolError(Fault::UnexpectedReply,
                            "a reply of type " + std::to_string(static_cast<int>(reply.type)) +
                                " to a request of type " +
                                std::to_string(static_cast<int>(pending.request)));
    if (reply.type == PacketType::Data && reply.data.size() > pending.readLength)
        throw ProtocolError(Fault::TooMuchData, std::to_string(reply.data.size()) +
                                                    " bytes for a READ of " +
                                                    std::to_string(pending.readLength));
    if ((pending.request == PacketType::Realpath || pending.request == PacketType::Readlink) &&
        reply.type == PacketType::Name && reply.names.size() != 1)
        throw ProtocolError(Fault::UnexpectedReply, "a path answered with " +
                                                        std::to_string(reply.names.size()) +
                                                        " names");
    pending_.erase(found);
    reply.request = pending.request;
}

void Codec::Reset()
{
    pending_.clear();
    out_.clear();
    outStart_ = 0;
}

} // namespace sftp
