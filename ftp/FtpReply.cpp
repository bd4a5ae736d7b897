// The failure an operation ends in.
#include "ftp/FtpReply.h"

#include "ftp/VaskFtp.h"

FtpFailure FtpFailure::Refusal(const FtpReply& reply)
{
    if (reply.closed || reply.first.empty())
        return {TVaskFTP::kConnectionClosedText, ErrorReason::ServerClosed};
    return {reply.first, ErrorReason::ServerRefused};
}
