#pragma once
// Helpers for the stream and listening tests: a connected component with a plain blocking POSIX
// socket at the far end.
#include "support/Loopback.h"

#include <memory>
#include <string>

class TWirecore;

namespace streamtest {

// The far end of a component's connection. Every call may run on a peer thread; failures (the
// component may have gone) end the call quietly.
class Peer {
public:
    // Blocking calls give up after a few seconds, so a peer thread never outlives a failed test.
    explicit Peer(testsupport::UniqueFd fd);
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void Send(const std::string& data);
    // Up to and including the next line feed; what arrived before the end when the stream ends.
    std::string ReceiveLine();
    // Exactly `count` bytes, or fewer when the stream ends first.
    std::string Receive(size_t count);
    // Sends the end of the stream but keeps reading possible.
    void ShutdownWrite();
    // Closes so that the component sees the connection reset.
    void Reset();
    void Close();

private:
    testsupport::UniqueFd fd_;
};

// Connects `socket` to a fresh loopback listener of the family and returns the accepted far end.
std::unique_ptr<Peer> ConnectPair(TWirecore& socket,
                                  testsupport::IpFamily family = testsupport::IpFamily::V4);

// Runs the event loop until the component's socket has at least `count` bytes waiting.
bool WaitPending(TWirecore& socket, long count);

// Data with every byte value, in an order that is not a plain repetition.
std::string EveryByteValue(size_t size);

} // namespace streamtest
