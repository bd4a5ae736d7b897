#pragma once
// TVaskFTP: the FTP client component. Its own socket is the control connection; each listing
// and transfer opens a data connection on a second TWirecore (DataSocket) that lives only as long
// as that operation.
//
// Split by operation family: FtpComponent.cpp (construction), FtpControl.cpp (replies, single
// commands), FtpLogin.cpp (Connect, Disconnect), FtpDataConnection.cpp (PASV/PORT, accept,
// release), FtpListing.cpp (LIST, SYST), FtpTransfers.cpp (STOR, RETR, REST, APPE),
// ListParsers.cpp (listing columns), FtpText.cpp (reply text routines).
#include "ftp/FtpTypes.h"
#include "ftp/ListParsers.h"
#include "net/Wirecore.h"

#include <memory>
#include <mutex>
#include <string>

class TVaskFTP : public TWirecore {
public:
    explicit TVaskFTP(TComponent* owner);
    ~TVaskFTP() override;

    // --- Own state ------------------------------------------------------------------------
    // Taken by ListDirectory, Upload and Download; recursive, so it never blocks this thread.
    std::recursive_mutex TransferLock;
    bool ListInProgress = false;
    std::string UserID;
    std::string Password;
    bool Passive = false;
    // The data connection of the innermost listing or transfer running; nullptr otherwise.
    TWirecore* DataSocket = nullptr;

    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    TSuccessEvent OnSuccess;
    TFailureEvent OnFailure;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed; // kept for callers; no operation fires it
    TVaskListItem OnListItem;
    // Fires after a complete login. Supersedes the socket component's OnConnect.
    TNotifyEvent OnConnect;
    TUnsupportedEvent OnUnSupportedFunction;

    int32_t Vendor = vendorAutoDetect;
    std::unique_ptr<TFTPDirectoryList> ListParser;
    bool ParseList = false;
    TFirewallType FirewallType = FTUser;
    std::string FWUserID;
    std::string FWPassword;
    bool FWAuthenticate = false;

    // --- Control channel ------------------------------------------------------------------
    std::string Transaction(const std::string& command) override;
    void ConsumeContinuationLines(std::string line);
    void SendCommand(const std::string& command);
    void ChangeDirectory(const std::string& directory);
    void DeleteFile(const std::string& fileName);
    void MakeDirectory(const std::string& directory);
    std::string CurrentDirectory();
    void Abort() override;
    static TCmdType ClassifyCommand(const std::string& command);

    // --- Login and logout -----------------------------------------------------------------
    void Connect() override;
    void Disconnect() override;

    // The message of the FTPException raised when the server closes the control connection
    // instead of answering a command or a login step.
    static constexpr const char* kConnectionClosedText = "Connection closed by server";

    // --- Listing and transfers ------------------------------------------------------------
    void ListDirectory();
    void Upload(const std::string& LocalPath, const std::string& RemotePath);
    void Download(const std::string& RemotePath, const std::string& LocalPath);
    void ResumeDownload(const std::string& RemotePath, const std::string& LocalPath);
    void AppendUpload(const std::string& LocalPath, const std::string& RemotePath);

    // Counters of the running data connection; when none runs, those of the last one (0 before
    // the first), until the next listing or transfer starts.
    int64_t ReceivedBytes() const;
    int64_t SentBytes() const;

    // ---- Internal to the FTP component (data connections) --------------------------------
    // Set by the data-connection code: the counters of the last data connection released.
    int64_t lastReceivedBytes_ = 0;
    int64_t lastSentBytes_ = 0;

private:
    // Steps of Connect.
    void LoginGreeting();
    void LoginCommand(const std::string& command);
    void LoginProxyCommand();
    [[noreturn]] void RejectLogin(const std::string& message);
};

// The byte count a reply announces before the word "BYTE" (any case); 0 when there is none or it
// does not fit 64 bits.
int64_t ParseTransferSize(const std::string& reply);
