#pragma once
// TVaskFTP: the FTP client component. Its own socket is the control connection; each listing
// and transfer opens a data connection on a second TWirecore (DataSocket) that lives only as long
// as that operation.
//
// Split by operation family: FtpComponent.cpp (construction), ReplyReader.cpp (the one reader of
// replies: framing, replies owed, bounded waits), FtpControl.cpp (single commands),
// FtpControlUse.cpp (who reads the control connection when: operations, or the server speaking on
// its own while idle), FtpLogin.cpp (Connect, Disconnect), FtpTls.cpp (AUTH TLS, the server's
// certificate, PBSZ and PROT, what data connections take from the control connection's TLS),
// FtpFeatures.cpp (FEAT and the character set after login), FtpDataChannel.cpp
// (PASV/EPSV/PORT/EPRT), FtpDataConnection.cpp (accept, data phase, release), FtpListing.cpp (LIST,
// SYST), FtpTransfers.cpp (STOR, RETR, REST, APPE), ListParsers.cpp (listing columns), FtpText.cpp
// (reply text routines).
#include "ftp/FileVerification.h"
#include "ftp/FtpTypes.h"
#include "ftp/KeepAlive.h"
#include "ftp/ListParsers.h"
#include "ftp/LoginOperation.h"
#include "ftp/NameCharset.h"
#include "ftp/ReplyReader.h"
#include "ftp/TransferChecks.h"
#include "net/ReplyCode.h"
#include "net/Wirecore.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ftpdata {
class DataOperation;
}
namespace ftpfiles {
class DownloadTarget;
}
namespace platform {
class LocalFile;
}

class TVaskFTP : public TWirecore {
public:
    explicit TVaskFTP(TComponent* owner);
    ~TVaskFTP() override;

    // --- Own state ------------------------------------------------------------------------
    // Held by ListDirectory, Upload and Download for as long as they run; nested ones hold it
    // again. A count, not a lock: everything runs on the one thread, where a lock could only
    // ever be taken again by its own holder and would never keep anything out.
    class TTransferLock {
    public:
        bool Held() const { return holders_ > 0; }

    private:
        friend class ftpdata::DataOperation;
        int holders_ = 0;
    };
    TTransferLock TransferLock;
    bool ListInProgress = false;
    std::string UserID;
    std::string Password;
    bool Passive = false;
    // How long active mode waits for the server to connect to us, in milliseconds; 0: as long as
    // TimeOut says (without a TimeOut, until the server answers that it could not). Behind a
    // router that drops the server's attempt, the server may take a minute to say so.
    int32_t AcceptTimeOut = 0;
    // A listing or transfer fails (TimedOut) once it has moved fewer than SpeedLimit bytes a
    // second for SpeedTime seconds, counted from its data phase's start: a server that trickles
    // a byte now and then never lets TimeOut, which only asks for progress, end it. Off while
    // either is 0.
    int64_t SpeedLimit = 0;
    int32_t SpeedTime = 0;
    // The failure text of a transfer that SpeedLimit ended.
    std::string SlowTransferText() const;
    // Download asks the server for the file's size (SIZE) before RETR, so that TransferSize is
    // known even when the RETR reply announces none (as pyftpdlib's does not). It costs each
    // download a round trip; a client that shows progress wants it.
    bool SizeBeforeDownload = false;
    // After a download the local file takes the server's modification time (MLST's "modify", or
    // MDTM), and after an upload the server's file takes the local one's (MFMT, or SITE UTIME,
    // or MDTM with a time before the name), to the second. A server that cannot say or set a time
    // is reported at level 1.
    bool KeepTimes = false;
    // Downloads and uploads are checked against the server's checksum (HASH, XSHA256, XSHA1,
    // XMD5, XCRC), computed here while the bytes pass. A mismatch fails the transfer
    // (VerificationFailed), and a download's file is then kept aside (ftpfiles::UnverifiedPathOf).
    // Resumed downloads and appends are not checked.
    TVerifyMode Verify = TVerifyMode::Off;
    // The last download or upload was checked and matched the server's checksum.
    bool LastTransferVerified() const { return lastTransferVerified_; }
    // The data connection of the innermost listing or transfer running; nullptr otherwise. The
    // operation that runs it owns it.
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

    // --- TLS ------------------------------------------------------------------------------
    // Whether and how the session is encrypted; tlsNone is FTP as it always was.
    TTlsMode TlsMode = tlsNone;
    // PEM files of trust anchors besides the system's, and whether the system's count at all.
    std::vector<std::string> TlsCaFiles;
    bool TlsSystemTrust = true;
    // SHA-256 fingerprints (hex, colons optional) of certificates accepted for good: they pass
    // whatever the check finds, without OnCertificate. The application keeps them.
    std::vector<std::string> TlsPinnedFingerprints;
    // Data connections resume the control connection's TLS session, which servers that check
    // who connects for the data demand (vsftpd: "522 SSL connection failed: session reuse
    // required"). Turned off only for a server that cannot resume.
    bool TlsResumeSessions = true;
    // The server's certificate did not verify and is not pinned; the handler answers. Left
    // unassigned, or answered Reject, the connection closes before the login is sent.
    TCertificateEvent OnCertificate;
    // In if-available mode, the server refused "AUTH TLS": asked before USER whether the login
    // may go in clear. Unassigned, it does, as it always has for a caller that never asked.
    TTlsRefusedEvent OnTlsRefused;
    // Less protection than asked for that does not end the session: the server refused PROT P
    // in if-available mode, or a data connection did not resume the control connection's
    // session. Once per session and kind.
    TTlsWarningEvent OnTlsWarning;
    // A data connection that does not resume the control connection's TLS session fails the
    // operation instead of being warned about: without the resumption, a stranger who reached
    // the data port first may be the one we talk to.
    bool TlsRequireResumedData = false;
    // Said in the failure of such a data connection: how the caller lets them through, when it
    // has a way ("use --allow-unresumed-data", say); nothing by default.
    std::string TlsResumeAdvice;
    // Data connections are encrypted too (PROT P was accepted). Whether the control connection
    // is, with which protocol and cipher, and whose certificate it carries: TlsActive(),
    // TlsVersion(), TlsCipher(), PeerCertificate().
    bool DataProtected() const { return dataProtected_; }

    // --- Keep-alive -----------------------------------------------------------------------
    // NOOP after this many seconds without a command, while no operation uses the control
    // connection; 0: never. Its reply is read as it comes, never waited for.
    int32_t KeepAliveSeconds = 0;
    // Keep-alives stop after this many seconds without a command of the caller's own, letting
    // the server close a session nobody uses; 0: they never stop.
    int32_t KeepAliveLimitSeconds = 0;
    // Internal to the FTP component: a command has gone out on the control connection.
    void NoteCommandSent();

    // --- Control channel ------------------------------------------------------------------
    // Sends one command and reads its whole reply; returns the reply's first line.
    std::string Transaction(const std::string& command) override;
    // Reads the rest of the reply whose first line `line` was the last line read.
    void ConsumeContinuationLines(const std::string& line);
    void SendCommand(const std::string& command);
    void ChangeDirectory(const std::string& directory);
    void DeleteFile(const std::string& fileName);
    void MakeDirectory(const std::string& directory);
    std::string CurrentDirectory();
    void Abort() override;
    static TCmdType ClassifyCommand(const std::string& command);
    // The one place a failed operation becomes its events and its error: OnUnSupportedFunction
    // when `unsupported`, then OnFailure; returns only when the handler set Handled, and raises
    // `failure` otherwise.
    void ReportFailure(TCmdType kind, const FTPException& failure, bool unsupported);

    // --- Login and logout -----------------------------------------------------------------
    void Connect() override;
    void Disconnect() override;

    // What the server said of itself after login (FEAT), for this session only: whether a
    // feature is listed (its first word, in any case: "UTF8", "EPSV", "REST"), and whether names
    // and listings are UTF-8. Otherwise they are taken to be windows-1252, until a listing shows
    // names that are all valid UTF-8 (see ftpnames::NameCharsetGuess).
    bool HasFeature(const std::string& name) const;
    // The feature lines of FEAT, as the server wrote them ("MLST size*;modify*;", "HASH SHA-1*").
    const std::vector<std::string>& Features() const { return features_; }
    bool Utf8() const { return utf8_ || listingNames_.Utf8(); }
    // Evidence against UTF-8: FEAT did not say it and a listing showed a name that is not UTF-8.
    // A caller that must choose with no evidence either way may choose UTF-8, as servers and
    // clients today expect.
    bool NamesNotUtf8() const { return !Utf8() && listingNames_.Decided(); }

    // The message of the FTPException raised when the server closes the control connection
    // instead of answering a command or a login step.
    static constexpr const char* kConnectionClosedText = "Connection closed by server";

    // --- Listing and transfers ------------------------------------------------------------
    void ListDirectory();
    void Upload(const std::string& LocalPath, const std::string& RemotePath);
    void Download(const std::string& RemotePath, const std::string& LocalPath);
    void ResumeDownload(const std::string& RemotePath, const std::string& LocalPath);
    // The same into a target that opens its own file (ftp/DownloadTarget.h): the bytes go
    // through the handle it opened, never through a name looked up again.
    void Download(const std::string& RemotePath, ftpfiles::DownloadTarget& Target);
    void ResumeDownload(const std::string& RemotePath, ftpfiles::DownloadTarget& Target);
    void AppendUpload(const std::string& LocalPath, const std::string& RemotePath);

    // --- Machine listings (MLSD, MLST) ----------------------------------------------------
    // A parsed listing (ParseList) is taken with MLSD when the server lists MLST among its
    // features: its facts need no guessing. When MLSD is refused or its answer cannot be read,
    // the listing is taken again with LIST, and so is every later one of the session.
    bool UsesMachineListings() const;
    // What MLST says of one path: its kind, size and time. Nothing when the server does not
    // offer MLST, refuses (no such path) or answers with no readable fact line.
    std::optional<TFTPListEntry> DescribePath(const std::string& path);
    // Internal to the FTP component: once a session, "OPTS MLST" for the facts the parsers read,
    // when the server offers them without sending them all by default.
    void AskMlstFacts();
    bool mlsdFailed_ = false;
    bool mlstFactsAsked_ = false;

    // Counters of the running data connection; when none runs, those of the last one (0 before
    // the first), until the next listing or transfer starts.
    int64_t ReceivedBytes() const;
    int64_t SentBytes() const;

    // ---- Internal to the FTP component (data connections) --------------------------------
    // Set by the data-connection code: the counters of the last data connection released.
    int64_t lastReceivedBytes_ = 0;
    int64_t lastSentBytes_ = 0;
    // What the session's listings say of the character set of its names.
    ftpnames::NameCharsetGuess listingNames_;
    // What the transfers' checks have learnt of this session, and how the last one ended.
    ftpfiles::FileCheckSession fileChecks_;
    bool lastTransferVerified_ = false;
    // Failures handed to OnFailure so far: an upload's or download's outer guard does not hand
    // the same failure over a second time.
    int64_t failuresReported_ = 0;

    // Marks the control connection as in use by an operation for as long as it lives. Only while
    // no operation uses it is input arriving there the server's own initiative (a 421 before it
    // hangs up, the close itself), which OnControlInput then reads. Nested operations nest.
    class ControlUse {
    public:
        explicit ControlUse(TVaskFTP& ftp);
        ~ControlUse();
        ControlUse(const ControlUse&) = delete;
        ControlUse& operator=(const ControlUse&) = delete;

    private:
        TVaskFTP& ftp_;
    };

    // The reader of every reply on the control connection.
    ReplyReader& Replies() { return replies_; }
    // What a data connection's TLS handshake is given: the control connection's server name,
    // trust and session, and its certificate accepted without asking again.
    TTlsSettings DataTlsSettings() const;
    // After a data connection's handshake: one that did not resume the control connection's
    // session fails the operation when TlsRequireResumedData says so (TlsDataNotResumed), and is
    // otherwise warned about once per session.
    void CheckDataSessionResumed(const TWirecore& data);
    // The control connection's input as replies are read from it, decrypted when TLS is on:
    // whether a byte of it is waiting, and how many bytes are (decrypted and not), to tell that
    // something new arrived. (Peek looks at them.)
    bool ControlInputWaiting();
    long ControlPending();

    // Refuses a command line that carries a line end or a zero byte ("Invalid character in
    // command"); such a line would let a name smuggle in a second command.
    static void RequireSingleLine(const std::string& command);

    // ---- Internal: the non-blocking session (FtpSession) ---------------------------------
    // While a listener is set, the control connection is read from the event loop as bytes
    // arrive: replies owed by earlier commands are dropped, and each whole reply to a command
    // sent by SendWithoutWaiting goes to the listener, as does the server's hang-up
    // (FtpReply::Closed()). No blocking operation runs meanwhile.
    // `owed`: how many of the replies owed now are the listener's own (a new connection's
    // greeting, say).
    using ReplyListener = std::function<void(const FtpReply&)>;
    void ListenForReplies(ReplyListener listener, int owed = 0);
    void SendWithoutWaiting(const std::string& command);
    // Closes the control connection at once, without QUIT: its replies no longer answer the
    // commands they would be taken for, so nothing more said on it can be trusted.
    void AbandonSession() { DropSession(); }
    // Sends QUIT without waiting for its reply and closes: a cancelled login's end, and a
    // session the user stopped.
    void LeaveAtOnce();

    // Every notification of the control connection, after the component's own handling of it:
    // for the session's login, which connects and runs the TLS handshake without waiting.
    std::function<void(uint16_t event, uint16_t error)> OnControlEvent;

private:
    friend class ReplyReader;
    // The session's login does the steps of Connect without waiting (FtpSessionLogin.cpp).
    friend class FtpSession;

    // The downloads behind both forms of Download and ResumeDownload: `open` opens the local
    // file, emptied or (true) to append to.
    using LocalOpener = std::function<platform::LocalFile(bool append)>;
    void DownloadThrough(const std::string& RemotePath, const std::string& target,
                         const LocalOpener& open);
    void ResumeThrough(const std::string& RemotePath, const LocalOpener& open);

    // Reads what arrived for the listener.
    void PushControlInput();
    // Reads what the control connection has now, a bounded amount per notification, handing it
    // to `take` (true: the session is over); `closed` follows the end of the stream.
    void ReadControlInput(const std::function<bool(const char*, size_t)>& take,
                          const std::function<void()>& closed);
    ReplyListener replyListener_;
    int listenerOwed_ = 0;
    // Shown every line of the listener's replies (FEAT's features), while set.
    ReplyReader::LineSeen listenerLines_;

    // Connect's loop around its machine, and what it does for the machine.
    LoginOperation::Settings LoginSettings() const;
    void RunLogin();
    FtpReply LoginGreeting();
    // Sends a login command and reads its whole reply (masked); a connection that is gone
    // answers as a server that hung up.
    FtpReply LoginExchange(const std::string& command, const ReplyReader::LineSeen& seen = {});
    // The loop around the machine of the work after login (FEAT, OPTS UTF8, PBSZ and PROT).
    void RunSetup();
    // OnConnectionFailed, then the login's failure as its exception (CertificateRejectedError,
    // with the connection dropped without QUIT, for a refused `certificate`).
    [[noreturn]] void FailLogin(const LoginOperation::Step& step,
                                const TCertificateInfo& certificate);
    // `text` with the login's passwords masked, wherever a server repeats them.
    std::string WithoutSecrets(std::string text) const;
    // A status handler that masks the login's passwords before LastStatus and `shown` see a text.
    TOnStatus MaskingPasswords(TOnStatus shown);
    void ForgetFeatures();

    // TLS steps of Connect (FtpTls.cpp).
    // The handshake on the control connection; true when the server's certificate verified (or
    // is pinned).
    bool SecureControlConnection();
    // What the control connection's handshake is given; notes the name checked against.
    TTlsSettings ControlTlsSettings();
    // OnCertificate for a certificate that did not verify: true when the handler accepts it
    // (it then holds for the data connections of the session).
    bool AcceptCertificate(const TCertificateInfo& certificate);
    // Required and implicit mode take nothing less than TLS.
    bool TlsMandatory() const { return TlsMode == tlsRequired || TlsMode == tlsImplicit; }
    TTlsSettings TlsSettingsFor(const std::string& serverName) const;
    void ForgetTls();

    // A read notification on the control connection.
    void OnControlInput();
    // The close notification of the control connection.
    void OnControlClosed();
    // Reads what the server sent while no operation was waiting for it; a 421 or the end of the
    // stream ends the session.
    void ReadUnsolicitedInput();
    // The server has gone (or must be treated as gone): forget its session and close the
    // connection, so that OnDisconnect fires and the next command reports "Not Connected".
    void DropSession();

    // The keep-alive's schedule and timer, made by the first command while KeepAliveSeconds is on.
    void ScheduleKeepAlive(std::optional<int> retryMs);
    void KeepAliveTick();
    std::unique_ptr<KeepAliveRunner> keepAlive_;

    int controlUsers_ = 0;
    ReplyReader replies_{*this};
    std::vector<std::string> features_; // the feature lines of FEAT, leading blank removed
    bool utf8_ = false;
    // The name the server's certificate was checked against, and the fingerprint of one the
    // OnCertificate handler accepted, for the data connections of the session.
    std::string tlsServerName_;
    std::string acceptedFingerprint_;
    bool dataProtected_ = false;
    bool unresumedDataWarned_ = false;
};

// The byte count a reply line announces in one of the clear forms "(N bytes)" or "N bytes" (the
// word in any case, blanks allowed before it, "byte" too), N standing after a blank or "(" and
// never the line's own code: "150 Opening data connection for f (1234 bytes)" gives 1234. The
// first such count of the line; 0 when there is none or it does not fit 64 bits -- the size is
// then unknown.
int64_t ParseTransferSize(const std::string& reply);

// `text` with every whole occurrence of `secret` replaced by "*****": one that is neither
// preceded nor followed by a letter, digit or underscore, and that does not begin inside the code
// of a reply line. So a password a server echoes is hidden, and a short one never eats into
// another word ("in" leaves "Login" alone) or a code.
std::string MaskSecret(std::string text, const std::string& secret);

// A reply of one or more lines as one line of text, for a message: the code once, then the text of
// every line without its "ddd-" or "ddd " mark and line end, joined by blanks. "421-Too many
// users." and "421 Try later." give "421 Too many users. Try later."
std::string ReplyText(const std::vector<std::string>& lines);
