#pragma once
// Which checksum a server can give of a file, how it is asked for, and how its answer is read.
//
// HASH (draft-bryan-ftp-hash) is listed in FEAT with the algorithms the server knows, the one it
// uses now marked "*": "HASH SHA-256;SHA-1*;MD5". Another one is picked with "OPTS HASH SHA-256"
// ("200 SHA-256"), and "HASH path" answers "213 SHA-256 0-1048576 <hex> path". The older commands
// XSHA256, XSHA1, XMD5 and XCRC name their algorithm and answer "250 <hex>" (some servers 213).
// The strongest one offered is taken: SHA-256, then SHA-1, MD5, CRC-32; HASH before the others.
#include "net/Digest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Whether transfers are checked against the server's checksum: never; when the server offers
// one (saying so when it does not); or always, a transfer that cannot be checked failing.
enum class TVerifyMode : uint8_t { Off, Auto, Require };

namespace verify {

struct HashChoice {
    DigestAlgorithm algorithm = DigestAlgorithm::Sha256;
    // The command that picks the algorithm first ("OPTS HASH SHA-256"); empty when none is needed.
    std::string select;
    // Should the server refuse `select`: the algorithm it uses anyway, when it is one we can
    // compute.
    std::optional<DigestAlgorithm> fallback;
    // The command word; the path follows it after a blank.
    std::string command;
};

// The checksum to ask for, from the feature lines of FEAT ("HASH SHA-256*;MD5", "XMD5");
// nothing when the server offers none we can compute.
std::optional<HashChoice> ChooseHash(const std::vector<std::string>& features);

// What the server's answer to `choice.select` leaves: the choice, now needing no selection; its
// fallback when the server refused; nothing when it refused and has none we can compute.
std::optional<HashChoice> AfterSelection(HashChoice choice, bool accepted);

// The checksum in the answer to `choice`'s command, lower case; nothing when the answer is a
// refusal (any code outside 2xx), names another algorithm or holds no value of the right length.
std::optional<std::string> HashOfReply(const std::string& reply, DigestAlgorithm algorithm);

// A server reads the whole file before it answers the hash command, and says nothing meanwhile:
// its answer is waited for `timeOutMs` plus a second for every 20 MB of the file (no limit when
// `timeOutMs` is 0 or less).
int64_t HashAnswerPatienceMs(int64_t timeOutMs, int64_t bytes);

// The status texts: no checksum offered at all; none in the answer `reply` to the command; the
// file verified with `value`.
std::string UnavailableText(const std::string& name);
std::string NoChecksumText(const std::string& reply, const std::string& name);
std::string VerifiedText(DigestAlgorithm algorithm, const std::string& value);

// The message of a failed comparison, with both values.
std::string MismatchText(const std::string& name, DigestAlgorithm algorithm,
                         const std::string& local, const std::string& server);

} // namespace verify
