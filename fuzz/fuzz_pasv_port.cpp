// The PASV reply parse: a port from 1 to 65535 built from two numbers of 0..255, no port at all,
// or the conversion error -- never anything else, whatever the server writes.
#include "ftp/FtpDataConnection.h"
#include "net/TextFields.h"
#include "platform/Conversions.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    std::optional<int32_t> port;
    try {
        port = ftpdata::PassivePort(reply);
    } catch (const ConvertError&) {
        return 0;
    }
    if (!port) return 0;
    if (*port < 1 || *port > 65535) std::abort();
    // The port is the fifth and sixth numbers, and nothing else of the reply.
    const int32_t high = platform::StrToInt(ExtractField(reply, ',', 5));
    if (*port / 256 != high) std::abort();
    return 0;
}
