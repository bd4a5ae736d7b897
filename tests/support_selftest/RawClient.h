#pragma once
// A deliberately plain blocking client for checking the scripted server itself: every read is
// bounded, so a broken fixture fails the test instead of hanging it.
#include <cstdint>
#include <string>

namespace selftest {

class RawSocket {
public:
    RawSocket() = default;
    explicit RawSocket(int fd) : fd_(fd) {}
    ~RawSocket() { Close(); }
    RawSocket(RawSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    RawSocket& operator=(RawSocket&& other) noexcept;

    static RawSocket Connect(uint16_t port); // 127.0.0.1:port, invalid on failure
    bool SendAll(const std::string& bytes);
    bool SendLine(const std::string& line) { return SendAll(line + "\r\n"); }
    // One line without CR LF; "<eof>" or "<timeout>" when there is none.
    std::string ReadLine();
    void Close();

private:
    int fd_ = -1;
    std::string buffer_;
};

} // namespace selftest
