#pragma once
// Checks of the local files that commands read and write, made by ftpdrive before the component
// touches them, so that a missing or unusable file is reported with the system's reason, and
// before any connection is opened for it.
#include "tools/ftpdrive/Options.h"

#include "platform/Exception.h"

#include <exception>
#include <string>
#include <vector>

namespace ftpdrive {

// A local file a command cannot use: the error the component raises for such a file, with its
// text and error number, and the reason in words ("No such file or directory", or one of
// ftpdrive's own where the system has no number for it).
class LocalFileProblem : public std::exception {
public:
    LocalFileProblem(FileError error, std::string reason)
        : error_(std::move(error)), reason_(std::move(reason))
    {
    }
    const char* what() const noexcept override { return error_.what(); }
    const FileError& Error() const { return error_; }
    const std::string& Reason() const { return reason_; }

private:
    FileError error_;
    std::string reason_;
};

// The local file a command reads or writes, as the component resolves it (a download with an
// empty local name writes to the remote name); empty for commands without one.
std::string LocalPathOf(const Command& command);
bool ReadsLocalFile(const Command& command);  // put, append
bool WritesLocalFile(const Command& command); // get, resume

// A file to upload must be a regular file that can be opened for reading.
void CheckFileToSend(const std::string& path);
// A file to download into must be an existing file that can be opened for writing, or a new
// name in a directory that takes new files. Nothing is created or changed.
void CheckFileToReceive(const std::string& path);
bool LocalFileExists(const std::string& path);

// Every command's local file, in order, before the run connects. A file that an earlier command
// of the run downloads need not exist yet; it is checked when its command comes.
void CheckLocalFiles(const std::vector<Command>& commands);

} // namespace ftpdrive
