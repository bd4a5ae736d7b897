#pragma once
// A scripted FTP server for exact protocol tests. The test writes the conversation down before the
// client connects; a thread of the server then accepts ONE control connection on 127.0.0.1 (or
// ::1) and plays the steps in order, checking every command line the client sends. Afterwards the
// test asks whether every step went as written.
//
//     testsupport::ScriptedFtpServer server;
//     server.Reply("220 hello")
//         .Expect("USER bob").Reply("331 password")
//         .Expect("PASS secret").Reply("230 in")
//         .NoFeatures()
//         .Expect("TYPE I").Reply("200 ok")
//         .PassiveListen().Expect("PASV").ReplyPasv()
//         .Expect("RETR a.bin").Reply("150 here it comes")
//         .AcceptData().SendData("payload").CloseData()
//         .Reply("226 done");
//     server.Start();
//     ... let the client connect to 127.0.0.1:server.Port() and do its work ...
//     EXPECT_TRUE(server.Verify());
//
// Rules of the game:
// - The listener is bound in the constructor, so Port() is valid at once. Steps may only be added
//   before Start(); Start() launches the thread, which waits (bounded by the timeout) for the
//   client.
// - The first failed step (wrong line, timeout, socket error, missing data connection) is recorded
//   and ends the script: the server closes its connections so the client never hangs.
// - Every blocking step is bounded by Timeout() (10 s unless SetTimeout() says otherwise); for data
//   steps it bounds the time without progress, so big transfers are fine.
// - Once the script has run, the server by default keeps the control connection open and keeps
//   recording lines (a late QUIT, say) until the client closes it or the server is destroyed.
//   SetAfterScript() can close (FIN) or reset (RST) it instead.
// - Command lines must end in CR LF; they are recorded without it. A line ending in a bare LF or
//   cut off by the end of the stream is recorded as it is and counts as a failure.
// - One data connection at a time: AcceptData()/ConnectBack() replace an earlier one. A data
//   connection the script never closes stays open and silent until the server is destroyed.
// - Misbehaving on purpose: a step followed by AllowClientAbort() may fail because the client
//   gave up (closed or reset a connection, stopped reading); the script then goes on with the
//   next step.
// - The destructor stops the thread promptly whatever it is doing.
//
// TLS (RFC 4217): after UseCertificate(), StartTls() runs the server's handshake on the control
// connection (AuthTls() is "AUTH TLS", "234" and that handshake), ImplicitTls() runs it as soon as
// the client connects, and StartDataTls() runs it on the data connection; from then on every step
// on that connection speaks TLS. CloseData() ends a TLS data stream with close_notify, CutData()
// without it. DataTlsResumed() tells, per data handshake, whether the client resumed the control
// connection's session.
#include "support/Loopback.h"
#include "support/TestCertificates.h"

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptedFtpServer {
public:
    using Ms = std::chrono::milliseconds;
    enum class AfterScript { KeepOpen, Close, Reset };

    // The control connection is awaited on the family's loopback address.
    explicit ScriptedFtpServer(IpFamily family = IpFamily::V4);
    ~ScriptedFtpServer();
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    // ---- control connection ----
    ScriptedFtpServer& Send(std::string bytes);  // exactly these bytes, no line end added
    ScriptedFtpServer& Reply(std::string line);  // the line plus CR LF
    ScriptedFtpServer& Expect(std::string line); // next command line must equal this exactly
    ScriptedFtpServer& ExpectPrefix(std::string prefix); // ... must start with this (PORT, say)
    ScriptedFtpServer& ExpectAny();                      // next command line, whatever it is
    // The client asks what the server can do after its login; this one knows no FEAT.
    ScriptedFtpServer& NoFeatures();
    ScriptedFtpServer& Close(); // FIN; lines the client still sends are recorded
    ScriptedFtpServer& Reset(); // RST (SO_LINGER 0)
    ScriptedFtpServer& Pause(Ms duration);
    // Waits until the test calls Release() (bounded by the timeout): for what a server says only
    // once the client has given something up, which the script cannot see.
    ScriptedFtpServer& Hold();
    // The client ends this session (whatever it says on the way out is recorded) and connects
    // again: the script goes on with the new control connection.
    ScriptedFtpServer& NextSession();

    // ---- data connection ----
    ScriptedFtpServer& PassiveListen(); // new data listener on the family's loopback address
    // Reply for the passive listener; "{p1}" and "{p2}" become the port's high and low byte,
    // "{port}" the port itself (EPSV: "229 Extended Passive Mode OK (|||{port}|)").
    ScriptedFtpServer& ReplyPasv(std::string format = "227 Entering Passive Mode "
                                                      "(127,0,0,1,{p1},{p2}).");
    ScriptedFtpServer& AcceptData();  // accept the client's connection to the passive listener
    ScriptedFtpServer& ConnectBack(); // connect to the address of the client's last PORT/EPRT line
    ScriptedFtpServer& ConnectBackFrom(std::string localAddress); // ... from this loopback address
    // Someone else on the network gets there first: connect to the client's last PORT address
    // from 127.0.0.2, send `bytes`, and expect the client to close that connection unread.
    // Fails when the client keeps it open (bounded by the timeout).
    ScriptedFtpServer& IntruderConnectBack(std::string bytes);
    ScriptedFtpServer& SendData(std::string bytes);
    ScriptedFtpServer& DripData(std::string bytes, Ms interval); // one byte per interval
    // Read until the client closes the data connection; the bytes go to ReceivedData().
    ScriptedFtpServer& ReceiveData();
    // An active-mode LIST: PORT accepted, "150 listing", `listing` sent back, "226 done".
    ScriptedFtpServer& ActiveListing(std::string listing);
    // Read `count` bytes of the client's upload, then reset the data connection.
    ScriptedFtpServer& ReceiveDataThenReset(size_t count);
    ScriptedFtpServer& CloseData(); // FIN (after close_notify on a TLS data connection)
    ScriptedFtpServer& ResetData(); // RST

    // ---- TLS ----
    ScriptedFtpServer& StartTls();     // the server's handshake on the control connection
    ScriptedFtpServer& AuthTls();      // Expect "AUTH TLS", reply 234, StartTls()
    ScriptedFtpServer& AuthRefused();  // Expect "AUTH TLS", reply 500: a server without TLS
    ScriptedFtpServer& ProtectData();  // "PBSZ 0" and "PROT P", both accepted
    ScriptedFtpServer& StartDataTls(); // the server's handshake on the data connection
    // ... presenting another certificate than the control connection, in a full handshake.
    ScriptedFtpServer& StartDataTlsAs(const TestCertificates::KeyPair& identity);
    ScriptedFtpServer& CutData(); // FIN without close_notify

    // The step before may fail because the client gave up; the script goes on after it.
    ScriptedFtpServer& AllowClientAbort();

    // ---- settings (before Start) ----
    ScriptedFtpServer& SetTimeout(Ms timeout);
    ScriptedFtpServer& SetAfterScript(AfterScript what);
    // The certificate and key the TLS steps present.
    ScriptedFtpServer& UseCertificate(const TestCertificates::KeyPair& identity);
    // TLS from the first byte of the control connection.
    ScriptedFtpServer& ImplicitTls();

    // ---- running and results (thread-safe) ----
    void Start();
    uint16_t Port() const { return port_; }
    void Release(); // lets the script go on past its Hold()
    Ms Timeout() const { return timeout_; }
    bool WaitUntilDone(Ms timeout);   // true once the script has ended (completed or failed)
    bool WaitUntilClosed(Ms timeout); // true once the control connection is gone
    std::vector<std::string> ReceivedLines() const;
    std::vector<std::string> Failures() const;
    std::vector<std::string> ReceivedData() const; // one entry per ReceiveData step
    std::vector<bool> DataTlsResumed() const;      // one entry per StartDataTls step
    // Success when the script ran to its end and nothing failed. Waits for the script first
    // (bounded by the timeout), so call it after the client is done.
    ::testing::AssertionResult Verify();

private:
    enum class Kind {
        Send,
        Expect,
        ExpectPrefix,
        ExpectAny,
        Close,
        Reset,
        Pause,
        Hold,
        NextSession,
        PassiveListen,
        ReplyPasv,
        AcceptData,
        ConnectBack,
        IntruderConnectBack,
        SendData,
        DripData,
        ReceiveData,
        ReceiveDataThenReset,
        CloseData,
        ResetData,
        StartTls,
        StartDataTls,
        CutData
    };
    struct Step {
        Kind kind;
        std::string text;
        Ms interval{0};
        size_t count = 0;
        bool mayFail = false;
    };
    enum class Io { Ready, Timeout, Stopped, Error };
    enum class LineResult { Line, Eof, Failed };

    ScriptedFtpServer& Add(Kind kind, std::string text = {}, Ms interval = Ms{0});
    void Run();
    bool AcceptControl();
    bool RunStep(const Step& step);
    void AfterScriptEnds();
    bool ReadUntilEof(bool bounded); // true when the client closed

    Io WaitFor(int fd, short events, bool bounded);
    bool SendAll(int fd, const char* data, size_t size, const char* what);
    LineResult ReadLine(std::string& line, bool bounded);
    bool Sleep(Ms duration);
    bool WaitForRelease();
    bool DoNextSession();
    UniqueFd AcceptOn(int listener, const char* what);
    bool ExpectLine(const Step& step);
    bool DoReplyPasv(const std::string& format);
    bool DoConnectBack(const std::string& from);
    // -1 on failure; kTurnedAway when `turnedAwayIsFine` and the client reset the connection
    // while it was being made (it refused it at once).
    static constexpr int kTurnedAway = -2;
    int ConnectToPortLine(const char* step, const char* fromAddress, bool turnedAwayIsFine = false);
    bool DoIntruderConnectBack(const std::string& bytes);
    bool DoReceiveDataThenReset(size_t count);
    bool DoReceiveData();
    bool NeedData(const char* step);

    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
        void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    };
    using SslPtr = std::unique_ptr<SSL, SslFree>;
    // The TLS of a connection, when the script has started it there.
    SSL* TlsOf(int fd) const;
    // `identity` ("certificate\nkey" paths) replaces the context's own when not empty.
    bool Handshake(int fd, SslPtr& tls, const char* what, const std::string& identity = {});
    // recv() and send() through TLS where it is on; "try again" is -1 with EAGAIN, and `wait`
    // says what to poll for before trying again.
    ssize_t ReceiveSome(int fd, char* buffer, size_t size, short& wait);
    ssize_t SendSome(int fd, const char* data, size_t size, short& wait);
    // Ends the data connection: close_notify (when TLS is on and `notify`), then FIN.
    void CloseDataConnection(bool notify);

    void Fail(std::string message);
    void Record(std::string line);
    void SetFlag(bool& flag);
    static void GracefulClose(UniqueFd& fd);

    // Set up before the thread starts, read-only afterwards.
    IpFamily family_;
    std::vector<Step> steps_;
    Ms timeout_{10000};
    AfterScript afterScript_ = AfterScript::KeepOpen;
    uint16_t port_ = 0;
    std::unique_ptr<SSL_CTX, SslFree> tlsContext_;
    bool implicitTls_ = false;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;

    // Owned by the server thread while it runs.
    UniqueFd listener_;
    UniqueFd control_;
    UniqueFd dataListener_;
    UniqueFd data_;
    std::string inBuffer_;
    SslPtr controlTls_;
    SslPtr dataTls_;

    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool started_ = false;
    bool done_ = false;
    bool closed_ = false;
    bool completed_ = false;
    bool released_ = false;
    size_t stepReached_ = 0;
    std::vector<std::string> lines_;
    std::vector<std::string> failures_;
    std::vector<std::string> received_;
    std::vector<bool> dataResumed_;
    std::vector<std::string> tolerated_;
    bool tolerating_ = false; // the running step may fail quietly (server thread only)
};

} // namespace testsupport
