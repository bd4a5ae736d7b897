#include "ftp/FtpSessionFactory.h"

#include "ftp/FtpSession.h"

#include <optional>

namespace {

// What the first session settled for the run.
struct Terms {
    bool tls = false;
    bool implicit = false;
    std::string fingerprint;
};

Terms TermsOf(const TVaskFTP& ftp)
{
    Terms terms;
    terms.tls = ftp.TlsActive();
    terms.implicit = ftp.TlsMode == tlsImplicit;
    terms.fingerprint = ftp.PeerCertificate().Fingerprint;
    return terms;
}

// A login that failed for the TLS the run requires of it: refused by the server (or by whoever
// answers in its name), or presenting another certificate.
bool RefusedForTls(ErrorReason reason)
{
    return reason == ErrorReason::TlsUnavailable || reason == ErrorReason::CertificateRejected ||
           reason == ErrorReason::TlsHandshakeFailed;
}

void Bind(TVaskFTP& ftp, const Terms& terms)
{
    if (!terms.tls) {
        // The first went on in clear: the user agreed to it for this server and this run.
        if (!ftp.OnTlsRefused)
            ftp.OnTlsRefused = [](const std::string&, bool& goOn) { goOn = true; };
        return;
    }
    // A server that spoke TLS to the first session and not to this one is someone in between.
    ftp.TlsMode = terms.implicit ? tlsImplicit : tlsRequired;
    ftp.OnTlsRefused = nullptr;
    if (terms.fingerprint.empty()) return;
    // The certificate the first session carried, and no other: a certificate that merely
    // verifies may still be someone else's. Nobody is asked about another one.
    ftp.TlsSystemTrust = false;
    ftp.TlsCaFiles.clear();
    ftp.TlsPinnedFingerprints = {terms.fingerprint};
    ftp.OnCertificate = nullptr;
}

} // namespace

struct FtpSessionFactory::State {
    Setup setup;
    std::optional<Terms> terms;
    int refused = 0;
    std::function<void(const std::string&)>* onRefused = nullptr;
};

// A session of the run: the first binds the run once it has logged in; any other reports a
// login refused for the run's TLS.
class FtpSessionFactory::BoundSession : public FtpSession {
public:
    BoundSession(std::unique_ptr<TVaskFTP> ftp, std::shared_ptr<State> state, bool bound)
        : FtpSession(std::move(ftp)), state_(std::move(state)), bound_(bound)
    {
    }

    void Open(transfer::DoneHandler done) override
    {
        FtpSession::Open([this, done = std::move(done)](const transfer::Outcome& outcome) {
            if (outcome.ok && !bound_ && !state_->terms) state_->terms = TermsOf(Ftp());
            if (!outcome.ok && bound_ && state_->terms->tls && RefusedForTls(outcome.reason)) {
                ++state_->refused;
                if (state_->onRefused && *state_->onRefused) (*state_->onRefused)(outcome.message);
            }
            if (done) done(outcome);
        });
    }

private:
    std::shared_ptr<State> state_;
    bool bound_;
};

FtpSessionFactory::FtpSessionFactory(Setup setup) : state_(std::make_shared<State>())
{
    state_->setup = std::move(setup);
    state_->onRefused = &onRefused;
}

FtpSessionFactory::~FtpSessionFactory() { state_->onRefused = nullptr; }

void FtpSessionFactory::BindTo(const TVaskFTP& first) { state_->terms = TermsOf(first); }

std::unique_ptr<transfer::Session> FtpSessionFactory::Make()
{
    auto ftp = std::make_unique<TVaskFTP>(nullptr);
    if (state_->setup) state_->setup(*ftp);
    const bool bound = state_->terms.has_value();
    if (bound) Bind(*ftp, *state_->terms);
    return std::make_unique<BoundSession>(std::move(ftp), state_, bound);
}

std::function<std::unique_ptr<transfer::Session>()> FtpSessionFactory::Maker()
{
    return [this] { return Make(); };
}

int FtpSessionFactory::Refused() const { return state_->refused; }
