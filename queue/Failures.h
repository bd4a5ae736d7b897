#pragma once
// What the queue makes of a failed operation: try the item again, or leave it failed; and
// whether the server said that it will not take as many sessions as we opened.
#include "net/TransferSession.h"

#include <cstdint>

namespace transfer {

// A failure that another try may well not meet: the connection lost or closed, nothing heard
// for too long, the server out of service for now (421), a data connection that could not be
// opened (425) or broke off (426), a file that arrived cut short. A refusal of the request (550,
// 553, ...), a local file that cannot be written, a certificate or a cancel are not.
bool WorthRetrying(const Outcome& outcome);

// The server turned a session away for the number of sessions: "421 too many connections", or
// the login of a session beside others refused. Only meaningful while other sessions are open.
bool TurnedAwayForLoad(const Outcome& outcome);

// The pause before try number `nextTry` (2, 3, ...): it grows with each try.
int64_t RetryPauseMs(int nextTry, int64_t firstPauseMs);

} // namespace transfer
