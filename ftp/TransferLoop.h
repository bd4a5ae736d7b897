#pragma once
// Internal to the FTP component: the blocking loop around a listing's or a transfer's machine
// (TransferOperation). The machine says what comes next and how the operation ends; the loop does
// each step with the data operation's blocking steps, whose waits keep the window alive, and tells
// the machine what came of it. What differs from one operation to the next -- the data socket's
// making, status texts, what moves the data, the checks afterwards -- comes in a script.
#include "ftp/FtpDataConnection.h"
#include "ftp/TransferOperation.h"

#include <cstdint>
#include <functional>
#include <string>

namespace ftpdata {

// What one transfer does besides the machine's steps, at the points where it does it.
struct TransferScript {
    // As the data channel is about to be opened (the data socket is made here); false for a
    // failure the OnFailure handler took care of.
    std::function<bool()> beforeChannel = [] { return true; };
    // Once the channel is open, before the restart or the transfer command goes out.
    std::function<void()> channelOpen = [] {};
    // Every line of the transfer command's reply.
    ReplyReader::LineSeen commandLine;
    // The transfer command was refused with `code` (0: the server hung up): true when the
    // caller takes care of that itself, without the failure protocol.
    std::function<bool(int code)> commandRefused;
    // After the server's connection and the handshake, before OnTransactionStart.
    std::function<void()> beforeData = [] {};
    // Moves the data.
    std::function<void(TWirecore&)> move;
    // After the data moved, before the data connection is closed.
    std::function<void()> afterMove;
    // Ended as a success without a data phase (nothing left to fetch).
    std::function<void()> nothingToMove;
    // The checks of a transfer the server confirmed (checksum, kept time); false for a failure
    // the OnFailure handler took care of.
    std::function<bool()> conclude;
    // A refused transfer command (500-502) may be one the server does not support.
    bool reportUnsupported = false;
    // Cuts a resumed download's local file back to `offset` bytes should the server send more
    // than the rest (it ignored the restart and sent the whole file after the part here).
    std::function<void(int64_t)> cutBack;
    int64_t offset = 0;
};

// The loop around the machine. Returns when the operation succeeded (Succeeded() on `op`) or its
// failure was taken care of (by the OnFailure handler, or by the script); raises otherwise. The
// caller releases.
void Drive(TVaskFTP& ftp, DataOperation& op, TransferOperation& machine,
           const TransferScript& script);

} // namespace ftpdata
