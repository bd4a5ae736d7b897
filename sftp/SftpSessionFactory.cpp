#include "sftp/SftpSessionFactory.h"

#include "sftp/SftpSession.h"

namespace sftp {

struct SftpSessionFactory::State {
    ConnectOptions options;
    bool keepTimes = false;
    std::string fingerprint; // the first session's key, once it logged in
    HostKey refused;
};

// A session of the run: the first to log in binds the run to its key.
class SftpSessionFactory::BoundSession : public SftpSession {
public:
    BoundSession(ConnectOptions options, bool keepTimes, std::shared_ptr<State> state)
        : SftpSession(std::move(options), keepTimes), state_(std::move(state))
    {
    }

    void Open(transfer::DoneHandler done) override
    {
        SftpSession::Open([this, done = std::move(done)](const transfer::Outcome& outcome) {
            if (outcome.ok && state_->fingerprint.empty())
                state_->fingerprint = ServerKey().fingerprint;
            if (!outcome.ok && outcome.reason == ErrorReason::CertificateRejected)
                state_->refused = ServerKey();
            if (done) done(outcome);
        });
    }

private:
    std::shared_ptr<State> state_;
};

SftpSessionFactory::SftpSessionFactory(ConnectOptions options, bool keepTimes)
    : state_(std::make_shared<State>())
{
    state_->options = std::move(options);
    state_->keepTimes = keepTimes;
}

SftpSessionFactory::~SftpSessionFactory() = default;

std::unique_ptr<transfer::Session> SftpSessionFactory::Make()
{
    ConnectOptions options = state_->options;
    if (!state_->fingerprint.empty()) {
        // The key the first session accepted, and no other: nobody is asked again, and nothing
        // is written to the trust file twice.
        options.pinnedFingerprint = state_->fingerprint;
        options.askUnknownHostKey = nullptr;
    }
    return std::make_unique<BoundSession>(std::move(options), state_->keepTimes, state_);
}

std::function<std::unique_ptr<transfer::Session>()> SftpSessionFactory::Maker()
{
    return [this] { return Make(); };
}

std::string SftpSessionFactory::BoundFingerprint() const { return state_->fingerprint; }

HostKey SftpSessionFactory::RefusedKey() const { return state_->refused; }

} // namespace sftp
