#pragma once
// The socket error numbers the components speak. The platform's own error codes (errno) are
// translated into these in one place, so the message table and every comparison stay the same
// whatever system the program runs on.
#include <cstdint>

namespace platform {

enum SocketErrorNumber : int {
    kErrInterrupted = 10004,
    kErrBadHandle = 10009,
    kErrAccess = 10013,
    kErrFault = 10014,
    kErrInvalid = 10022,
    kErrTooManyFiles = 10024,
    kErrWouldBlock = 10035,
    kErrInProgress = 10036,
    kErrAlready = 10037,
    kErrNotSocket = 10038,
    kErrMessageSize = 10040,
    kErrAddressFamily = 10047,
    kErrAddressInUse = 10048,
    kErrAddressNotAvailable = 10049,
    kErrNetworkDown = 10050,
    kErrNetworkUnreachable = 10051,
    kErrConnectionAborted = 10053,
    kErrConnectionReset = 10054,
    kErrNoBuffers = 10055,
    kErrIsConnected = 10056,
    kErrNotConnected = 10057,
    kErrShutdown = 10058,
    kErrTimedOut = 10060,
    kErrConnectionRefused = 10061,
    kErrHostDown = 10064,
    kErrHostUnreachable = 10065,
    kErrHostNotFound = 11001,
};

// errno -> socket error number; 0 stays 0. Values without a counterpart map above the table's
// range (10100 + errno) so that they are still reported, as an unknown number.
int TranslateErrno(int posixError);

// The error number of the last failed socket call on this thread.
int LastSocketError();
void SetLastSocketError(int error);

} // namespace platform
