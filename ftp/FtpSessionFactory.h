#pragma once
// The sessions of one run against one server, all made here and all bound by the first one's
// decisions: once the first has TLS, every other must have it too, with the very certificate
// the first carried (checked before anything of the login is sent), and implicit TLS stays
// implicit. A first session in clear leaves the others to go on in clear, as was agreed for it.
//
// The first session is either one the factory made, binding the run once it has logged in (a
// run makes it and opens it before any other, as a tree transfer does: one made meanwhile is
// not bound), or one logged in already and handed to BindTo (the window's own). A session refused
// under those terms (TLS refused, another certificate) is reported through onRefused; the run goes
// on with the sessions it has.
#include "ftp/VaskFtp.h"
#include "net/TransferSession.h"

#include <functional>
#include <memory>
#include <string>

class FtpSessionFactory {
public:
    // Sets up a new component for the run: server, credentials, mode, trust, handlers.
    using Setup = std::function<void(TVaskFTP&)>;

    explicit FtpSessionFactory(Setup setup);
    ~FtpSessionFactory();
    FtpSessionFactory(const FtpSessionFactory&) = delete;
    FtpSessionFactory& operator=(const FtpSessionFactory&) = delete;

    // Binds the run to `first`, which is logged in: its TLS and certificate as they are now.
    void BindTo(const TVaskFTP& first);
    // A new session, not yet open.
    std::unique_ptr<transfer::Session> Make();
    // Make as the queue takes it. The factory must outlive whatever holds it.
    std::function<std::unique_ptr<transfer::Session>()> Maker();

    // A session beside the first could not log in under the first's terms; `why` is its
    // failure's text. Called from the event loop.
    std::function<void(const std::string& why)> onRefused;
    // How many sessions were refused so.
    int Refused() const;

private:
    struct State;
    class BoundSession;
    std::shared_ptr<State> state_;
};
