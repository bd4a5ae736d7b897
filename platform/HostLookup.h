#pragma once
// Asynchronous host-name lookup, answered on the GUI thread by a notification.
#include "platform/Sockets.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// What the lookup writes into the caller's buffer: the addresses found, of either family, in the
// order the resolver gave them (ports 0). A name with more addresses than fit keeps the first
// ones: a connect tries them in order, and one of the first is as good as any.
struct HostEntry {
    static constexpr uint32_t kMaxAddresses = 16;
    uint32_t addressCount = 0;
    SocketAddress addresses[kMaxAddresses] = {};
};

// Starts a lookup of `name`; when it ends, `window` receives `message` with lParam holding
// sizeof(HostEntry) in its low word and 0 or 11001 (host not found) in its high word, and the
// entry is in `buffer`. Returns a request handle (> 0).
int AsyncGetHostByName(NotificationWindow* window, int message, const std::string& name,
                       void* buffer, size_t bufferLength);
// The answer of this request will not be delivered.
void CancelAsyncRequest(int request);

// The service behind AsyncGetHostByName. It must call `answer` once, on the GUI thread, with the
// addresses found, both families in the resolver's order (none when the name does not resolve)
// -- or never, as a broken resolver may. Replaceable so that tests can make lookups fail, answer
// late, not at all, or with the addresses a test wants.
struct LookupAnswer {
    std::vector<SocketAddress> addresses;
};
using HostLookupService =
    std::function<void(const std::string& name, std::function<void(LookupAnswer)> answer)>;
void SetHostLookupService(HostLookupService service); // empty: the system resolver
HostLookupService SystemHostLookupService();

// Drops the unanswered lookups of a window that is going away.
void ForgetLookupsOf(NotificationWindow* window);

} // namespace platform
