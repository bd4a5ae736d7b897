#pragma once
// Internal to the FTP component: what follows a login, as a state machine. It asks what the
// server can do (FEAT), switches names to UTF-8 where the server offers it, protects the data
// connections when the control connection is encrypted (PBSZ 0, PROT P), and asks for the facts
// of machine listings the parsers read when the server does not send them all by default. It
// touches no socket: the session sends what it asks for, hands it every line of FEAT's reply, and
// feeds it the whole replies.
//
//   state        entered when                                        left on
//   Features     at once                                             its reply
//   Utf8         FEAT listed UTF8                                    its reply
//   BufferSize   the control connection is encrypted                 its reply
//   Protection   PBSZ answered                                       its reply
//   MlstFacts    FEAT listed MLST without a fact the parsers read,   its reply
//                unless left for later
//   Done, Failed the end
//
// Any reply but the server's hang-up or its 421 is one the session can live with; those two end
// the login (OnConnectionFailed first). PROT P refused ends it too where TLS is mandatory.
#include "ftp/FtpReply.h"

#include <optional>
#include <string>
#include <vector>

class SetupOperation {
public:
    enum class State { Features, Utf8, BufferSize, Protection, MlstFacts, Done, Failed };

    struct Settings {
        bool secured = false;      // the control connection is encrypted
        bool tlsMandatory = false; // required or implicit TLS: nothing less for the data
        // OPTS MLST is left to the first listing, for an owner that may never list.
        bool mlstFactsLater = false;
    };

    struct Step {
        enum class Do {
            Send,   // send `command`, feed its reply's lines (Line) and the reply
            Finish, // set up: Features(), Utf8(), DataProtected() say how
            Fail,   // `failure`; OnConnectionFailed first
        };
        Do what = Do::Fail;
        std::string command;
        // Reported at level 1, in this order, before anything else happens.
        std::vector<std::string> status;
        FtpFailure failure;
        // PROT P was refused where TLS is only welcome: the data connections go in clear
        // (OnTlsWarning DataInClear).
        bool dataInClear = false;
    };

    explicit SetupOperation(Settings settings) : settings_(settings) {}

    Step Start();
    // A line of the reply under way, the first one included.
    void Line(const std::string& line);
    Step Reply(const FtpReply& reply);

    State Current() const { return state_; }
    // FEAT's feature lines, leading blank removed; none when FEAT was refused.
    const std::vector<std::string>& Features() const { return features_; }
    bool Utf8() const { return utf8_; }
    bool DataProtected() const { return dataProtected_; }
    // OPTS MLST was decided on (sent, or found not needed).
    bool MlstFactsAsked() const { return mlstFactsAsked_; }

private:
    Step Enter(State next, const std::string& command);
    Step AfterFeatures();
    Step AfterUtf8();
    Step AfterProtection();
    Step Fail(FtpFailure failure);

    Settings settings_;
    State state_ = State::Features;
    std::vector<std::string> seen_; // feature lines of the FEAT reply under way
    std::vector<std::string> features_;
    bool utf8_ = false;
    bool dataProtected_ = false;
    bool mlstFactsAsked_ = false;
};

// What FEAT says, read the same way by the blocking component and the session.
namespace ftpfeatures {
// The inner lines of the FEAT reply that begin with a blank are its features, one a line:
// "211-Features:", " UTF8", " REST STREAM", "211 End".
std::optional<std::string> FeatureOf(const std::string& line);
// Whether `name` is the first word of one of `features`, in any case.
bool Listed(const std::vector<std::string>& features, const std::string& name);
// The argument of "OPTS MLST" that asks for the facts the parsers read, in the server's own
// spelling; empty when MLST is not listed or sends all of them already.
std::string MlstFactsToAsk(const std::vector<std::string>& features);
} // namespace ftpfeatures
