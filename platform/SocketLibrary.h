#pragma once
// Start-up and clean-up of the sockets layer, with the information record it fills in.
// POSIX sockets need no start-up; the record describes what this platform offers.
#include <cstdint>

namespace platform {

struct SocketLibraryData {
    uint16_t version = 0; // low byte major, high byte minor
    uint16_t highVersion = 0;
    char description[257] = {};
    char systemStatus[129] = {};
    uint16_t maxSockets = 0;
    uint16_t maxUdpDatagram = 0;
    const char* vendorInfo = nullptr;
};

// Requests the given version (257 = 1.1); fills `data`. Returns 0 on success.
int StartupSockets(uint16_t requestedVersion, SocketLibraryData* data);
int CleanupSockets();
// How many start-ups are not yet cleaned up (for tests of the components' reference count).
int SocketLibraryStartups();

} // namespace platform
