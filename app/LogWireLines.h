#pragma once
// The bytes of each listing line as the server sent them, kept beside the log that shows them
// converted to text. A line picked in the log is then asked for with the server's own bytes,
// whatever the log had to show in their place.
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace app {

class LogWireLines {
public:
    // `shown` is the text the log receives for `wire`. Line breaks inside it (a bare carriage
    // return, say) make the log show one line as several of its own lines (blocks).
    void Append(std::string wire, const QString& shown);
    // Also gives the memory of a long listing back.
    void Clear();
    // The line the log shows in its block number `block`, or nullptr for a block no line gave.
    const std::string* LineAtBlock(int64_t block) const;

private:
    std::vector<std::string> lines_;
    std::vector<int64_t> firstBlocks_; // the block each line starts in
    int64_t blocks_ = 0;
};

// How many blocks a text appended to the log as one paragraph takes: the log's document starts a
// new block at a line feed, a carriage return (with or without its line feed), the paragraph
// separator and the frame marks.
int64_t BlocksOf(const QString& text);

} // namespace app
