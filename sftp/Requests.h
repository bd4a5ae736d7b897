#pragma once
// The client's requests, each encoded as one whole packet (length first), ready to send. Pure:
// the request id is the caller's (Codec numbers them).
#include "sftp/Attributes.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace sftp {

std::string EncodeInit(uint32_t version = kProtocolVersion);
std::string EncodeOpen(uint32_t id, std::string_view path, uint32_t flags,
                       const Attributes& attributes = {});
std::string EncodeClose(uint32_t id, std::string_view handle);
std::string EncodeRead(uint32_t id, std::string_view handle, uint64_t offset, uint32_t length);
std::string EncodeWrite(uint32_t id, std::string_view handle, uint64_t offset,
                        std::string_view data);
std::string EncodeOpendir(uint32_t id, std::string_view path);
std::string EncodeReaddir(uint32_t id, std::string_view handle);
std::string EncodeLstat(uint32_t id, std::string_view path);
std::string EncodeStat(uint32_t id, std::string_view path);
std::string EncodeFstat(uint32_t id, std::string_view handle);
std::string EncodeSetstat(uint32_t id, std::string_view path, const Attributes& attributes);
std::string EncodeFsetstat(uint32_t id, std::string_view handle, const Attributes& attributes);
std::string EncodeRemove(uint32_t id, std::string_view path);
std::string EncodeMkdir(uint32_t id, std::string_view path, const Attributes& attributes = {});
std::string EncodeRmdir(uint32_t id, std::string_view path);
std::string EncodeRealpath(uint32_t id, std::string_view path);
std::string EncodeReadlink(uint32_t id, std::string_view path);
std::string EncodeRename(uint32_t id, std::string_view from, std::string_view to);

// The number of bytes a WRITE packet adds around its data, for a handle of `handleLength`.
inline constexpr size_t WriteOverhead(size_t handleLength)
{
    return 4 + 1 + 4 + 4 + handleLength + 8 + 4;
}

} // namespace sftp
