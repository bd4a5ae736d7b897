#pragma once
// A deliberately plain blocking client for checking the scripted server itself: every read is
// bounded, so a broken fixture fails the test instead of hanging it.
#include "support/Loopback.h"

#include <cstdint>
#include <string>

namespace selftest {

class RawSocket {
public:
    RawSocket() = default;
    explicit RawSocket(testsupport::UniqueFd fd) : fd_(std::move(fd)) {}

    static RawSocket Connect(uint16_t port); // 127.0.0.1:port, invalid on failure
    bool SendAll(const std::string& bytes);
    bool SendLine(const std::string& line) { return SendAll(line + "\r\n"); }
    // One line without CR LF; "<eof>" or "<timeout>" when there is none.
    std::string ReadLine();
    void Close() { fd_.Reset(); }

private:
    testsupport::UniqueFd fd_;
    std::string buffer_;
};

} // namespace selftest
