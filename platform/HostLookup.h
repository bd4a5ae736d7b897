#pragma once
// Asynchronous host-name lookup, answered on the GUI thread by a notification.
#include "platform/Sockets.h"

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// What the lookup writes into the caller's buffer: the IPv4 addresses found, in network order.
struct HostEntry {
    uint32_t addressCount = 0;
    uint32_t addresses[8] = {};
};

// Starts a lookup of `name`; when it ends, `window` receives `message` with lParam holding
// sizeof(HostEntry) in its low word and 0 or 11001 (host not found) in its high word, and the
// entry is in `buffer`. Returns a request handle (> 0).
int AsyncGetHostByName(NotificationWindow* window, int message, const std::string& name,
                       void* buffer, size_t bufferLength);
// The answer of this request will not be delivered.
void CancelAsyncRequest(int request);

// The service behind AsyncGetHostByName. It must call `answer` once, on the GUI thread, with the
// first IPv4 address found (found = false when there is none) -- or never, as a broken resolver
// may. Replaceable so that tests can make lookups fail, answer late or not at all.
struct LookupAnswer {
    bool found = false;
    uint32_t address = 0; // network byte order
};
using HostLookupService =
    std::function<void(const std::string& name, std::function<void(LookupAnswer)> answer)>;
void SetHostLookupService(HostLookupService service); // empty: the system resolver
HostLookupService SystemHostLookupService();

// Drops the unanswered lookups of a window that is going away.
void ForgetLookupsOf(NotificationWindow* window);

} // namespace platform
