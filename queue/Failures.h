#pragma once
// What the queue makes of a failed operation: try the item again, or leave it failed; whether
// the server said that it will not take as many sessions as we opened; and whether the session
// can go on to the next item. It goes by the kind of failure alone (transfer::FailureKind), as
// any session can say it.
#include "net/TransferSession.h"

#include <cstdint>

namespace transfer {

// A failure that another try may well not meet: the connection lost or closed, nothing heard
// for too long, the server turning sessions away for now, a data channel that could not be
// opened or broke off, a file that arrived cut short. A refusal of the request, a local file
// that cannot be written, a certificate or a cancel are not.
bool WorthRetrying(const Outcome& outcome);

// The server turned a session away for the number of sessions: said so, or refused the login
// of a session beside others that logged in with the same name and password. Only meaningful
// while other sessions are open.
bool TurnedAwayForLoad(const Outcome& outcome);

// After the failure the session's connection is still fine: only the request, its data channel
// or the local file failed.
bool SessionSurvives(const Outcome& outcome);

// The pause before try number `nextTry` (2, 3, ...): it grows with each try.
int64_t RetryPauseMs(int nextTry, int64_t firstPauseMs);

} // namespace transfer
