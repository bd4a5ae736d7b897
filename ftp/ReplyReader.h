#pragma once
// Internal to the FTP component: the one reader of the control connection. Every reply line the
// server sends passes through it, whoever waits for it -- a command, the end of a transfer, the
// event loop while nothing runs -- so that it always knows where in the stream of replies it is.
//
// Framing. A reply whose first line begins with three digits and "-" ("220-Welcome") goes on to
// the line that begins with the same three digits and a blank ("220 Ready."); the lines between
// may hold anything: other codes, blanks, nothing at all. Any other first line is a reply of one
// line.
//
// Replies owed. Every command sent is owed one final reply (any reply but a 1xx preliminary one);
// a new connection is owed its greeting. Whatever read is cut short -- a cancelled or failed
// transfer that never reads its closing reply, ABOR, a read ended by Cancel -- leaves its reply
// owed, and before the next command goes out the owed replies are read and dropped (reported at
// level 1). Lines that come while nothing is owed are the server's own: read, reported, and, when
// one is a 421, the end of the session.
//
// Patience. Bringing the session back in step is bounded by "no line for TimeOut milliseconds",
// or for kPatienceMs when TimeOut is 0. A server that does not answer within it has lost track of
// the session, which is then closed ("Not Connected"). QUIT gets a courtesy wait of its own, of
// at most kQuitGraceMs.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TVaskFTP;
class Deadline;
struct FtpReply;

class ReplyReader {
public:
    // Called with every line of a reply as it is read, the first one included.
    using LineSeen = std::function<void(const std::string& line)>;

    static constexpr int kPatienceMs = 10000;
    // How long QUIT waits, at most, for what is owed and its own reply.
    static constexpr int kQuitGraceMs = 1000;

    explicit ReplyReader(TVaskFTP& control);
    ~ReplyReader();
    ReplyReader(const ReplyReader&) = delete;
    ReplyReader& operator=(const ReplyReader&) = delete;

    // A new connection: nothing of it read yet, and its greeting owed.
    void Restart();
    // The session is over: nothing is owed, nothing half read.
    void Forget();
    int Owed() const { return owed_; }

    // Reads what earlier commands are still owed and the lines the server sent on its own, so
    // that the next command's reply is the next reply. A session that cannot be brought in step
    // is closed: "Not Connected" (reason OutOfStep when the server stayed silent).
    void Settle();
    // Settle, send `command`, read its whole reply; LastReply and ReplyCode as its first line
    // gives them. Returns that line (empty when the server hung up instead of answering).
    std::string Command(const std::string& command, const LineSeen& seen = {});
    // Sends `command` without reading anything; its reply is owed.
    void Send(const std::string& command);
    // Reads the next whole reply and sets LastReply and ReplyCode from it (the greeting).
    std::string ReadCommandReply(const LineSeen& seen = {});
    // Reads replies up to the next final one (a transfer's closing reply) and returns its first
    // line; LastReply and ReplyCode stay as they are. Empty when the server hung up.
    std::string ReadFinalReply();
    // Reads the rest of the reply in progress, if one is (its first line has been read).
    void FinishReply();
    // Sends QUIT and reads what is owed, QUIT's reply last, within the courtesy wait. Returns
    // QUIT's reply (and sets LastReply and ReplyCode from it); empty when it did not come, in
    // which case the session has been closed.
    std::string Quit();

    // Bytes that arrived while no operation reads the connection. True when the session is over
    // (the server said 421).
    bool TakeIdleBytes(const char* bytes, size_t count);
    // Bytes that arrived for the non-blocking session, which reads as they come instead of
    // waiting: framed into replies, of which those owed by earlier commands are dropped, and each
    // whole reply to the session's own commands is handed to `deliver`. `mine` counts the final
    // replies the session still waits for; each one handed on counts down.
    void Push(const char* bytes, size_t count, int& mine,
              const std::function<void(const FtpReply&)>& deliver);

    // Every line of the last failure reply (400..599) read, as it came, line ends included: a
    // refusal of several lines often says what matters in its later ones.
    const std::vector<std::string>& LastFailure() const { return lastFailure_; }

private:
    struct Reply {
        std::string first; // its first line as read (empty when it was begun earlier)
        int code = 0;
        bool closed = false; // the server hung up before it ended
    };
    class Patience;

    Reply ReadOne(const LineSeen& seen, bool setsLastReply);
    std::string NextLine();
    // Takes one line into the framing; true when it ends a reply, which then pays what it owes.
    bool Frame(const std::string& line);
    bool Unsettled() const;
    // Cuts bytes that arrived into lines (kept only as far as a code and a readable start go),
    // each reported and handed to `line`, which returns true to stop.
    template <class Line> void Lines(const char* bytes, size_t count, Line line);
    template <class Io> auto Guarded(Io io) -> decltype(io());

    TVaskFTP& control_;
    int owed_ = 0;
    bool inReply_ = false;
    std::string opener_; // the code of the multi-line reply in progress, "" for none
    int replyCode_ = 0;  // the code of the reply in progress or the last one ended
    // The start of a line the event loop has taken before an operation began to read.
    std::string idleLine_;
    std::string pushedFirst_;              // the first line of the pushed reply in progress
    std::vector<std::string> pushedLines_; // ... and its lines so far
    std::vector<std::string> lastFailure_;
    // The bound of the courtesy wait that runs; nullptr when none does.
    Deadline* patience_ = nullptr;
};
