#pragma once
// Kinds of FTP operation, firewall modes, server-system codes, event types and the exception of
// the FTP component.
#include "net/Events.h"
#include "platform/Exception.h"

#include <cstdint>
#include <functional>
#include <string>

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

// A failure of the FTP session: mostly a failure reply of the server, whose line is the message.
class FTPException : public Exception {
public:
    using Exception::Exception;
    // The server's failure reply `reply`, or, when it is empty, the server's hang-up instead of
    // an answer.
    static FTPException Refusal(const std::string& reply);
    const char* ClassName() const noexcept override { return "FTPException"; }
};

// The name of a kind as written in code ("ctDownload"); "ct?" for values no operation produces.
const char* CmdTypeName(TCmdType type);
