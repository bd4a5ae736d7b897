// The client TLS handshake of the socket component against an in-process TLS server: the verdict
// on each kind of certificate, the name sent, resuming a session, and the ways a handshake ends
// early.
#include "TlsTestUtil.h"
#include "support/Outcome.h"

#include "net/Wirecore.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <optional>

using namespace tlstest;
using Problem = TCertificateProblem;

namespace {

struct VerdictCase {
    const char* name;
    const TestCertificates::KeyPair& (TestCertificates::*identity)() const;
    std::string serverName;        // what the certificate must name ("" = the address dialled)
    bool trustTestCa;              // the test CA is a trust anchor
    std::vector<Problem> problems; // what the check finds
    std::string sniSeen;           // the name the server was asked for
};

} // namespace

TEST(TlsHandshake, KeepsTheVerdictOnEachKindOfCertificateAndSendsTheNameOfAHost)
{
    TAVOLEN_REQUIRE_OPENSSL();
    const std::vector<VerdictCase> cases = {
        {"trusted, by name", &TestCertificates::Server, "localhost", true, {}, "localhost"},
        {"trusted, by address", &TestCertificates::Server, "", true, {}, ""},
        {"unknown authority",
         &TestCertificates::Server,
         "localhost",
         false,
         {Problem::UntrustedIssuer},
         "localhost"},
        {"self-signed",
         &TestCertificates::SelfSigned,
         "localhost",
         true,
         {Problem::SelfSigned},
         "localhost"},
        {"expired", &TestCertificates::Expired, "localhost", true, {Problem::Expired}, "localhost"},
        {"not yet valid",
         &TestCertificates::NotYetValid,
         "localhost",
         true,
         {Problem::NotYetValid},
         "localhost"},
        {"wrong name",
         &TestCertificates::WrongName,
         "localhost",
         true,
         {Problem::NameMismatch},
         "localhost"},
        {"wrong address",
         &TestCertificates::Server,
         "127.0.0.2",
         true,
         {Problem::NameMismatch},
         ""},
    };
    for (const VerdictCase& c : cases) {
        SCOPED_TRACE(c.name);
        const TestCertificates::KeyPair& identity = (Certs().*c.identity)();
        TlsServerPeer peer(identity);
        TTlsSettings settings = TrustingTestCa(c.serverName);
        if (!c.trustTestCa) settings.CaFiles.clear();
        std::string sniSeen = "(no handshake)";
        TWirecore socket(nullptr);
        {
            TlsLink link(
                socket, peer, [&](TlsServerPeer& p) { sniSeen = p.ServerNameSeen(); }, settings);
        }
        const TCertificateInfo& info = socket.PeerCertificate();
        EXPECT_EQ(info.Problems, c.problems);
        EXPECT_EQ(info.Problem.empty(), c.problems.empty()) << info.Problem;
        EXPECT_EQ(info.Fingerprint, TestCertificates::FingerprintOf(identity));
        EXPECT_EQ(sniSeen, c.sniSeen);
        EXPECT_TRUE(socket.TlsActive());
    }
}

TEST(TlsHandshake, DescribesTheCertificateAndAcceptsOneByItsFingerprint)
{
    TAVOLEN_REQUIRE_OPENSSL();
    const TestCertificates::KeyPair& identity = Certs().Expired();
    std::string fingerprint = TestCertificates::FingerprintOf(identity);
    std::erase(fingerprint, ':'); // as people paste it
    for (char& c : fingerprint) c = static_cast<char>(std::tolower(c));
    TlsServerPeer peer(identity);
    TTlsSettings settings = TrustingTestCa();
    settings.PinnedFingerprints = {fingerprint};
    TWirecore socket(nullptr);
    {
        TlsLink link(
            socket, peer, [](TlsServerPeer&) {}, settings);
    }
    using namespace std::chrono;
    const TCertificateInfo& info = socket.PeerCertificate();
    EXPECT_EQ(info.Problems, std::vector<Problem>{Problem::Expired});
    EXPECT_EQ(info.Problem, "the certificate has expired");
    EXPECT_TRUE(info.Pinned);
    EXPECT_TRUE(info.Trusted());
    EXPECT_EQ(info.Subject, "CN=localhost,O=Tavolen Tests");
    EXPECT_EQ(info.Issuer, "CN=Tavolen Test CA,O=Tavolen Tests");
    EXPECT_EQ(info.NotBefore, "2020-01-01 00:00:00 UTC");
    EXPECT_EQ(info.NotAfter, "2020-12-31 00:00:00 UTC");
    EXPECT_EQ(info.NotBeforeTime, sys_days(2020y / January / 1));
    EXPECT_EQ(info.NotAfterTime, sys_days(2020y / December / 31));
    EXPECT_EQ(CanonicalFingerprint(fingerprint), info.Fingerprint);
}

// Data connections must prove that they belong to the control connection by resuming its session;
// in TLS 1.3 the session to resume arrives after the handshake, with the first reply.
TEST(TlsHandshake, ASecondConnectionResumesTheSessionOfTheFirst)
{
    TAVOLEN_REQUIRE_OPENSSL();
    for (const auto newest : {TlsServerPeer::Newest::Tls12, TlsServerPeer::Newest::Tls13}) {
        SCOPED_TRACE(newest == TlsServerPeer::Newest::Tls12 ? "TLS 1.2" : "TLS 1.3");
        TlsServerPeer peer(Certs().WrongName(), newest);
        TWirecore control(nullptr);
        TTlsSessionRef session;
        {
            TlsLink link(control, peer, [](TlsServerPeer& p) { p.Send("220 ready\r\n"); });
            EXPECT_EQ(control.ReadLn(), "220 ready\r\n");
            session = control.TlsSession();
        }
        ASSERT_NE(session, nullptr);
        EXPECT_FALSE(control.TlsResumed());

        TWirecore data(nullptr);
        TTlsSettings settings = TrustingTestCa();
        settings.Resume = session;
        bool reusedSeen = false;
        {
            TlsLink link(
                data, peer, [&](TlsServerPeer& p) { reusedSeen = p.SessionReused(); }, settings);
        }
        EXPECT_TRUE(reusedSeen);
        EXPECT_TRUE(data.TlsResumed());
        // The resumed handshake shows no certificate; the verdict is the first connection's.
        EXPECT_EQ(data.PeerCertificate().Fingerprint, control.PeerCertificate().Fingerprint);
        EXPECT_EQ(data.PeerCertificate().Problems, std::vector<Problem>{Problem::NameMismatch});
    }
}

TEST(TlsHandshake, AServerThatCannotSpeakTlsAsRequiredFailsTheHandshakeAndTheConnection)
{
    TAVOLEN_REQUIRE_OPENSSL();
    struct Case {
        const char* name;
        std::function<void(testsupport::UniqueFd&)> plainServer; // null: a TLS 1.1 server
        std::string why;
    };
    const std::vector<Case> cases = {
        {"a plain FTP greeting",
         [](testsupport::UniqueFd& fd) {
             ::send(fd.Get(), "220 hello\r\n", 11, MSG_NOSIGNAL);
             char buffer[512];
             ::recv(fd.Get(), buffer, sizeof buffer, 0);
         },
         "wrong version number"},
        {"hangs up",
         [](testsupport::UniqueFd& fd) {
             char buffer[4096]; // the client's hello, so that the close is an orderly one
             ::recv(fd.Get(), buffer, sizeof buffer, 0);
             fd.Reset();
         },
         "the server closed the connection"},
        {"TLS 1.1 at most", nullptr, "protocol"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TWirecore socket(nullptr);
        int disconnects = 0;
        socket.OnDisconnect = [&](TComponent*) { ++disconnects; };
        std::optional<ErrorReason> reason;
        std::string message;
        auto handshake = [&] {
            try {
                socket.Connect();
                socket.StartTls(TrustingTestCa());
            } catch (const ESockError& error) {
                reason = error.Reason();
                message = error.Message();
            }
        };
        if (c.plainServer) {
            testsupport::LoopbackListener listener;
            socket.Host = "127.0.0.1";
            socket.Port = listener.Port();
            std::jthread server([&] {
                testsupport::UniqueFd fd = listener.AcceptOne();
                c.plainServer(fd);
            });
            handshake();
        } else {
            TlsServerPeer peer(Certs().Server(), TlsServerPeer::Newest::Tls11);
            socket.Host = "127.0.0.1";
            socket.Port = peer.Port();
            std::jthread server([&] { peer.Accept(); });
            handshake();
        }
        EXPECT_EQ(reason, ErrorReason::TlsHandshakeFailed);
        EXPECT_EQ(message.rfind("TLS handshake failed: ", 0), 0u) << message;
        EXPECT_NE(message.find(c.why), std::string::npos) << message;
        EXPECT_FALSE(socket.Connected);
        EXPECT_EQ(disconnects, 1);
    }
}

namespace {

// Like the FTP component, whose Abort cancels its data connection instead of itself.
class AbortingElsewhere : public TWirecore {
public:
    using TWirecore::TWirecore;
    void Abort() override {}
};

} // namespace

// A server that takes the connection but never answers the client's hello.
TEST(TlsHandshake, CancelOrTimeOutEndsAHandshakeThatGetsNoAnswer)
{
    TAVOLEN_REQUIRE_OPENSSL();
    struct Case {
        const char* name;
        int timeOut;
        bool cancel;
        bool abortsElsewhere;
        ErrorReason reason;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"cancel", 0, true, false, ErrorReason::Canceled, "TLS handshake canceled"},
        {"time-out", 150, false, false, ErrorReason::TimedOut, "TLS handshake timed out"},
        {"time-out, Abort elsewhere", 150, false, true, ErrorReason::TimedOut,
         "TLS handshake timed out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::LoopbackListener silent;
        std::unique_ptr<TWirecore> socket = c.abortsElsewhere
                                                ? std::make_unique<AbortingElsewhere>(nullptr)
                                                : std::make_unique<TWirecore>(nullptr);
        socket->Host = "127.0.0.1";
        socket->Port = silent.Port();
        socket->Connect();
        socket->TimeOut = c.timeOut;
        if (c.cancel) QTimer::singleShot(100, [&] { socket->Cancel(); });
        try {
            socket->StartTls(TrustingTestCa());
            ADD_FAILURE() << "the handshake ended";
        } catch (const EAbortError& error) {
            EXPECT_EQ(error.Reason(), c.reason);
            EXPECT_EQ(error.Message(), c.message);
        }
        EXPECT_FALSE(socket->Canceled);
        EXPECT_FALSE(socket->Connected);
        EXPECT_FALSE(socket->TimeoutTimer->Enabled());
    }
}
