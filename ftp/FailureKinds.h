#pragma once
// An FTP session's failures in the terms every session uses (transfer::FailureKind), so that the
// layers above decide tries and numbers of sessions without knowing FTP's reply codes.
#include "net/TransferSession.h"

// The kind of a failure from the reply that decided it (0 when none did) and its reason.
transfer::FailureKind FailureKindOf(int replyCode, ErrorReason reason);

// A failed outcome: `message` for people, `reason`, the code of the reply the message begins
// with (if it does) and the kind those make.
transfer::Outcome FailureOutcome(const std::string& message, ErrorReason reason);
