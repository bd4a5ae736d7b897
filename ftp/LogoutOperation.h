#pragma once
// Internal to the FTP component: the logout as a state machine. QUIT goes out at once, whatever
// is still owed (the reply reader reads that first, within a courtesy wait); the connection is
// closed however it ends, and a refused QUIT is the error after that.
//
//   state      entered when               left on
//   Idle       made                       Start()
//   Quitting   QUIT is to go out          its reply, or none within the courtesy wait
//   Done       any reply up to 300 or from 600 on, or none
//   Refused    a reply from 301 to 599
#include "ftp/FtpReply.h"

#include <string>

class LogoutOperation {
public:
    enum class State { Idle, Quitting, Done, Refused };

    struct Step {
        enum class Do { Quit, Close, CloseAndFail };
        Do what = Do::Close;
        std::string status;
        FtpFailure failure;
    };

    State Current() const { return state_; }
    Step Start();
    // QUIT's reply; closed when none came.
    Step Reply(const FtpReply& reply);

private:
    State state_ = State::Idle;
};
