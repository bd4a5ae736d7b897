#include "sftp/Requests.h"

namespace sftp {

namespace {

// The many requests that are an id and one string.
std::string IdAndString(PacketType type, uint32_t id, std::string_view text)
{
    Writer writer(type);
    writer.U32(id);
    writer.String(text);
    return std::move(writer).Finish();
}

std::string IdStringAttributes(PacketType type, uint32_t id, std::string_view text,
                               const Attributes& attributes)
{
    Writer writer(type);
    writer.U32(id);
    writer.String(text);
    WriteAttributes(writer, attributes);
    return std::move(writer).Finish();
}

} // namespace

std::string EncodeInit(uint32_t version)
{
    Writer writer(PacketType::Init);
    writer.U32(version);
    return std::move(writer).Finish();
}

std::string EncodeOpen(uint32_t id, std::string_view path, uint32_t flags,
                       const Attributes& attributes)
{
    Writer writer(PacketType::Open);
    writer.U32(id);
    writer.String(path);
    writer.U32(flags);
    WriteAttributes(writer, attributes);
    return std::move(writer).Finish();
}

std::string EncodeClose(uint32_t id, std::string_view handle)
{
    return IdAndString(PacketType::Close, id, handle);
}

std::string EncodeRead(uint32_t id, std::string_view handle, uint64_t offset, uint32_t length)
{
    Writer writer(PacketType::Read);
    writer.U32(id);
    writer.String(handle);
    writer.U64(offset);
    writer.U32(length);
    return std::move(writer).Finish();
}

std::string EncodeWrite(uint32_t id, std::string_view handle, uint64_t offset,
                        std::string_view data)
{
    Writer writer(PacketType::Write);
    writer.U32(id);
    writer.String(handle);
    writer.U64(offset);
    writer.String(data);
    return std::move(writer).Finish();
}

std::string EncodeOpendir(uint32_t id, std::string_view path)
{
    return IdAndString(PacketType::Opendir, id, path);
}

std::string EncodeReaddir(uint32_t id, std::string_view handle)
{
    return IdAndString(PacketType::Readdir, id, handle);
}

std::string EncodeLstat(uint32_t id, std::string_view path)
{
    return IdAndString(PacketType::Lstat, id, path);
}

std::string EncodeStat(uint32_t id, std::string_view path)
{
    return IdAndString(PacketType::Stat, id, path);
}

std::string EncodeFstat(uint32_t id, std::string_view handle)
{
    return IdAndString(PacketType::Fstat, id, handle);
}

std::string EncodeSetstat(uint32_t id, std::string_view path, const Attributes& attributes)
{
    return IdStringAttributes(PacketType::Setstat, id, path, attributes);
}

std::string EncodeFsetstat(uint32_t id, std::string_view handle, const Attributes& attributes)
{
    return IdStringAttributes(PacketType::Fsetstat, id, handle, attributes);
}

std::string EncodeRemove(uint32_t id, std::string_view path)
{
    return IdAndString(PacketType::Remove, id, path);
}

std::string EncodeMkdir(uint32_t id, std::string_view path, const Attributes& attributes)
{
    return IdStringAttributes(PacketType::Mkdir, id, path, attributes);
}

std::string EncodeRmdir(uint32_t id, std::string_view path)
{
    return IdAndString(PacketType::Rmdir, id, path);
}

std::string EncodeRealpath(uint32_t id, std::string_view path)
{
    return IdAndString(PacketType::Realpath, id, path);
}

std::string EncodeReadlink(uint32_t id, std::string_view path)
{
    return IdAndString(PacketType::Readlink, id, path);
}

std::string EncodeRename(uint32_t id, std::string_view from, std::string_view to)
{
    Writer writer(PacketType::Rename);
    writer.U32(id);
    writer.String(from);
    writer.String(to);
    return std::move(writer).Finish();
}

} // namespace sftp
