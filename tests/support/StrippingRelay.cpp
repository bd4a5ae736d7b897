#include "support/StrippingRelay.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <fcntl.h>

namespace testsupport {

namespace {

bool SendAll(int fd, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// The reply a server without TLS (or, `withTls`, one that has it) gives to `line`, and whether
// it ends the session.
std::pair<std::string, bool> ReplyTo(const std::string& line, bool withTls)
{
    const std::string verb = line.substr(0, line.find(' '));
    if (verb == "AUTH" && withTls) return {"234 Proceed with negotiation.\r\n", false};
    if (verb == "AUTH") return {"500 AUTH not understood.\r\n", false};
    if (verb == "USER") return {"331 Please specify the password.\r\n", false};
    if (verb == "PASS") return {"530 Login incorrect.\r\n", false};
    if (verb == "QUIT") return {"221 Goodbye.\r\n", true};
    return {"530 Please login with USER and PASS.\r\n", false};
}

} // namespace

struct StrippingRelay::Link {
    int number = 0;
    UniqueFd client;
    UniqueFd server; // empty for a stripped session
    std::string input;
    std::unique_ptr<SSL, SslFree> tls; // a stripped session's, once the stand-in shook hands
};

StrippingRelay::StrippingRelay(uint16_t serverPort, std::set<int> stripped,
                               const std::optional<TestCertificates::KeyPair>& standIn)
    : serverPort_(serverPort), stripped_(std::move(stripped)), listener_(16, true)
{
    if (standIn) {
        standIn_.reset(SSL_CTX_new(TLS_server_method()));
        if (!standIn_ ||
            SSL_CTX_use_certificate_file(standIn_.get(), standIn->certificate.c_str(),
                                         SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_use_PrivateKey_file(standIn_.get(), standIn->key.c_str(), SSL_FILETYPE_PEM) !=
                1)
            standIn_.reset();
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_.Reset(ends[0]);
        wakeWrite_.Reset(ends[1]);
    }
}

StrippingRelay::~StrippingRelay()
{
    if (thread_.joinable()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeWrite_.Get(), &byte, 1);
        thread_.join();
    }
}

void StrippingRelay::Start()
{
    thread_ = std::thread([this] { Run(); });
}

std::vector<std::string> StrippingRelay::StrippedLines() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

int StrippingRelay::Sessions() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return sessions_;
}

void StrippingRelay::Run()
{
    std::vector<Link> links;
    while (true) {
        std::vector<pollfd> watched{{wakeRead_.Get(), POLLIN, 0}, {listener_.Fd(), POLLIN, 0}};
        for (const Link& link : links) {
            watched.push_back({link.client.Get(), POLLIN, 0});
            if (link.server.Valid()) watched.push_back({link.server.Get(), POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), -1) < 0) continue;
        if (watched[0].revents != 0) return;
        if (watched[1].revents != 0) Accept(links);
        size_t at = 2;
        for (auto link = links.begin(); link != links.end();) {
            const short fromClient = watched.size() > at ? watched[at++].revents : 0;
            const short fromServer =
                link->server.Valid() && watched.size() > at ? watched[at++].revents : 0;
            bool alive = true;
            if (fromClient != 0) alive = Relay(*link, link->client.Get());
            if (alive && fromServer != 0) alive = Relay(*link, link->server.Get());
            link = alive ? link + 1 : links.erase(link);
        }
    }
}

void StrippingRelay::Accept(std::vector<Link>& links)
{
    const int fd = ::accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    Link link;
    link.client.Reset(fd);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        link.number = ++sessions_;
    }
    if (stripped_.count(link.number) > 0) {
        if (!SendAll(fd, "220 (relay) ready.\r\n")) return;
    } else {
        link.server = ConnectLoopback(serverPort_);
        if (!link.server.Valid()) return;
    }
    links.push_back(std::move(link));
}

bool StrippingRelay::Relay(Link& link, int from)
{
    char buffer[16384];
    const ssize_t n = link.tls ? SSL_read(link.tls.get(), buffer, sizeof buffer)
                               : ::recv(from, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    if (!link.server.Valid()) {
        link.input.append(buffer, static_cast<size_t>(n));
        return Answer(link);
    }
    const int to = from == link.client.Get() ? link.server.Get() : link.client.Get();
    return SendAll(to, std::string(buffer, static_cast<size_t>(n)));
}

bool StrippingRelay::Answer(Link& link)
{
    size_t end;
    while ((end = link.input.find("\r\n")) != std::string::npos) {
        const std::string line = link.input.substr(0, end);
        link.input.erase(0, end + 2);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(std::to_string(link.number) + ": " + line);
        }
        const bool withTls = standIn_ && !link.tls;
        const auto [reply, ends] = ReplyTo(line, withTls);
        if (link.tls) {
            if (SSL_write(link.tls.get(), reply.data(), static_cast<int>(reply.size())) <= 0 ||
                ends)
                return false;
            continue;
        }
        if (!SendAll(link.client.Get(), reply) || ends) return false;
        if (withTls && line.rfind("AUTH", 0) == 0 && !StandIn(link)) return false;
    }
    return true;
}

bool StrippingRelay::StandIn(Link& link)
{
    // Bounded: a client that gives up half-way must not hold the other sessions up.
    const timeval bound{5, 0};
    ::setsockopt(link.client.Get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    link.tls.reset(SSL_new(standIn_.get()));
    if (!link.tls || SSL_set_fd(link.tls.get(), link.client.Get()) != 1) return false;
    return SSL_accept(link.tls.get()) == 1;
}

} // namespace testsupport
