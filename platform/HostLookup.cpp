#include "platform/HostLookup.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <arpa/inet.h>
#include <net/if.h>

#include <cstring>
#include <optional>
#include <unordered_map>

namespace platform {

namespace {

HostLookupService& Service()
{
    static HostLookupService service;
    return service;
}

struct Pending {
    NotificationWindow* window;
    int message;
    void* buffer;
    size_t length;
};

std::unordered_map<int, Pending>& PendingRequests()
{
    static std::unordered_map<int, Pending> pending;
    return pending;
}

int nextRequest = 1;

void Answer(int request, LookupAnswer answer)
{
    auto it = PendingRequests().find(request);
    if (it == PendingRequests().end()) return; // cancelled, or the window is gone
    Pending p = it->second;
    PendingRequests().erase(it);
    HostEntry entry;
    for (const SocketAddress& address : answer.addresses) {
        if (entry.addressCount == HostEntry::kMaxAddresses) break;
        entry.addresses[entry.addressCount++] = address;
    }
    std::memcpy(p.buffer, &entry, std::min(sizeof entry, p.length));
    uint16_t error = entry.addressCount > 0 ? 0 : 11001;
    p.window->Send(p.message, 0, MakeSelectParam(sizeof(HostEntry), error));
}

std::optional<SocketAddress> FromHostAddress(const QHostAddress& a)
{
    SocketAddress result;
    if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        result.family = kFamilyInet;
        result.address = htonl(a.toIPv4Address());
        return result;
    }
    if (a.protocol() != QAbstractSocket::IPv6Protocol) return std::nullopt;
    result.family = kFamilyInet6;
    const Q_IPV6ADDR bytes = a.toIPv6Address();
    std::memcpy(result.address6.data(), bytes.c, sizeof bytes.c);
    // A link-local address is reachable only through the interface it came with.
    const QString scope = a.scopeId();
    bool numeric = false;
    result.scopeId = scope.toUInt(&numeric);
    if (!numeric && !scope.isEmpty())
        result.scopeId = ::if_nametoindex(scope.toLocal8Bit().constData());
    return result;
}

} // namespace

HostLookupService SystemHostLookupService()
{
    return [](const std::string& name, std::function<void(LookupAnswer)> answer) {
        QHostInfo::lookupHost(QString::fromStdString(name), QCoreApplication::instance(),
                              [answer](const QHostInfo& info) {
                                  LookupAnswer result;
                                  for (const QHostAddress& a : info.addresses())
                                      if (auto address = FromHostAddress(a))
                                          result.addresses.push_back(*address);
                                  answer(result);
                              });
    };
}

void SetHostLookupService(HostLookupService service) { Service() = std::move(service); }

int AsyncGetHostByName(NotificationWindow* window, int message, const std::string& name,
                       void* buffer, size_t bufferLength)
{
    int request = nextRequest++;
    PendingRequests()[request] = Pending{window, message, buffer, bufferLength};
    HostLookupService service = Service() ? Service() : SystemHostLookupService();
    service(name, [request](LookupAnswer answer) { Answer(request, answer); });
    return request;
}

void CancelAsyncRequest(int request) { PendingRequests().erase(request); }

void ForgetLookupsOf(NotificationWindow* window)
{
    for (auto it = PendingRequests().begin(); it != PendingRequests().end();)
        it = it->second.window == window ? PendingRequests().erase(it) : std::next(it);
}

} // namespace platform
