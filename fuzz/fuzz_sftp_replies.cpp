// The SFTP codec on arbitrary bytes from a server, fed in two pieces, with requests of every
// reply type waiting: each reply decodes, matches a waiting request, or is refused with a
// ProtocolError; nothing else is thrown, nothing is read past the bytes given. Attributes that
// decode encode back to the same attributes.
#include "sftp/Codec.h"
#include "sftp/Listing.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t cut = input.empty() ? 0 : data[0] % (input.size() + 1);

    sftp::Codec codec(64 * 1024);
    codec.Start();
    const auto path = [](uint32_t id) { return sftp::EncodeStat(id, "p"); };
    codec.Send(sftp::PacketType::Open, path);
    codec.Send(sftp::PacketType::Read, path, 32768);
    codec.Send(sftp::PacketType::Readdir, path);
    codec.Send(sftp::PacketType::Realpath, path);
    codec.Send(sftp::PacketType::Stat, path);
    codec.Send(sftp::PacketType::Remove, path);
    try {
        codec.Feed(input.substr(0, cut));
        while (auto reply = codec.Next()) (void)reply;
        codec.Feed(input.substr(cut));
        while (auto reply = codec.Next()) {
            if (reply->type == sftp::PacketType::Name) {
                std::vector<transfer::RemoteEntry> entries;
                sftp::AppendEntries(reply->names, entries);
                for (const auto& entry : entries)
                    if (entry.name.empty() || entry.name.find('/') != std::string::npos)
                        std::abort();
            }
            if (reply->type == sftp::PacketType::Attrs) {
                sftp::Writer writer(sftp::PacketType::Attrs);
                sftp::WriteAttributes(writer, reply->attributes);
                const std::string packet = std::move(writer).Finish();
                sftp::Reader reader(std::string_view(packet).substr(5));
                if (!(sftp::ReadAttributes(reader) == reply->attributes)) std::abort();
                reader.End();
            }
            if (reply->type == sftp::PacketType::Data && reply->data.size() > 32768) std::abort();
        }
    } catch (const sftp::ProtocolError&) {
    }
    return 0;
}
