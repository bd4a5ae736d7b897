#include "ftp/SetupOperation.h"

namespace {

// The server has gone, or says it is going: the login cannot end well.
bool Fatal(const FtpReply& reply)
{
    return reply.closed || reply.first.empty() || reply.code == 421;
}

bool Positive(const FtpReply& reply) { return reply.code >= 200 && reply.code <= 299; }

} // namespace

SetupOperation::Step SetupOperation::Enter(State next, const std::string& command)
{
    state_ = next;
    seen_.clear();
    Step step;
    step.what = Step::Do::Send;
    step.command = command;
    step.status.push_back(command);
    return step;
}

SetupOperation::Step SetupOperation::Fail(FtpFailure failure)
{
    state_ = State::Failed;
    Step step;
    step.what = Step::Do::Fail;
    step.failure = std::move(failure);
    return step;
}

SetupOperation::Step SetupOperation::Start() { return Enter(State::Features, "FEAT"); }

void SetupOperation::Line(const std::string& line)
{
    if (state_ != State::Features) return;
    if (std::optional<std::string> feature = ftpfeatures::FeatureOf(line))
        seen_.push_back(std::move(*feature));
}

SetupOperation::Step SetupOperation::Reply(const FtpReply& reply)
{
    if (state_ == State::Done || state_ == State::Failed) return Fail(FtpFailure::Refusal(reply));
    if (Fatal(reply)) return Fail(FtpFailure::Refusal(reply));
    switch (state_) {
    case State::Features:
        // A server that does not know FEAT has no features to tell, which is no failure.
        if (Positive(reply)) features_ = std::move(seen_);
        return AfterFeatures();
    case State::Utf8:
        // Some servers refuse the option while speaking nothing else ("501 Invalid argument."):
        // its answer does not undo what FEAT said.
        utf8_ = true;
        return AfterUtf8();
    case State::BufferSize: return Enter(State::Protection, "PROT P");
    case State::Protection: {
        if (Positive(reply)) {
            dataProtected_ = true;
            return AfterProtection();
        }
        // Where TLS was asked for it means all of the session; where it is only welcome, a
        // server that protects the login but not the data is still better than one in clear.
        if (settings_.tlsMandatory)
            return Fail({"TLS refused by the server: " + reply.first, ErrorReason::TlsUnavailable});
        Step step = AfterProtection();
        step.status.insert(step.status.begin(), "Data connections in clear");
        step.dataInClear = true;
        return step;
    }
    case State::MlstFacts: {
        state_ = State::Done;
        Step step;
        step.what = Step::Do::Finish;
        return step;
    }
    default: return Fail(FtpFailure::Refusal(reply));
    }
}

SetupOperation::Step SetupOperation::AfterFeatures()
{
    if (ftpfeatures::Listed(features_, "UTF8")) return Enter(State::Utf8, "OPTS UTF8 ON");
    return AfterUtf8();
}

SetupOperation::Step SetupOperation::AfterUtf8()
{
    // RFC 4217: PBSZ comes first, and is 0 for a stream; then PROT P for private data.
    if (settings_.secured) return Enter(State::BufferSize, "PBSZ 0");
    return AfterProtection();
}

SetupOperation::Step SetupOperation::AfterProtection()
{
    const std::string facts =
        settings_.mlstFactsLater ? std::string() : ftpfeatures::MlstFactsToAsk(features_);
    mlstFactsAsked_ = !settings_.mlstFactsLater;
    if (!facts.empty()) return Enter(State::MlstFacts, "OPTS MLST " + facts);
    state_ = State::Done;
    Step step;
    step.what = Step::Do::Finish;
    return step;
}
