#pragma once
// The SFTP sessions of one run against one server, all bound by the first one's host key: once
// a session of the run has logged in, every later one is made to accept that very key and no
// other (a pin, checked before anything of the login is sent), whatever the known-hosts files
// or the one asked about an unknown key would say. A run opens its first session before any
// other, as a tree transfer does.
#include "net/TransferSession.h"
#include "sftp/SshTransport.h"

#include <functional>
#include <memory>
#include <string>

namespace sftp {

class SftpSessionFactory {
public:
    // Every session connects with `options` (host, port, user, keys, known hosts...).
    explicit SftpSessionFactory(ConnectOptions options, bool keepTimes = false);
    ~SftpSessionFactory();
    SftpSessionFactory(const SftpSessionFactory&) = delete;
    SftpSessionFactory& operator=(const SftpSessionFactory&) = delete;

    // A new session, not yet open.
    std::unique_ptr<transfer::Session> Make();
    // Make as the queue takes it. The factory must outlive whatever holds it.
    std::function<std::unique_ptr<transfer::Session>()> Maker();
    // The fingerprint the run is bound to; empty until a session logged in.
    std::string BoundFingerprint() const;
    // The key the last session refused for its host key was shown; empty when none was.
    HostKey RefusedKey() const;

private:
    struct State;
    class BoundSession;
    std::shared_ptr<State> state_;
};

} // namespace sftp
