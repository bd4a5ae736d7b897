#pragma once
// Internal to the FTP component: one command and its reply as a state machine (CWD, DELE, MKD,
// PWD, SYST, anything SendCommand sends). It decides the command's kind, and from the whole reply
// whether the command succeeded; the session sends, reads and reports.
//
//   state          entered when                    left on
//   Idle           made                            Start()
//   AwaitingReply  the command is to go out        its reply
//   Succeeded      a reply below 400 or from 600 on
//   Failed         a reply from 400 to 599, or none (the server hung up)
#include "ftp/FtpReply.h"
#include "ftp/FtpTypes.h"

#include <string>

class CommandOperation {
public:
    enum class State { Idle, AwaitingReply, Succeeded, Failed };

    struct Step {
        enum class Do { Send, Succeed, Fail };
        Do what = Do::Fail;
        std::string command;
        FtpFailure failure;
        // A reply of 500 to 502: OnUnSupportedFunction comes before OnFailure.
        bool unsupported = false;
    };

    explicit CommandOperation(std::string command);

    // The kind the command's events carry: its first word, exactly ("CWD", "DELE", "MKD",
    // "RMD"), or the whole line "PWD"; anything else is ctOtherCommand.
    static TCmdType Classify(const std::string& command);
    TCmdType Kind() const { return kind_; }
    State Current() const { return state_; }

    Step Start();
    Step Reply(const FtpReply& reply);

private:
    Step Enter(State next, Step step);

    std::string command_;
    TCmdType kind_;
    State state_ = State::Idle;
};
