#pragma once
// The exception family of the toolkit: one base class that carries a message text and a typed
// reason, and the run-time library's errors (conversion, range, files). Components derive their
// own from it. The text is for people; code that has to decide what happened looks at Reason().
#include <cerrno>
#include <exception>
#include <string>

// What went wrong. One list for every layer, so that a caller several layers up can tell a
// refused connection from a time-out or a server's refusal without reading texts.
enum class ErrorReason {
    // The run-time library
    InvalidInteger, // a text that is not a whole number
    OutOfRange,     // a value the type that must hold it cannot
    FileOpen,       // a local file that cannot be opened (ErrorNumber: errno)
    FileCreate,     // ... created (ErrorNumber: errno)
    FileRead,       // ... read (ErrorNumber: errno)
    FileWrite,      // ... written (ErrorNumber: errno)
    // Sockets and connections
    SocketStartup,     // the socket library or the first socket could not be had
    SocketError,       // a socket call failed (ErrorNumber: the socket error number)
    AlreadyConnected,  // Connect on a connected component
    NullRemoteAddress, // no address for the host, and no handler supplied one
    LookupTimedOut,
    LookupCanceled,
    LookupFailed,
    ConnectTimedOut,
    ConnectCanceled,
    ConnectFailed, // the connect attempt failed (ErrorNumber: why, when the system said)
    AcceptCanceled,
    AcceptFailed,
    Canceled,       // an input or output operation ended by Cancel or Abort
    TimedOut,       // ... ended because nothing happened for TimeOut milliseconds
    LineTooLong,    // a line past the length limit
    SendInProgress, // a send started while another one on the same connection was under way
    // TLS
    TlsHandshakeFailed, // the handshake did not complete (the message names OpenSSL's reason)
    TlsFailed,          // a TLS error on an established connection (a record that fails, ...)
    TlsTruncated,       // the peer ended the TLS stream without close_notify during a file
    // The server's certificate did not verify and nobody accepted it (or a data connection
    // presented another one than the control connection)
    CertificateRejected,
    TlsUnavailable, // TLS was required and the server would not speak it (AUTH TLS, PROT P)
    // The server would not speak TLS, and the OnTlsRefused handler would not go on in clear
    ClearLoginDeclined,
    // A data connection did not resume the control connection's TLS session, and resumption
    // was required: whoever connected may not be the client that logged in
    TlsDataNotResumed,
    NotConnected,
    NoTimer,
    // The FTP session
    ServerRefused,      // the server answered with a failure reply; the message is that reply
    ServerClosed,       // the server closed the connection instead of answering
    BadReply,           // a reply that cannot be understood (a PASV reply naming no port, ...)
    OutOfStep,          // replies owed by earlier commands never came; the session was closed
    InvalidCommand,     // a command line with a line end or zero byte in it
    ListInProgress,     // a listing started while one runs
    TransferIncomplete, // the local file is not the server's file
    VerificationFailed, // the file's checksum is not the server's
    // A check was required and the server offers no checksum, or would not give one
    VerificationUnavailable,
    // The data connection could not be made: the server refused the address we offered (PORT,
    // EPRT), said it could not open the connection (425), or never connected back in time.
    DataConnectionFailed,
    Unknown, // a failure of unknown origin (an exception not of this family)
};

class Exception : public std::exception {
public:
    Exception(std::string message, ErrorReason reason, int errorNumber = 0)
        : message_(std::move(message)), reason_(reason), errorNumber_(errorNumber)
    {
    }
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    ErrorReason Reason() const noexcept { return reason_; }
    // The system's number behind the failure, 0 when there is none: the socket error number
    // (10061, ...) for socket failures, errno for local files.
    int ErrorNumber() const noexcept { return errorNumber_; }
    // The class name shown by diagnostics ("Exception", "ESockError", ...).
    virtual const char* ClassName() const noexcept { return "Exception"; }

private:
    std::string message_;
    ErrorReason reason_;
    int errorNumber_;
};

// A text that is not a whole number: "'%s' is not a valid integer value".
class ConvertError : public Exception {
public:
    static ConvertError InvalidInteger(const std::string& text);

private:
    explicit ConvertError(std::string message)
        : Exception(std::move(message), ErrorReason::InvalidInteger)
    {
    }
};

// A value outside the range of the type that must hold it.
class RangeError : public Exception {
public:
    RangeError() : Exception("Range check error", ErrorReason::OutOfRange) {}
};

// Local files: "Cannot open file %s", "Cannot create file %s", and failed reads and writes. Each
// keeps the errno of the call that failed, so that a caller can say why.
class FileError : public Exception {
public:
    using Exception::Exception;
};

// One class per way a local file can fail, so that callers can catch the one they expect.
template <ErrorReason R> class LocalFileError : public FileError {
public:
    explicit LocalFileError(const std::string& path, int error = errno)
        : FileError(Verb() + path, R, error)
    {
    }

private:
    static std::string Verb()
    {
        switch (R) {
        case ErrorReason::FileOpen: return "Cannot open file ";
        case ErrorReason::FileCreate: return "Cannot create file ";
        case ErrorReason::FileRead: return "Cannot read file ";
        default: return "Cannot write file ";
        }
    }
};
using FileOpenError = LocalFileError<ErrorReason::FileOpen>;
using FileCreateError = LocalFileError<ErrorReason::FileCreate>;
using FileReadError = LocalFileError<ErrorReason::FileRead>;
using FileWriteError = LocalFileError<ErrorReason::FileWrite>;

// The reason of whatever `error` is: its own for this family, Unknown for anything else.
inline ErrorReason ReasonOf(const std::exception& error)
{
    const auto* own = dynamic_cast<const Exception*>(&error);
    return own ? own->Reason() : ErrorReason::Unknown;
}
