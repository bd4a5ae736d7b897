#include "support/StrippingRelay.h"

#include <poll.h>
#include <sys/socket.h>
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

// The reply a server without TLS gives to `line`, and whether it ends the session.
std::pair<std::string, bool> ReplyTo(const std::string& line)
{
    const std::string verb = line.substr(0, line.find(' '));
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
};

StrippingRelay::StrippingRelay(uint16_t serverPort, std::set<int> stripped)
    : serverPort_(serverPort), stripped_(std::move(stripped)), listener_(16, true)
{
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
    const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
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
        const auto [reply, ends] = ReplyTo(line);
        if (!SendAll(link.client.Get(), reply) || ends) return false;
    }
    return true;
}

} // namespace testsupport
