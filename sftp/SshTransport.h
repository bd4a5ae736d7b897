#pragma once
// The SSH side of an SFTP connection: libssh in non-blocking mode on a socket we connected,
// driven by that socket's notifications from the event loop. No thread, no blocking call: every
// notification lets libssh read until it would block, and every step of the handshake (key
// exchange, host key, authentication, the channel and its "sftp" subsystem) is taken again on
// the next notification until it is done. Once open, it carries the subsystem's bytes both ways.
//
// Time-outs are ours (libssh's do nothing without blocking): while the owner expects progress,
// TimeOut milliseconds without a byte in either direction end the connection.
#include "net/TransferSession.h"
#include "platform/Sockets.h"
#include "sftp/HostKey.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sftp {

struct ConnectOptions {
    // The server as the known-hosts files name it, and its port.
    std::string host;
    uint16_t port = 22;
    std::string user;
    // For password and keyboard-interactive logins; empty: neither is tried.
    std::string password;
    // Private key files to offer, in order; a missing one is passed over.
    std::vector<std::string> identityFiles;
    std::string passphrase; // for an encrypted key
    bool useAgent = true;   // offer the keys of ssh-agent (SSH_AUTH_SOCK)
    // Known keys: the user's file (read only) and ours, which "trust always" writes to.
    std::string userKnownHosts;
    std::string trustFile;
    // "SHA256:...": this key is accepted, and no other, when the files know it or know no key
    // for the host; a file that records another key for the host still refuses it.
    std::string pinnedFingerprint;
    HostKeyQuestion askUnknownHostKey; // none: an unknown key is refused
    int timeoutMs = 30000;             // no progress for this long ends it; 0: never
    // While no operation runs, a request that asks nearly nothing (REALPATH ".") once this many
    // seconds passed without one, so that neither the server nor a router on the way drops the
    // connection for idleness; its answer is awaited as any other (timeoutMs). 0: never.
    int keepAliveSeconds = 0;
    // Keep-alives stop once this many seconds passed since the owner's last operation, letting
    // the server close a connection nobody uses; 0: they never stop.
    int keepAliveLimitSeconds = 0;
};

class SshTransport {
public:
    using Done = std::function<void(const transfer::Outcome&)>;

    SshTransport();
    ~SshTransport();
    SshTransport(const SshTransport&) = delete;
    SshTransport& operator=(const SshTransport&) = delete;

    // Takes the connected socket (it is closed with the transport) and starts the handshake;
    // `ready` tells how it ended, from the event loop.
    void Start(platform::SocketHandle socket, ConnectOptions options, Done ready);

    // --- Once ready ---
    // Hands over as many of `bytes` as the channel takes now; the count.
    size_t Write(std::string_view bytes);
    // Bytes of the subsystem, as they arrive.
    std::function<void(std::string_view)> OnData;
    // After a pass that read or flushed: more may be written now.
    std::function<void()> OnWritable;
    // The connection ended under an open channel (the server closed, a time-out, an error).
    Done OnFailed;
    // Whether the owner waits for the server now: only then does the time-out run.
    void ExpectProgress(bool on);
    // How long the owner has waited with no byte in either direction, in milliseconds; -1 while
    // it waits for nothing.
    int64_t QuietMs() const;
    // Ends the connection (a polite disconnect when the socket takes it).
    void Close();

    const HostKey& ServerKey() const;
    std::string Cipher() const; // "chacha20-poly1305@openssh.com"
    // The authentication methods the server offered (after a refusal: to name them).
    std::string OfferedMethods() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace sftp
