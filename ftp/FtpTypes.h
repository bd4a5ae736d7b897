#pragma once
// Kinds of FTP operation, firewall modes, server-system codes, event types and the exception of
// the FTP component.
#include "net/Certificate.h"
#include "net/Events.h"
#include "platform/Exception.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

enum TCmdType : uint8_t {
    ctChangeDirectory = 0,
    ctMakeDirectory = 1,
    ctDeleteFile = 2,
    ctRemoveDirectory = 3,
    ctList = 4,
    ctDownload = 8,
    ctUpload = 9,
    ctAppend = 10,
    ctOtherCommand = 14,
    ctCurrentDirectory = 15,
};

// How the login passes through a proxy.
enum TFirewallType : uint8_t { FTUser = 0, FtOpen = 1, FtSite = 2 };

// Whether the session speaks FTP over TLS (RFC 4217), and how it starts.
enum TTlsMode : uint8_t {
    tlsNone = 0,        // plain FTP: no AUTH, nothing on the wire differs
    tlsIfAvailable = 1, // "AUTH TLS" after the greeting; in clear when the server refuses it
    tlsRequired = 2,    // "AUTH TLS" after the greeting; no login, and no data, without TLS
    tlsImplicit = 3,    // TLS from the first byte (port 990 by custom), data protected as well
};

// What the application says of a server certificate that did not verify. Either way of
// accepting it holds for the rest of the session; "always" tells the application to remember it.
enum class TCertificateAnswer : uint8_t { Reject, AcceptOnce, AcceptAlways };

// The server's operating system, as its SYST reply names it.
enum : int32_t {
    vendorUnix = 2400,
    vendorDos = 2401,
    vendorVm = 2402,
    vendorMacOs = 2404,
    vendorVms = 2406,
    vendorMvs = 2408,
    vendorOther = 2410,
    vendorAutoDetect = 2411,
    vendorOs400 = 2414,
    vendorNetware = 2416,
};

using TFailureEvent = std::function<void(bool& Handled, TCmdType Trans_Type)>;
using TSuccessEvent = std::function<void(TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TCmdType Trans_Type)>;
using TVaskListItem = std::function<void(const std::string& Listing)>;
using TCertificateEvent =
    std::function<void(const TCertificateInfo& Certificate, TCertificateAnswer& Answer)>;
// The server answered "AUTH TLS" with a refusal where TLS was only welcome: going on means that
// the login, password and all, travels readable. `Reply` is the refusal; the handler leaves
// GoOnInClear true to go on, or sets it false to close the connection before USER is sent.
using TTlsRefusedEvent = std::function<void(const std::string& Reply, bool& GoOnInClear)>;
// Less protection than the session asked for, where that does not end it: reported once per
// session and kind.
enum class TTlsWarning : uint8_t {
    DataInClear,           // the server refused "PROT P": listings and files travel readable
    DataSessionNotResumed, // a data connection did not resume the control connection's session
};
using TTlsWarningEvent = std::function<void(TTlsWarning Warning)>;

// A failure of the FTP session: mostly a failure reply of the server, whose line is the message.
class FTPException : public Exception {
public:
    using Exception::Exception;
    // The server's failure reply `reply`, or, when it is empty, the server's hang-up instead of
    // an answer.
    static FTPException Refusal(const std::string& reply);
    const char* ClassName() const noexcept override { return "FTPException"; }
};

// A server certificate that did not verify and was not accepted, on the control connection before
// the login, or on a data connection that presented another certificate than the control
// connection. The message names the fingerprint; the certificate itself comes along, so that a
// caller can tell the user how to trust it.
class CertificateRejectedError : public FTPException {
public:
    CertificateRejectedError(const std::string& message, TCertificateInfo certificate)
        : FTPException(message, ErrorReason::CertificateRejected),
          certificate_(std::move(certificate))
    {
    }
    const TCertificateInfo& Certificate() const { return certificate_; }

private:
    TCertificateInfo certificate_;
};

// The name of a kind as written in code ("ctDownload"); "ct?" for values no operation produces.
const char* CmdTypeName(TCmdType type);
