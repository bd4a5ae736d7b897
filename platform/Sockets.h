#pragma once
// Non-blocking TCP sockets of either family (IPv4, IPv6) with asynchronous notifications.
//
// The contract the components are written against:
//  * Every call answers like the classic sockets library: a failed call returns -1 (or
//    kNoSocket) and LastSocketError() gives the component's error number (see SocketErrors.h).
//  * AsyncSelect() makes a socket report its events to a NotificationWindow, on the GUI thread,
//    as (message, handle, lParam) with the event code in the low word of lParam and an error
//    number in the high word (0 = no error):
//      read 1     bytes are waiting, or a receive would report an error. Reported once; the
//                 next report comes only after the owner has received or peeked again, so a
//                 waiting loop is woken once per arrival and never flooded.
//      accept 8   a listening socket has a connection waiting (once per Accept call).
//      connect 16 a connect attempt ended; the error word is 0 or why it failed.
//      close 32   the peer has closed and every byte has been read. Reported once.
//      write 2    only after ArmWriteWakeup(): the socket can take more bytes.
//  * Connect() never completes synchronously: it answers would-block and the outcome, success or
//    failure, arrives as a connect notification, even when the system knew it at once. Only a
//    call that could never start fails at once: a bad handle, or an address of a family the
//    socket cannot carry (10047; an IPv6 socket does carry IPv4, in the IPv4-mapped form).
//  * A notification still queued when its socket is closed is dropped.
#include "platform/SocketAddress.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

// One bit each, so that a set of them is a mask.
enum SocketEvent : uint16_t {
    kEventRead = 1 << 0,
    kEventWrite = 1 << 1,
    kEventOob = 1 << 2,
    kEventAccept = 1 << 3,
    kEventConnect = 1 << 4,
    kEventClose = 1 << 5,
};
// Read, out-of-band, accept, connect and close: what a stream socket selects.
inline constexpr long kStreamEventMask = 61;

inline constexpr int kUserMessageBase = 1024;
inline constexpr int kSocketMessage = kUserMessageBase + 101;
inline constexpr int kLookupMessage = kUserMessageBase + 102;

inline intptr_t MakeSelectParam(uint16_t event, uint16_t error)
{
    return static_cast<intptr_t>((static_cast<uint32_t>(error) << 16) | event);
}
inline uint16_t SelectEvent(intptr_t lParam) { return static_cast<uint16_t>(lParam & 0xFFFF); }
inline uint16_t SelectError(intptr_t lParam)
{
    return static_cast<uint16_t>((lParam >> 16) & 0xFFFF);
}

inline constexpr uint32_t kAddressNone = 0xFFFFFFFFu;

uint16_t HostToNetwork16(uint16_t value);
uint16_t NetworkToHost16(uint16_t value);
// An IPv4 literal in any form inet_aton takes ("127.0.0.1", "127.1") -> address in network byte
// order; kAddressNone when it is not one.
uint32_t ParseDottedAddress(const char* text);
// Address in network byte order -> dotted decimal.
std::string DottedAddressText(uint32_t address);

// Receives the notifications of the sockets and lookups that name it: the stand-in for a hidden
// window with its window procedure. Lives on the GUI thread.
class NotificationWindow {
public:
    using Procedure = std::function<intptr_t(int message, uintptr_t wParam, intptr_t lParam)>;
    explicit NotificationWindow(Procedure procedure);
    ~NotificationWindow();
    NotificationWindow(const NotificationWindow&) = delete;
    NotificationWindow& operator=(const NotificationWindow&) = delete;

    // Deliver now (exceptions from the procedure are dropped).
    intptr_t Send(int message, uintptr_t wParam, intptr_t lParam);
    // Deliver from the event loop; dropped if the window is gone by then.
    void Post(int message, uintptr_t wParam, intptr_t lParam);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    friend struct Impl;
};

// A stream socket of the family (kFamilyInet or kFamilyInet6).
SocketHandle CreateStreamSocket(uint16_t family = kFamilyInet);
// The family of a socket; 0 when it is none (or not a socket of either family).
uint16_t SocketFamily(SocketHandle socket);
int SetLinger(SocketHandle socket, bool on, int seconds);
int GetLinger(SocketHandle socket, bool* on, int* seconds);
// mask 0 stops the notifications. A listening socket selects kEventAccept alone.
int AsyncSelect(SocketHandle socket, NotificationWindow* window, int message, long mask);
// The address must be of the socket's family; an IPv6 socket takes an IPv4 one too, mapped.
int Connect(SocketHandle socket, const SocketAddress& address);
int Bind(SocketHandle socket, const SocketAddress& address);
int Listen(SocketHandle socket, int backlog);
SocketHandle Accept(SocketHandle socket, SocketAddress* peer);
// moreFollows: the caller sends more bytes right after these, so the system may hold back a
// partly filled segment to fill it with them (it still goes out with the next acknowledgement).
long Send(SocketHandle socket, const void* data, size_t length, bool moreFollows = false);
long Receive(SocketHandle socket, void* buffer, size_t length, bool peek = false);
// Receives up to `length` bytes like Receive and writes them to `file` (a descriptor open for
// writing) at its position. Where the system allows, the bytes move from the socket to the file
// inside the kernel (a splice through a pipe) and are never copied into user memory; otherwise
// they pass through `buffer`, which must hold `length` bytes. Returns what Receive would (the
// count, 0 when the peer has closed and nothing is left, -1 with LastSocketError), or
// kFileWriteFailed when the file refused the bytes (errno tells why; those bytes are lost).
inline constexpr long kFileWriteFailed = -2;
long ReceiveToFile(SocketHandle socket, int file, void* buffer, size_t length);
// Sends up to `length` bytes of `file` (a descriptor open for reading) from its position, which
// moves past what was sent. The bytes go from the file to the socket inside the kernel, never
// through user memory. Returns what Send would (the count, -1 with LastSocketError, 0 at the
// end of the file), or kFileReadFailed when the file could not be read (errno tells why).
inline constexpr long kFileReadFailed = -3;
long SendFromFile(SocketHandle socket, int file, size_t length);
// Limits the bytes a socket holds that it has not sent yet (bytes sent and not yet acknowledged
// do not count): it takes more, and reports itself writable, only while it holds fewer than
// `bytes`. Returns the limit it had, or -1 where the system has no such limit.
int SetUnsentLimit(SocketHandle socket, int bytes);
// Either end of a socket, of whichever family it is.
int GetLocalAddress(SocketHandle socket, SocketAddress* address);
int GetPeerAddress(SocketHandle socket, SocketAddress* address);
int CloseSocket(SocketHandle socket);
// An orderly close that waits for the peer: the end of the stream goes out now (after every byte
// already written), the notifications stop, and the descriptor stays open, dropping whatever the
// peer still sends, until the peer has closed too or kCloseAfterPeerLimitMs have passed. A socket
// closed while bytes arrive resets the connection and throws away what it has not delivered;
// this way the last bytes written reach the peer whatever it sends meanwhile. A peer that sends
// more than a little meanwhile (a download given up) gets the reset after all. The waiting is
// done by the event loop; a thread without one closes at once.
int CloseSocketAfterPeer(SocketHandle socket);
inline constexpr int kCloseAfterPeerLimitMs = 30000;
// Report kEventWrite once, as soon as the socket can take more bytes.
void ArmWriteWakeup(SocketHandle socket);
// Blocks until the socket can take more bytes, at most timeoutMs; true when it can. Only for a
// last few bytes that must leave before a close; waiting loops use ArmWriteWakeup instead.
bool WaitUntilWritable(SocketHandle socket, int timeoutMs);
// Bytes that a receive would return now without waiting (0 when none or on error).
long PendingBytes(SocketHandle socket);
// True when the peer has ended its side of the stream (whether or not bytes are still waiting).
bool PeerHasClosed(SocketHandle socket);

// While it lives, the socket's read notification comes only once more than `waiting` bytes are
// there (or the peer closes): a wait for the rest of a count is woken by new bytes, not by the
// ones it has already seen.
class WakeOnMoreThan {
public:
    WakeOnMoreThan(SocketHandle socket, long waiting);
    ~WakeOnMoreThan();
    WakeOnMoreThan(const WakeOnMoreThan&) = delete;
    WakeOnMoreThan& operator=(const WakeOnMoreThan&) = delete;

private:
    SocketHandle socket_;
};

} // namespace platform
