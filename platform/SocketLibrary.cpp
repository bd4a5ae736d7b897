#include "platform/SocketLibrary.h"

#include <sys/resource.h>
#include <sys/utsname.h>

#include <algorithm>
#include <csignal>
#include <cstdio>

namespace platform {

namespace {
int startups = 0;
}

int StartupSockets(uint16_t requestedVersion, SocketLibraryData* data)
{
    ++startups;
    // A write to a connection the peer closed must come back as an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    *data = SocketLibraryData{};
    data->version = requestedVersion;
    data->highVersion = requestedVersion;
    utsname name{};
    if (uname(&name) == 0)
        std::snprintf(data->description, sizeof data->description, "POSIX sockets on %s %s",
                      name.sysname, name.release);
    else
        std::snprintf(data->description, sizeof data->description, "POSIX sockets");
    std::snprintf(data->systemStatus, sizeof data->systemStatus, "Running");
    rlimit files{};
    rlim_t limit = getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 1024;
    data->maxSockets = static_cast<uint16_t>(std::min<rlim_t>(limit, 0xFFFF));
    data->maxUdpDatagram = 65507; // the largest IPv4 UDP payload
    return 0;
}

int CleanupSockets()
{
    if (startups > 0) --startups;
    return 0;
}

int SocketLibraryStartups() { return startups; }

} // namespace platform
