#pragma once
// A session over the blocking FTP component, for running the transfer queue from ftpdrive: each
// operation is posted to the event loop and runs there as one blocking call of the component
// (whose wait runs the loop, so that the other sessions move meanwhile), and its end is reported
// from the loop. No call of the session interface itself runs the loop.
#include "tools/ftpdrive/Options.h"

#include "ftp/VaskFtp.h"
#include "net/TransferSession.h"

#include <functional>
#include <memory>
#include <string>

namespace ftpdrive {

class BlockingSession : public transfer::Session {
public:
    // `inClear` is called when the server offers no TLS and the session goes on without it.
    BlockingSession(const Options& options, std::function<void()> inClear);
    ~BlockingSession() override;

    void Open(transfer::DoneHandler done) override;
    bool Idle() const override;
    bool Start(const transfer::Request& request, transfer::ProgressHandler progress,
               transfer::DoneHandler done) override;
    bool StartList(const transfer::Request& request, transfer::ListHandler done) override;
    void Cancel() override;
    void Close() override;

private:
    void Post(std::function<void()> call);
    void EndCanceled(const transfer::DoneHandler& done);
    std::string Absolute(const std::string& path) const;
    void Get(const transfer::Request& request);
    void Put(const transfer::Request& request);
    std::vector<transfer::RemoteEntry> List(const std::string& path);

    std::unique_ptr<TVaskFTP> ftp_;
    std::string home_; // the directory the login put us in, for relative paths
    bool open_ = false;
    bool busy_ = false;   // an operation is started or running
    bool inCall_ = false; // a blocking call of the component is on the stack
    bool closing_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace ftpdrive
