// The server side of the component: listening for one incoming connection, accepting it, the
// local end of the socket written as the comma-separated numbers of an FTP address argument, and
// either end of the socket as an address.
#include "net/Wirecore.h"

#include "net/Wait.h"
#include "platform/Exception.h"
#include "platform/SocketErrors.h"

#include <algorithm>
#include <cstdio>
#include <optional>

void TWirecore::Listen(bool useLookupMessage)
{
    ReportStatus(8, "Listening");
    // Any local address of the socket's own family: 0.0.0.0, or :: for an IPv6 socket.
    RemoteAddress = platform::AnyAddress(SocketFamily());
    if (Port < 0 || Port > 65535) throw RangeError();
    RemoteAddress.port = platform::HostToNetwork16(static_cast<uint16_t>(Port));
    AsyncDone = false;
    // Neither result is examined: a socket that could not be bound or put into the listening
    // state simply never reports a connection, and Accept waits until it is cancelled.
    platform::Bind(SocketHandle, RemoteAddress);
    // With the lookup message the accept notification ends Accept's wait; with the socket message
    // it only marks the component connected and calls OnAcceptReady.
    platform::AsyncSelect(SocketHandle, WindowHandle(),
                          useLookupMessage ? platform::kLookupMessage : platform::kSocketMessage,
                          platform::kEventAccept);
    platform::Listen(SocketHandle, 1);
}

platform::SocketHandle TWirecore::Accept()
{
    ReportStatus(4, "Accepting");
    // The pass blocks until the next event, so waiting for a peer costs no CPU. A running
    // time-out ends the wait by setting AsyncDone and, through Abort, Canceled.
    const WaitEnd end = Wait(*this, {}, [this] { return AsyncDone; });
    if (end != WaitEnd::Ready || Canceled)
        throw ESockError("Accepting Canceled", ErrorReason::AcceptCanceled);
    if (!LastEventOk) throw ESockError("Error creating Data Connection", ErrorReason::AcceptFailed);

    platform::SocketAddress peer;
    const platform::SocketHandle accepted = platform::Accept(SocketHandle, &peer);
    if (accepted == platform::kNoSocket) {
        // The peer can give up between the notification and the accept.
        LastError = platform::LastSocketError();
        std::string message = LookupErrorMessage(static_cast<uint16_t>(LastError));
        throw ESockError(message.empty() ? "Error creating Data Connection" : message,
                         ErrorReason::AcceptFailed, LastError);
    }
    // The new connection's notifications come to this component; the caller installs the handle
    // and closes the listening socket.
    platform::AsyncSelect(accepted, WindowHandle(), platform::kSocketMessage,
                          platform::kStreamEventMask);
    RemoteAddress = peer;
    return accepted;
}

namespace {

// One end of the component's socket, as getsockname or getpeername tells it.
platform::SocketAddress EndOf(TWirecore& socket,
                              int (*query)(platform::SocketHandle, platform::SocketAddress*))
{
    platform::SocketAddress end;
    if (query(socket.SocketHandle, &end) != 0) {
        // An address made up here would be announced to the server as if it were ours.
        socket.LastError = platform::LastSocketError();
        throw ESockError(socket.LookupErrorMessage(static_cast<uint16_t>(socket.LastError)),
                         ErrorReason::SocketError, socket.LastError);
    }
    return end;
}

} // namespace

platform::SocketAddress TWirecore::LocalAddress()
{
    return EndOf(*this, platform::GetLocalAddress);
}

platform::SocketAddress TWirecore::PeerAddress() { return EndOf(*this, platform::GetPeerAddress); }

std::string TWirecore::LocalAddressText()
{
    // An IPv4-mapped address (a dual-stack socket with an IPv4 peer) is the IPv4 one.
    const std::optional<uint32_t> word = LocalAddress().Inet4Word();
    if (!word) {
        // Four numbers cannot carry an IPv6 address; made up, they would send the server
        // somewhere else.
        LastError = platform::kErrAddressFamily;
        throw ESockError(LookupErrorMessage(static_cast<uint16_t>(LastError)),
                         ErrorReason::SocketError, LastError);
    }
    std::string text = platform::DottedAddressText(*word);
    std::replace(text.begin(), text.end(), '.', ',');
    return text;
}

std::string TWirecore::LocalPortText()
{
    const unsigned port = platform::NetworkToHost16(LocalAddress().port);
    char text[16];
    std::snprintf(text, sizeof text, ",%u,%u", port / 256, port % 256);
    return text;
}
