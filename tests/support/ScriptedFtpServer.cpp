#include "support/ScriptedFtpServer.h"

#include <openssl/err.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testsupport {
namespace {

constexpr size_t kChunk = 256 * 1024;
// Connections the listeners queue before the script accepts them.
constexpr int kBacklog = 8;

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Control characters shown escaped, so a stray CR or NUL is visible in a failure message.
std::string Printable(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

// "h1,h2,h3,h4,p1,p2" with every field 0..255.
bool ParseHostPort(const std::string& text, int fields[6])
{
    size_t pos = 0;
    for (int i = 0; i < 6; ++i) {
        size_t end = pos;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == pos || end - pos > 3) return false;
        fields[i] = std::stoi(text.substr(pos, end - pos));
        if (fields[i] > 255) return false;
        if (i < 5) {
            if (end >= text.size() || text[end] != ',') return false;
            ++end;
        } else if (end != text.size())
            return false;
        pos = end;
    }
    return true;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) !=
            std::toupper(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (size_t pos = text.find(from); pos != std::string::npos;
         pos = text.find(from, pos + to.size()))
        text.replace(pos, from.size(), to);
}

// The address of an EPRT argument, "|2|::1|5282|" or "|1|127.0.0.1|5282|", any delimiter.
bool ParseExtendedAddress(const std::string& text, sockaddr_storage& address)
{
    if (text.size() < 2) return false;
    const char d = text[0];
    std::vector<std::string> fields;
    size_t at = 1;
    for (size_t next; (next = text.find(d, at)) != std::string::npos; at = next + 1)
        fields.push_back(text.substr(at, next - at));
    if (fields.size() != 3 || at != text.size() || fields[2].empty() || fields[2].size() > 5 ||
        fields[2].find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int port = std::stoi(fields[2]);
    if (port < 1 || port > 65535) return false;
    address = {};
    if (fields[0] == "1") {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(uint16_t(port));
        return ::inet_pton(AF_INET, fields[1].c_str(), &v4->sin_addr) == 1;
    }
    if (fields[0] == "2") {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(uint16_t(port));
        return ::inet_pton(AF_INET6, fields[1].c_str(), &v6->sin6_addr) == 1;
    }
    return false;
}

bool IsLoopback(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr) >> 24) == 127;
    return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
}

} // namespace

ScriptedFtpServer::ScriptedFtpServer(IpFamily family) : family_(family)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(ErrnoText("ScriptedFtpServer: pipe2"));
    wakeRead_.Reset(pipeFds[0]);
    wakeWrite_.Reset(pipeFds[1]);
    listener_ = ListenOnLoopback(kBacklog, true, &port_, family);
    if (!listener_.Valid())
        throw std::runtime_error(ErrnoText(
            (std::string("ScriptedFtpServer: listen on ") + LoopbackText(family)).c_str()));
}

ScriptedFtpServer::~ScriptedFtpServer()
{
    // The wake pipe stays readable once written, so every later poll of the thread returns at once.
    char byte = 1;
    while (::write(wakeWrite_.Get(), &byte, 1) < 0 && errno == EINTR) {
    }
    if (thread_.joinable()) thread_.join();
}

// ---- building the script ----

ScriptedFtpServer& ScriptedFtpServer::Add(Kind kind, std::string text, Ms interval)
{
    std::lock_guard lock(mutex_);
    if (started_) throw std::logic_error("ScriptedFtpServer: steps must be added before Start()");
    steps_.push_back(Step{kind, std::move(text), interval});
    return *this;
}

ScriptedFtpServer& ScriptedFtpServer::Send(std::string bytes)
{
    return Add(Kind::Send, std::move(bytes));
}
ScriptedFtpServer& ScriptedFtpServer::Reply(std::string line)
{
    return Add(Kind::Send, std::move(line) + "\r\n");
}
ScriptedFtpServer& ScriptedFtpServer::Expect(std::string line)
{
    return Add(Kind::Expect, std::move(line));
}
ScriptedFtpServer& ScriptedFtpServer::ExpectPrefix(std::string prefix)
{
    return Add(Kind::ExpectPrefix, std::move(prefix));
}
ScriptedFtpServer& ScriptedFtpServer::ExpectAny() { return Add(Kind::ExpectAny); }
ScriptedFtpServer& ScriptedFtpServer::NoFeatures()
{
    return Expect("FEAT").Reply("500 FEAT not understood.");
}
ScriptedFtpServer& ScriptedFtpServer::Close() { return Add(Kind::Close); }
ScriptedFtpServer& ScriptedFtpServer::Reset() { return Add(Kind::Reset); }
ScriptedFtpServer& ScriptedFtpServer::Pause(Ms duration) { return Add(Kind::Pause, {}, duration); }
ScriptedFtpServer& ScriptedFtpServer::Hold() { return Add(Kind::Hold); }
ScriptedFtpServer& ScriptedFtpServer::NextSession() { return Add(Kind::NextSession); }
ScriptedFtpServer& ScriptedFtpServer::PassiveListen() { return Add(Kind::PassiveListen); }
ScriptedFtpServer& ScriptedFtpServer::ReplyPasv(std::string format)
{
    return Add(Kind::ReplyPasv, std::move(format));
}
ScriptedFtpServer& ScriptedFtpServer::AcceptData() { return Add(Kind::AcceptData); }
ScriptedFtpServer& ScriptedFtpServer::ConnectBack() { return Add(Kind::ConnectBack); }
ScriptedFtpServer& ScriptedFtpServer::SendData(std::string bytes)
{
    return Add(Kind::SendData, std::move(bytes));
}
ScriptedFtpServer& ScriptedFtpServer::DripData(std::string bytes, Ms interval)
{
    return Add(Kind::DripData, std::move(bytes), interval);
}
ScriptedFtpServer& ScriptedFtpServer::ReceiveData() { return Add(Kind::ReceiveData); }
ScriptedFtpServer& ScriptedFtpServer::ActiveListing(std::string listing)
{
    return ExpectPrefix("PORT ")
        .Reply("200 PORT ok")
        .Expect("LIST")
        .Reply("150 listing")
        .ConnectBack()
        .SendData(std::move(listing))
        .CloseData()
        .Reply("226 done");
}
ScriptedFtpServer& ScriptedFtpServer::ConnectBackFrom(std::string localAddress)
{
    return Add(Kind::ConnectBack, std::move(localAddress));
}
ScriptedFtpServer& ScriptedFtpServer::IntruderConnectBack(std::string bytes)
{
    return Add(Kind::IntruderConnectBack, std::move(bytes));
}
ScriptedFtpServer& ScriptedFtpServer::ReceiveDataThenReset(size_t count)
{
    Add(Kind::ReceiveDataThenReset);
    std::lock_guard lock(mutex_);
    steps_.back().count = count;
    return *this;
}
ScriptedFtpServer& ScriptedFtpServer::AllowClientAbort()
{
    std::lock_guard lock(mutex_);
    if (started_) throw std::logic_error("ScriptedFtpServer: steps must be added before Start()");
    if (steps_.empty()) throw std::logic_error("ScriptedFtpServer: AllowClientAbort needs a step");
    steps_.back().mayFail = true;
    return *this;
}
ScriptedFtpServer& ScriptedFtpServer::CloseData() { return Add(Kind::CloseData); }
ScriptedFtpServer& ScriptedFtpServer::ResetData() { return Add(Kind::ResetData); }
ScriptedFtpServer& ScriptedFtpServer::StartTls() { return Add(Kind::StartTls); }
ScriptedFtpServer& ScriptedFtpServer::AuthTls()
{
    return Expect("AUTH TLS").Reply("234 AUTH TLS successful").StartTls();
}
ScriptedFtpServer& ScriptedFtpServer::AuthRefused()
{
    return Expect("AUTH TLS").Reply("500 AUTH not understood.");
}
ScriptedFtpServer& ScriptedFtpServer::ProtectData()
{
    return Expect("PBSZ 0")
        .Reply("200 PBSZ=0")
        .Expect("PROT P")
        .Reply("200 Protection set to Private");
}
ScriptedFtpServer& ScriptedFtpServer::StartDataTls() { return Add(Kind::StartDataTls); }
ScriptedFtpServer& ScriptedFtpServer::StartDataTlsAs(const TestCertificates::KeyPair& identity)
{
    return Add(Kind::StartDataTls, identity.certificate + "\n" + identity.key);
}
ScriptedFtpServer& ScriptedFtpServer::CutData() { return Add(Kind::CutData); }

ScriptedFtpServer& ScriptedFtpServer::UseCertificate(const TestCertificates::KeyPair& identity)
{
    std::lock_guard lock(mutex_);
    if (started_) throw std::logic_error("ScriptedFtpServer: UseCertificate after Start()");
    tlsContext_.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX* c = tlsContext_.get();
    if (c == nullptr ||
        SSL_CTX_use_certificate_file(c, identity.certificate.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(c, identity.key.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("ScriptedFtpServer: cannot load " + identity.certificate);
    // Data connections resume the control connection's session, as FTP servers want them to.
    static const unsigned char kSessionContext[] = "tavolen-scripted-ftp";
    SSL_CTX_set_session_id_context(c, kSessionContext, sizeof kSessionContext - 1);
    SSL_CTX_set_mode(c, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
    return *this;
}

ScriptedFtpServer& ScriptedFtpServer::ImplicitTls()
{
    std::lock_guard lock(mutex_);
    if (started_) throw std::logic_error("ScriptedFtpServer: ImplicitTls after Start()");
    implicitTls_ = true;
    return *this;
}

ScriptedFtpServer& ScriptedFtpServer::SetTimeout(Ms timeout)
{
    std::lock_guard lock(mutex_);
    if (started_) throw std::logic_error("ScriptedFtpServer: SetTimeout after Start()");
    timeout_ = timeout;
    return *this;
}

ScriptedFtpServer& ScriptedFtpServer::SetAfterScript(AfterScript what)
{
    std::lock_guard lock(mutex_);
    if (started_) throw std::logic_error("ScriptedFtpServer: SetAfterScript after Start()");
    afterScript_ = what;
    return *this;
}

// ---- results ----

void ScriptedFtpServer::Start()
{
    std::lock_guard lock(mutex_);
    if (started_) throw std::logic_error("ScriptedFtpServer: started twice");
    started_ = true;
    thread_ = std::thread(&ScriptedFtpServer::Run, this);
}

bool ScriptedFtpServer::WaitUntilDone(Ms timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return done_; });
}

bool ScriptedFtpServer::WaitUntilClosed(Ms timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return closed_; });
}

std::vector<std::string> ScriptedFtpServer::ReceivedLines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> ScriptedFtpServer::Failures() const
{
    std::lock_guard lock(mutex_);
    return failures_;
}

std::vector<std::string> ScriptedFtpServer::ReceivedData() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<bool> ScriptedFtpServer::DataTlsResumed() const
{
    std::lock_guard lock(mutex_);
    return dataResumed_;
}

::testing::AssertionResult ScriptedFtpServer::Verify()
{
    bool done = WaitUntilDone(timeout_ + Ms(2000));
    std::lock_guard lock(mutex_);
    if (started_ && done && completed_ && failures_.empty()) return ::testing::AssertionSuccess();

    std::ostringstream out;
    if (!started_)
        out << "scripted server was never started\n";
    else if (!done)
        out << "script still running at step " << stepReached_ + 1 << " of " << steps_.size()
            << "\n";
    else if (!completed_)
        out << "script stopped at step " << stepReached_ + 1 << " of " << steps_.size() << "\n";
    for (const auto& failure : failures_) out << "failure: " << failure << "\n";
    out << "received lines:";
    for (const auto& line : lines_) out << "\n  " << Printable(line);
    return ::testing::AssertionFailure() << out.str();
}

void ScriptedFtpServer::Fail(std::string message)
{
    std::lock_guard lock(mutex_);
    (tolerating_ ? tolerated_ : failures_).push_back(std::move(message));
}

void ScriptedFtpServer::Record(std::string line)
{
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
}

void ScriptedFtpServer::SetFlag(bool& flag)
{
    {
        std::lock_guard lock(mutex_);
        flag = true;
    }
    changed_.notify_all();
}

// ---- the server thread ----

void ScriptedFtpServer::Run()
{
    bool completed = false;
    if (AcceptControl()) {
        completed = true;
        for (size_t i = 0; i < steps_.size(); ++i) {
            {
                std::lock_guard lock(mutex_);
                stepReached_ = i;
            }
            tolerating_ = steps_[i].mayFail;
            const bool ok = RunStep(steps_[i]);
            tolerating_ = false;
            if (!ok && !steps_[i].mayFail) {
                completed = false;
                break;
            }
        }
    }
    if (!completed) {
        // Whatever went wrong, the client must not be left waiting for a reply that never comes.
        data_.Reset();
        dataListener_.Reset();
        control_.Reset();
    }
    {
        std::lock_guard lock(mutex_);
        completed_ = completed;
        if (completed) stepReached_ = steps_.size();
        done_ = true;
    }
    changed_.notify_all();
    if (completed) AfterScriptEnds();
    SetFlag(closed_);
}

bool ScriptedFtpServer::AcceptControl()
{
    control_ = AcceptOn(listener_.Get(), "control connection");
    // One session per server unless the script asks for another: a further connection attempt
    // is refused instead of hanging unanswered.
    const bool moreSessions = std::any_of(steps_.begin(), steps_.end(), [](const Step& step) {
        return step.kind == Kind::NextSession;
    });
    if (!moreSessions) listener_.Reset();
    if (control_.Valid() && implicitTls_) return Handshake(control_.Get(), controlTls_, "control");
    return control_.Valid();
}

bool ScriptedFtpServer::DoNextSession()
{
    if (!ReadUntilEof(true)) {
        Fail("NextSession: the client did not end its session");
        return false;
    }
    controlTls_.reset();
    control_.Reset();
    inBuffer_.clear();
    control_ = AcceptOn(listener_.Get(), "next control connection");
    if (control_.Valid() && implicitTls_) return Handshake(control_.Get(), controlTls_, "control");
    return control_.Valid();
}

void ScriptedFtpServer::AfterScriptEnds()
{
    if (!control_.Valid()) return;
    switch (afterScript_) {
    case AfterScript::KeepOpen: ReadUntilEof(false); break;
    case AfterScript::Close:
        if (controlTls_) SSL_shutdown(controlTls_.get());
        ::shutdown(control_.Get(), SHUT_WR);
        ReadUntilEof(false);
        break;
    case AfterScript::Reset: control_.ResetConnection(); break;
    }
    controlTls_.reset();
    control_.Reset();
}

bool ScriptedFtpServer::RunStep(const Step& step)
{
    switch (step.kind) {
    case Kind::Send: return SendAll(control_.Get(), step.text.data(), step.text.size(), "reply");
    case Kind::Expect:
    case Kind::ExpectPrefix:
    case Kind::ExpectAny: return ExpectLine(step);
    case Kind::Close:
        if (controlTls_) SSL_shutdown(controlTls_.get());
        if (!control_.Valid() || ::shutdown(control_.Get(), SHUT_WR) != 0) {
            Fail("Close: control connection already gone");
            return false;
        }
        return true;
    case Kind::Reset:
        if (!control_.Valid()) {
            Fail("Reset: control connection already gone");
            return false;
        }
        controlTls_.reset();
        control_.ResetConnection();
        SetFlag(closed_);
        return true;
    case Kind::Pause: return Sleep(step.interval);
    case Kind::Hold: return WaitForRelease();
    case Kind::NextSession: return DoNextSession();
    case Kind::PassiveListen: {
        dataListener_.Reset();
        uint16_t port = 0;
        dataListener_ = ListenOnLoopback(kBacklog, true, &port, family_);
        if (!dataListener_.Valid()) {
            Fail(ErrnoText("PassiveListen"));
            return false;
        }
        return true;
    }
    case Kind::ReplyPasv: return DoReplyPasv(step.text);
    case Kind::AcceptData: {
        if (!dataListener_.Valid()) {
            Fail("AcceptData: no PassiveListen before it");
            return false;
        }
        CloseDataConnection(true);
        data_ = AcceptOn(dataListener_.Get(), "data connection");
        dataListener_.Reset();
        return data_.Valid();
    }
    case Kind::ConnectBack: return DoConnectBack(step.text);
    case Kind::IntruderConnectBack: return DoIntruderConnectBack(step.text);
    case Kind::SendData:
        return NeedData("SendData") &&
               SendAll(data_.Get(), step.text.data(), step.text.size(), "data");
    case Kind::DripData:
        if (!NeedData("DripData")) return false;
        for (size_t i = 0; i < step.text.size(); ++i) {
            if (i > 0 && !Sleep(step.interval)) return false;
            if (!SendAll(data_.Get(), &step.text[i], 1, "data")) return false;
        }
        return true;
    case Kind::ReceiveData: return NeedData("ReceiveData") && DoReceiveData();
    case Kind::ReceiveDataThenReset:
        return NeedData("ReceiveDataThenReset") && DoReceiveDataThenReset(step.count);
    case Kind::CloseData:
        if (!NeedData("CloseData")) return false;
        CloseDataConnection(true);
        return true;
    case Kind::CutData:
        if (!NeedData("CutData")) return false;
        CloseDataConnection(false);
        return true;
    case Kind::ResetData:
        if (!NeedData("ResetData")) return false;
        dataTls_.reset();
        data_.ResetConnection();
        return true;
    case Kind::StartTls: return Handshake(control_.Get(), controlTls_, "control");
    case Kind::StartDataTls: {
        if (!NeedData("StartDataTls") || !Handshake(data_.Get(), dataTls_, "data", step.text))
            return false;
        std::lock_guard lock(mutex_);
        dataResumed_.push_back(SSL_session_reused(dataTls_.get()) == 1);
        return true;
    }
    }
    return false;
}

bool ScriptedFtpServer::ExpectLine(const Step& step)
{
    std::string line;
    switch (ReadLine(line, true)) {
    case LineResult::Failed: return false;
    case LineResult::Eof:
        Fail("client closed the control connection; expected " +
             (step.kind == Kind::ExpectAny ? std::string("a command") : "'" + step.text + "'"));
        return false;
    case LineResult::Line: break;
    }
    if (step.kind == Kind::Expect && line != step.text) {
        Fail("expected '" + Printable(step.text) + "', got '" + Printable(line) + "'");
        return false;
    }
    if (step.kind == Kind::ExpectPrefix && line.compare(0, step.text.size(), step.text) != 0) {
        Fail("expected a line starting with '" + Printable(step.text) + "', got '" +
             Printable(line) + "'");
        return false;
    }
    return true;
}

bool ScriptedFtpServer::ReadUntilEof(bool bounded)
{
    std::string line;
    for (;;) {
        switch (ReadLine(line, bounded)) {
        case LineResult::Line: continue;
        case LineResult::Eof: return true;
        case LineResult::Failed: return false;
        }
    }
}

bool ScriptedFtpServer::DoReplyPasv(const std::string& format)
{
    const uint16_t port = dataListener_.Valid() ? LocalPort(dataListener_.Get()) : 0;
    if (port == 0) {
        Fail("ReplyPasv: no PassiveListen before it");
        return false;
    }
    std::string reply = format;
    ReplaceAll(reply, "{p1}", std::to_string(port >> 8));
    ReplaceAll(reply, "{p2}", std::to_string(port & 0xff));
    ReplaceAll(reply, "{port}", std::to_string(port));
    reply += "\r\n";
    return SendAll(control_.Get(), reply.data(), reply.size(), "PASV reply");
}

// Connects to the address of the client's last PORT or EPRT line, from `fromAddress` (nullptr:
// let the system choose); -1 after recording a failure.
int ScriptedFtpServer::ConnectToPortLine(const char* step, const char* fromAddress,
                                         bool turnedAwayIsFine)
{
    std::string portLine;
    for (const auto& line : ReceivedLines())
        if (StartsWithNoCase(line, "PORT ") || StartsWithNoCase(line, "EPRT ")) portLine = line;
    sockaddr_storage addr{};
    int f[6];
    bool valid = false;
    if (StartsWithNoCase(portLine, "EPRT ")) {
        valid = ParseExtendedAddress(portLine.substr(5), addr);
    } else if (!portLine.empty() && ParseHostPort(portLine.substr(5), f)) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl((uint32_t(f[0]) << 24) | (f[1] << 16) | (f[2] << 8) | f[3]);
        v4->sin_port = htons(uint16_t(f[4] * 256 + f[5]));
        valid = true;
    }
    if (!valid) {
        Fail(std::string(step) + ": no valid PORT or EPRT line received ('" + Printable(portLine) +
             "')");
        return -1;
    }
    // Tests never make connections off this machine, whatever the client asked for.
    if (!IsLoopback(addr)) {
        Fail(std::string(step) + ": address is not a loopback address: " + Printable(portLine));
        return -1;
    }
    const socklen_t length = addr.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);

    UniqueFd connection(::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int fd = connection.Get();
    if (fd < 0) {
        Fail(ErrnoText((std::string(step) + ": socket").c_str()));
        return -1;
    }
    if (fromAddress) {
        sockaddr_storage local{};
        local.ss_family = addr.ss_family;
        void* bytes = addr.ss_family == AF_INET
                          ? static_cast<void*>(&reinterpret_cast<sockaddr_in&>(local).sin_addr)
                          : static_cast<void*>(&reinterpret_cast<sockaddr_in6&>(local).sin6_addr);
        if (::inet_pton(addr.ss_family, fromAddress, bytes) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0) {
            Fail(ErrnoText((std::string(step) + ": bind " + fromAddress).c_str()));
            return -1;
        }
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
        if (errno != EINPROGRESS) {
            Fail(ErrnoText((std::string(step) + ": connect").c_str()));
            return -1;
        }
        Io io = WaitFor(fd, POLLOUT, true);
        int error = 0;
        socklen_t len = sizeof error;
        if (io == Io::Ready) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
        if (io == Io::Ready && turnedAwayIsFine && (error == ECONNRESET || error == EPIPE))
            return kTurnedAway;
        if (io != Io::Ready || error != 0) {
            Fail(io == Io::Timeout ? std::string(step) + ": timeout"
                                   : std::string(step) + ": " + std::strerror(error));
            return -1;
        }
    }
    return connection.Release();
}

bool ScriptedFtpServer::DoConnectBack(const std::string& from)
{
    CloseDataConnection(true);
    data_.Reset(ConnectToPortLine("ConnectBack", from.empty() ? nullptr : from.c_str()));
    return data_.Valid();
}

bool ScriptedFtpServer::DoIntruderConnectBack(const std::string& bytes)
{
    // A client quick enough to refuse the intruder before its connect has even completed here is
    // what the step wants to see.
    const int connected = ConnectToPortLine("IntruderConnectBack", "127.0.0.2", true);
    if (connected == kTurnedAway) return true;
    if (connected < 0) return false;
    UniqueFd intruder(connected);
    const int fd = intruder.Get();
    // A send the client refuses by closing at once may fail; that is the expected outcome.
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    // The client must close this connection without sending anything on it.
    bool closed = false;
    bool gotData = false;
    for (;;) {
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            closed = true;
            break;
        }
        if (n > 0) {
            if (!gotData) Fail("IntruderConnectBack: the intruder received data");
            gotData = true;
            continue;
        }
        Io io = WaitFor(fd, POLLIN, true);
        if (io == Io::Timeout)
            Fail("IntruderConnectBack: the client kept the intruder's connection");
        if (io != Io::Ready) break;
    }
    return closed && !gotData;
}

bool ScriptedFtpServer::DoReceiveDataThenReset(size_t count)
{
    std::vector<char> buffer(kChunk);
    size_t taken = 0;
    while (taken < count) {
        short wait = POLLIN;
        ssize_t n =
            ReceiveSome(data_.Get(), buffer.data(), std::min(buffer.size(), count - taken), wait);
        if (n > 0) {
            taken += size_t(n);
        } else if (n == 0) {
            Fail("ReceiveDataThenReset: the client closed after " + std::to_string(taken) +
                 " bytes");
            return false;
        } else if (errno == EAGAIN || errno == EINTR) {
            Io io = errno == EINTR ? Io::Ready : WaitFor(data_.Get(), wait, true);
            if (io == Io::Timeout) Fail("ReceiveDataThenReset: timeout, the client does not send");
            if (io != Io::Ready) return false;
        } else {
            Fail(ErrnoText("ReceiveDataThenReset: recv"));
            return false;
        }
    }
    dataTls_.reset();
    data_.ResetConnection();
    return true;
}

bool ScriptedFtpServer::DoReceiveData()
{
    std::string bytes;
    std::vector<char> buffer(kChunk);
    for (;;) {
        short wait = POLLIN;
        ssize_t n = ReceiveSome(data_.Get(), buffer.data(), buffer.size(), wait);
        if (n > 0) {
            bytes.append(buffer.data(), size_t(n));
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EINTR) {
            Io io = errno == EINTR ? Io::Ready : WaitFor(data_.Get(), wait, true);
            if (io == Io::Timeout)
                Fail("ReceiveData: timeout, the client neither sends nor closes");
            if (io != Io::Ready) return false;
        } else {
            Fail(ErrnoText("ReceiveData: recv"));
            return false;
        }
    }
    dataTls_.reset();
    data_.Reset();
    std::lock_guard lock(mutex_);
    received_.push_back(std::move(bytes));
    return true;
}

bool ScriptedFtpServer::NeedData(const char* step)
{
    if (data_.Valid()) return true;
    Fail(std::string(step) + ": no data connection");
    return false;
}

// ---- blocking helpers, all bounded and all woken by the destructor ----

ScriptedFtpServer::Io ScriptedFtpServer::WaitFor(int fd, short events, bool bounded)
{
    auto deadline = std::chrono::steady_clock::now() + timeout_;
    for (;;) {
        int waitMs = -1;
        if (bounded) {
            auto left = std::chrono::duration_cast<Ms>(deadline - std::chrono::steady_clock::now());
            waitMs = static_cast<int>(std::max<Ms::rep>(left.count(), 0));
        }
        pollfd fds[2] = {{fd, events, 0}, {wakeRead_.Get(), POLLIN, 0}};
        int n = ::poll(fds, 2, waitMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Io::Error;
        if (fds[1].revents != 0) return Io::Stopped;
        if (n == 0) return Io::Timeout;
        return Io::Ready; // includes POLLERR/POLLHUP: the next call reports what happened
    }
}

void ScriptedFtpServer::Release() { SetFlag(released_); }

bool ScriptedFtpServer::WaitForRelease()
{
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (released_) {
                released_ = false;
                return true;
            }
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Fail("Hold: the test never released the script");
            return false;
        }
        // Short naps that a stop still ends at once.
        if (!Sleep(Ms(5))) return false;
    }
}

bool ScriptedFtpServer::Sleep(Ms duration)
{
    pollfd wake{wakeRead_.Get(), POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        auto left = std::chrono::duration_cast<Ms>(deadline - std::chrono::steady_clock::now());
        int n = ::poll(&wake, 1, static_cast<int>(std::max<Ms::rep>(left.count(), 0)));
        if (n > 0) return false;
        if (n == 0) return true;
        if (errno != EINTR) return false;
    }
}

bool ScriptedFtpServer::SendAll(int fd, const char* data, size_t size, const char* what)
{
    if (fd < 0) {
        Fail(std::string("sending ") + what + ": connection already closed");
        return false;
    }
    while (size > 0) {
        short wait = POLLOUT;
        ssize_t n = SendSome(fd, data, size, wait);
        if (n > 0) {
            data += n;
            size -= size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            Io io = errno == EINTR ? Io::Ready : WaitFor(fd, wait, true);
            if (io == Io::Timeout)
                Fail(std::string("timeout sending ") + what + ": the client does not read");
            if (io != Io::Ready) return false;
        } else {
            Fail(ErrnoText((std::string("sending ") + what).c_str()));
            return false;
        }
    }
    return true;
}

ScriptedFtpServer::LineResult ScriptedFtpServer::ReadLine(std::string& line, bool bounded)
{
    if (!control_.Valid()) {
        Fail("reading a command: control connection already closed");
        return LineResult::Failed;
    }
    for (;;) {
        size_t lf = inBuffer_.find('\n');
        if (lf != std::string::npos) {
            line = inBuffer_.substr(0, lf);
            inBuffer_.erase(0, lf + 1);
            bool crlf = !line.empty() && line.back() == '\r';
            if (crlf) line.pop_back();
            Record(line);
            if (crlf) return LineResult::Line;
            Fail("command line ends in a bare LF: '" + Printable(line) + "'");
            return LineResult::Failed;
        }
        char buffer[4096];
        short wait = POLLIN;
        ssize_t n = ReceiveSome(control_.Get(), buffer, sizeof buffer, wait);
        if (n > 0) {
            inBuffer_.append(buffer, size_t(n));
        } else if (n == 0) {
            if (inBuffer_.empty()) return LineResult::Eof;
            Record(inBuffer_);
            Fail("connection closed in the middle of a line: '" + Printable(inBuffer_) + "'");
            inBuffer_.clear();
            return LineResult::Failed;
        } else if (errno == ECONNRESET && inBuffer_.empty()) {
            // The client's first socket closes with a zero linger time, so its ordinary close
            // arrives as a reset: with no line half read, that is the end of the stream.
            return LineResult::Eof;
        } else if (errno == EAGAIN || errno == EINTR) {
            Io io = errno == EINTR ? Io::Ready : WaitFor(control_.Get(), wait, bounded);
            if (io == Io::Timeout) Fail("timeout waiting for a command line");
            if (io != Io::Ready) return LineResult::Failed;
        } else {
            Fail(ErrnoText("reading a command"));
            return LineResult::Failed;
        }
    }
}

UniqueFd ScriptedFtpServer::AcceptOn(int listener, const char* what)
{
    for (;;) {
        UniqueFd accepted(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (accepted.Valid()) return accepted;
        if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
            Fail(ErrnoText((std::string("accepting the ") + what).c_str()));
            return accepted;
        }
        Io io = WaitFor(listener, POLLIN, true);
        if (io == Io::Timeout) Fail(std::string("timeout: the client never opened the ") + what);
        if (io != Io::Ready) return UniqueFd();
    }
}

// ---- TLS ----

SSL* ScriptedFtpServer::TlsOf(int fd) const
{
    if (fd >= 0 && fd == control_.Get()) return controlTls_.get();
    if (fd >= 0 && fd == data_.Get()) return dataTls_.get();
    return nullptr;
}

bool ScriptedFtpServer::Handshake(int fd, SslPtr& tls, const char* what,
                                  const std::string& identity)
{
    const std::string step = std::string("TLS handshake on the ") + what + " connection";
    if (!tlsContext_) {
        Fail(step + ": no UseCertificate() before Start()");
        return false;
    }
    if (fd < 0) {
        Fail(step + ": no connection");
        return false;
    }
    tls.reset(SSL_new(tlsContext_.get()));
    SSL_set_fd(tls.get(), fd);
    if (!identity.empty()) {
        const size_t cut = identity.find('\n');
        const std::string certificate = identity.substr(0, cut), key = identity.substr(cut + 1);
        // Another session context: the client's session is not resumed, so the handshake is a
        // full one and the certificate is sent.
        static const unsigned char kOther[] = "tavolen-scripted-other";
        if (SSL_use_certificate_file(tls.get(), certificate.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_use_PrivateKey_file(tls.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_set_session_id_context(tls.get(), kOther, sizeof kOther - 1) != 1) {
            Fail(std::string("TLS handshake: cannot load ") + certificate);
            tls.reset();
            return false;
        }
    }
    for (;;) {
        ERR_clear_error();
        const int result = SSL_accept(tls.get());
        if (result == 1) return true;
        const int error = SSL_get_error(tls.get(), result);
        short wait = 0;
        if (error == SSL_ERROR_WANT_READ) wait = POLLIN;
        if (error == SSL_ERROR_WANT_WRITE) wait = POLLOUT;
        if (wait == 0) {
            char text[256] = "the client closed the connection";
            if (const unsigned long code = ERR_get_error())
                ERR_error_string_n(code, text, sizeof text);
            Fail(step + ": " + text);
            tls.reset();
            return false;
        }
        const Io io = WaitFor(fd, wait, true);
        if (io == Io::Timeout) Fail(step + ": timeout, the client does not shake hands");
        if (io != Io::Ready) {
            tls.reset();
            return false;
        }
    }
}

ssize_t ScriptedFtpServer::ReceiveSome(int fd, char* buffer, size_t size, short& wait)
{
    wait = POLLIN;
    SSL* tls = TlsOf(fd);
    if (!tls) return ::recv(fd, buffer, size, 0);
    size_t done = 0;
    ERR_clear_error();
    if (SSL_read_ex(tls, buffer, size, &done) == 1) return ssize_t(done);
    switch (SSL_get_error(tls, 0)) {
    case SSL_ERROR_ZERO_RETURN: return 0;
    case SSL_ERROR_WANT_WRITE: wait = POLLOUT; [[fallthrough]];
    case SSL_ERROR_WANT_READ: errno = EAGAIN; return -1;
    default: break;
    }
    // The client's end without close_notify reads as the end of the stream too.
    if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) return 0;
    if (errno == 0 || errno == EAGAIN) errno = ECONNRESET;
    return -1;
}

ssize_t ScriptedFtpServer::SendSome(int fd, const char* data, size_t size, short& wait)
{
    wait = POLLOUT;
    SSL* tls = TlsOf(fd);
    if (!tls) return ::send(fd, data, size, MSG_NOSIGNAL);
    size_t done = 0;
    ERR_clear_error();
    if (SSL_write_ex(tls, data, size, &done) == 1) return ssize_t(done);
    switch (SSL_get_error(tls, 0)) {
    case SSL_ERROR_WANT_READ: wait = POLLIN; [[fallthrough]];
    case SSL_ERROR_WANT_WRITE: errno = EAGAIN; return -1;
    default: break;
    }
    if (errno == 0 || errno == EAGAIN) errno = EPIPE;
    return -1;
}

void ScriptedFtpServer::CloseDataConnection(bool notify)
{
    if (dataTls_ && notify) SSL_shutdown(dataTls_.get());
    dataTls_.reset();
    GracefulClose(data_);
}

void ScriptedFtpServer::GracefulClose(UniqueFd& fd)
{
    if (!fd.Valid()) return;
    // close() with unread input sends RST, which may make the peer drop data it has not read yet;
    // so half-close first and swallow whatever the peer has sent on this connection.
    ::shutdown(fd.Get(), SHUT_WR);
    char buffer[4096];
    while (::recv(fd.Get(), buffer, sizeof buffer, 0) > 0) {
    }
    fd.Reset();
}

} // namespace testsupport
