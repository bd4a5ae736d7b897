#pragma once
// Internal to the FTP component: the session's operations that move no data, each one or two
// commands, as a machine fed the whole replies. It says what goes out next and how the operation
// ended; FtpSession sends, checks each reply against the command it answers (ReplyFit) and
// reports.
//
//   operation          commands               ends ok on
//   ChangeDirectory    CWD path, then PWD     CWD's success; the path is PWD's (none when PWD
//                                             is refused: the directory changed all the same)
//   CurrentDirectory   PWD                    a success that names a path
//   Delete             DELE path              a success
//   RemoveDirectory    RMD path               a success
//   Rename             RNFR from, RNTO to     RNFR's 350, then RNTO's success
//   SendCommand        the line as given      a last word below 400 or from 600 on; every line
//                                             of it is kept, a refusal's too
//
// A 4xx or 5xx ends the operation with the refusal; the server's hang-up, with its closing.
#include "ftp/FtpReply.h"
#include "net/TransferSession.h"

#include <string>

class SessionCommand {
public:
    struct Step {
        enum class Do { Send, Wait, Succeed, Fail };
        Do what = Do::Fail;
        std::string command; // Send
        FtpFailure failure;  // Fail
    };

    // The operations it runs.
    static bool Handles(transfer::Operation operation);

    // Refuses ("Invalid character in command") a line that would carry a second command.
    explicit SessionCommand(const transfer::Request& request);

    Step Start();
    Step Reply(const FtpReply& reply);

    // The command line whose reply is awaited.
    const std::string& Awaiting() const { return sent_; }
    // Once ended: the directory (ChangeDirectory, CurrentDirectory), the lines of the reply
    // (SendCommand).
    const std::string& Path() const { return path_; }
    const std::string& ReplyText() const { return replyText_; }

private:
    Step Send(std::string command);
    Step Succeed();
    Step Fail(FtpFailure failure);
    Step Directory(const FtpReply& reply);

    transfer::Request request_;
    std::string sent_;
    std::string path_;
    std::string replyText_;
    bool ended_ = false;
};

// The path a PWD or MKD reply names: the text between the first double quote and the closing
// one, a doubled quote standing for one. Empty when it names none.
std::string QuotedPath(const std::string& reply);
