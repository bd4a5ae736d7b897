// Construction and destruction of the FTP component, and its read-only counters.
#include "ftp/VaskFtp.h"

#include "platform/Sockets.h"

TVaskFTP::TVaskFTP(TComponent* owner) : TWirecore(owner)
{
    Port = 21;
    DataSocket = nullptr;
    ListParser.reset();
    Vendor = vendorAutoDetect;
    // Replies are read by the operation that sent the command; what arrives while none runs, or
    // while one waits on its data connection, is looked at here.
    OnDataArrival = [this](TComponent*) { OnControlInput(); };
    OnSocketEvent = [this](uint16_t event, uint16_t error) {
        if (event == platform::kEventClose) OnControlClosed();
        if (const auto hook = OnControlEvent) hook(event, error);
    };
}

TVaskFTP::~TVaskFTP()
{
    BeginDestroy();
    try {
        // Ends any wait of the control connection that is still on the stack.
        Cancel();
        ListParser.reset();
        // The base destructor's call to Abort can no longer reach this class's version, so the
        // running data connection is cancelled here. No QUIT is sent: the server sees the reset.
        Abort();
    } catch (...) {
    }
    // A DataSocket belongs to the operation that runs it, which frees it as it unwinds.
}

int64_t TVaskFTP::ReceivedBytes() const
{
    return DataSocket ? DataSocket->BytesReceived : lastReceivedBytes_;
}

int64_t TVaskFTP::SentBytes() const { return DataSocket ? DataSocket->BytesSent : lastSentBytes_; }

FTPException FTPException::Refusal(const std::string& reply)
{
    if (reply.empty())
        return FTPException(TVaskFTP::kConnectionClosedText, ErrorReason::ServerClosed);
    return FTPException(reply, ErrorReason::ServerRefused);
}

const char* CmdTypeName(TCmdType type)
{
    switch (type) {
    case ctChangeDirectory: return "ctChangeDirectory";
    case ctMakeDirectory: return "ctMakeDirectory";
    case ctDeleteFile: return "ctDeleteFile";
    case ctRemoveDirectory: return "ctRemoveDirectory";
    case ctList: return "ctList";
    case ctDownload: return "ctDownload";
    case ctUpload: return "ctUpload";
    case ctAppend: return "ctAppend";
    case ctOtherCommand: return "ctOtherCommand";
    case ctCurrentDirectory: return "ctCurrentDirectory";
    }
    return "ct?";
}
