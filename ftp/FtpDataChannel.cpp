// Opening the data channel of a listing or transfer: the ports of passive replies (PASV, EPSV),
// the connection to the server's port, and the listening socket that PORT or EPRT names.
#include "ftp/FtpDataConnection.h"

#include "net/TextFields.h"
#include "platform/Conversions.h"

namespace ftpdata {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The port of "(|||6446|)" starting just after its "(": a delimiter that is no digit, three of
// it, the port's digits, the delimiter, ")". Nothing when the text there is anything else.
std::optional<int32_t> ExtendedFormAt(const std::string& reply, size_t at)
{
    if (at + 3 > reply.size()) return std::nullopt;
    const char delimiter = reply[at];
    // Printable ASCII, as RFC 2428 has it, and no digit: "(1111)" would be anybody's guess.
    if (delimiter < 33 || delimiter > 126 || IsDigit(delimiter)) return std::nullopt;
    if (reply[at + 1] != delimiter || reply[at + 2] != delimiter) return std::nullopt;
    size_t end = at + 3;
    int32_t port = 0;
    while (end < reply.size() && IsDigit(reply[end]) && end - (at + 3) < 5)
        port = port * 10 + (reply[end++] - '0');
    if (end == at + 3 || end + 1 >= reply.size()) return std::nullopt;
    if (reply[end] != delimiter || reply[end + 1] != ')') return std::nullopt;
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

// An address as a text that Connect takes back as that very address: IPv4 dotted (also when it
// came as an IPv4-mapped IPv6 address), IPv6 with its interface, which a link-local address
// cannot do without.
std::string DialText(const platform::SocketAddress& address)
{
    if (const std::optional<uint32_t> word = address.Inet4Word())
        return platform::DottedAddressText(*word);
    std::string text = platform::AddressText(address);
    if (address.scopeId != 0) text += "%" + std::to_string(address.scopeId);
    return text;
}

} // namespace

std::optional<int32_t> PassivePort(const std::string& reply)
{
    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)." -- fields are counted from the start of
    // the line, so the text before the parenthesis belongs to the first one.
    const std::string high = ExtractField(reply, ',', 5);
    const std::string sixth = ExtractField(reply, ',', 6);
    const size_t close = sixth.find(')');
    const std::string low = close == std::string::npos ? std::string() : sixth.substr(0, close);
    const int32_t p1 = platform::StrToInt(high);
    const int32_t p2 = platform::StrToInt(low);
    // Each number is one byte. Anything else, cut down to 16 bits, would dial some other port
    // than the server meant; port 0 is no port to connect to.
    if (p1 < 0 || p1 > 255 || p2 < 0 || p2 > 255 || (p1 == 0 && p2 == 0)) return std::nullopt;
    return p1 * 256 + p2;
}

std::optional<int32_t> ExtendedPassivePort(const std::string& reply)
{
    for (size_t open = reply.find('('); open != std::string::npos; open = reply.find('(', open + 1))
        if (const std::optional<int32_t> port = ExtendedFormAt(reply, open + 1)) return port;
    return std::nullopt;
}

void DataOperation::ConnectTo(int32_t port)
{
    // The address of a PASV reply is ignored: the data connection goes where the control
    // connection went, which also keeps a server from pointing us at a third host. Where it went
    // is the address it reached, not the name once more: a name with several addresses (a pool
    // of servers, IPv6 and IPv4) may give another one the second time. Behind a proxy the
    // server's own name is dialled, as the proxy's own data connections expect -- unless the
    // session is encrypted: then the proxy is the other end of TLS and relays the data itself.
    const bool extended = !ftp_.PeerAddress().Inet4Word();
    const bool toServer = !extended && !ftp_.Proxy.empty() && !ftp_.TlsActive();
    socket_->Host = toServer ? ftp_.Host : DialText(ftp_.PeerAddress());
    socket_->Port = port;
    socket_->Connect();
}

TransferOperation::Settings TransferSettingsFor(TVaskFTP& ftp, TransferOperation::Kind kind,
                                                std::string command)
{
    TransferOperation::Settings settings;
    settings.kind = kind;
    settings.command = std::move(command);
    settings.passive = ftp.Passive;
    settings.extended = !ftp.PeerAddress().Inet4Word();
    return settings;
}

std::string ListenForServer(TVaskFTP& ftp, TWirecore& data)
{
    const bool extended = !ftp.PeerAddress().Inet4Word();
    if (extended) data.UseSocketFamily(platform::kFamilyInet6);
    data.Port = 0;
    data.Listen(true);
    return extended ? "EPRT |2|" + platform::AddressText(ftp.LocalAddress()) + "|" +
                          std::to_string(platform::NetworkToHost16(data.LocalAddress().port)) + "|"
                    : "PORT " + ftp.LocalAddressText() + data.LocalPortText();
}

} // namespace ftpdata
