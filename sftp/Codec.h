#pragma once
// The client's side of one SFTP conversation as bytes in and replies out, without sockets:
// requests are numbered and queued as bytes to send; bytes received are framed, decoded and each
// reply matched to the request it answers. Many requests may be in flight at once.
//
// A reply that answers no waiting request, or answers one with a type that request never gets
// (a HANDLE for a READ, DATA longer than asked for), throws ProtocolError: the conversation can
// no longer be trusted and is to be ended.
#include "sftp/Framer.h"
#include "sftp/Replies.h"
#include "sftp/Requests.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace sftp {

class Codec {
public:
    explicit Codec(size_t maxPacketLength = kMaxPacketLength) : framer_(maxPacketLength) {}

    // Queues INIT; the first reply must then be VERSION 3.
    void Start();
    bool Started() const { return versionSeen_; }

    // Numbers a request, queues the packet `encode(id)` makes, and returns the id. For a READ,
    // `readLength` is what it asked for: a longer DATA is refused.
    template <typename Encode>
    uint32_t Send(PacketType request, Encode&& encode, uint32_t readLength = 0)
    {
        const uint32_t id = FreeId();
        Queue(encode(id));
        pending_[id] = Pending{request, readLength};
        return id;
    }

    // Bytes queued to go out; Sent(n) drops the first n of them.
    std::string_view Outgoing() const { return std::string_view(out_).substr(outStart_); }
    void Sent(size_t count);

    void Feed(std::string_view bytes) { framer_.Feed(bytes); }
    // The next whole reply, matched to its request (Reply::request), or nothing yet.
    std::optional<Reply> Next();

    size_t InFlight() const { return pending_.size(); }
    // Forgets every waiting request (after the conversation ended).
    void Reset();

private:
    struct Pending {
        PacketType request;
        uint32_t readLength;
    };
    uint32_t FreeId();
    void Queue(std::string packet);
    void Match(Reply& reply);

    Framer framer_;
    std::string out_;
    size_t outStart_ = 0;
    std::unordered_map<uint32_t, Pending> pending_;
    uint32_t nextId_ = 1;
    bool initSent_ = false;
    bool versionSeen_ = false;
};

} // namespace sftp
