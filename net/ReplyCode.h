#pragma once
// The one reader of reply codes: the number a reply line of a text protocol begins with, read the
// two ways its users need.
#include <cstdint>
#include <string>

// The number formed by the leading decimal digits of a reply line (the first nine of them); 0 when
// it has none. Never raises: the framing of replies reads every line with it.
int LeadingReplyCode(const std::string& line);

// The code of a reply line as Transaction reads it: the number its leading digits (at most ten)
// form; 0 when there are none or the number does not fit 32 bits. A number that fits 32 bits but
// not a reply code's 16 raises RangeError.
int16_t ReplyCodeOf(const std::string& line);
