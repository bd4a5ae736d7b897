#pragma once
// A deliberately plain blocking FTP client for checking the test support itself: every read is
// bounded, so a broken fixture fails the test instead of hanging it.
#include <cstdint>
#include <string>

namespace selftest {

class RawSocket {
  public:
    RawSocket() = default;
    explicit RawSocket(int fd) : fd_(fd) {}
    ~RawSocket();
    RawSocket(RawSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    RawSocket& operator=(RawSocket&& other) noexcept;

    static RawSocket Connect(uint16_t port); // 127.0.0.1:port, invalid on failure
    static RawSocket Listen(uint16_t* port); // 127.0.0.1:0
    RawSocket Accept();

    bool Valid() const { return fd_ >= 0; }
    bool SendAll(const std::string& bytes);
    bool SendLine(const std::string& line) { return SendAll(line + "\r\n"); }
    // One line without CR LF; "<eof>" or "<timeout>" when there is none.
    std::string ReadLine();
    // A complete reply (multi-line aware): its last line.
    std::string ReadReply();
    std::string ReadAll(); // until EOF
    void Close();

  private:
    int fd_ = -1;
    std::string buffer_;
};

// "227 ... (h1,h2,h3,h4,p1,p2)" -> p1 * 256 + p2, 0 when malformed.
uint16_t PasvPort(const std::string& reply);
// "PORT 127,0,0,1,p1,p2" for a local port.
std::string PortCommand(uint16_t port);

} // namespace selftest
