#pragma once
// What the operations of the FTP component are fed and what they end in: a whole reply, as the
// one reply reader has framed it, and the failure an operation ends in.
#include "platform/Exception.h"

#include <string>
#include <vector>

// One whole reply of the server: its code, its first line as read, or the server's hang-up
// instead of an answer.
struct FtpReply {
    int code = 0;
    std::string first;
    bool closed = false;
    // Every line of it, as read (line ends included), where the reader kept them: a long reply
    // keeps its first lines and its last. (Braced, so that a reply made of code and text alone
    // need not name it.)
    std::vector<std::string> lines{};

    static FtpReply Closed() { return {0, {}, true}; }
};

// How an operation failed: the message and reason of the exception it ends in.
struct FtpFailure {
    std::string message;
    ErrorReason reason = ErrorReason::ServerRefused;

    // The server's refusal `reply`, or its hang-up when the reply never came.
    static FtpFailure Refusal(const FtpReply& reply);
};
