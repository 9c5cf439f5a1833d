// The poller's own reading of a point address text, step for step the checks
// the driver makes, so that a refused address can be explained: which
// position holds what, and what is allowed there. The driver's answer stays
// the authority; this only says why.
#pragma once

#include <cstdint>
#include <string>

namespace westnet::poll {

// The driver's address field: it reads exactly this many bytes.
constexpr std::size_t kAddressField = 12;

struct AddressVerdict {
    bool accepted = false;
    // Decoded fields as the driver would leave them on acceptance: register
    // and bit as written (one-based); bit 0 for a word point.
    std::int32_t station = 0;
    std::int32_t reg = 0;
    std::int32_t bit = 0;
    bool bitPoint = false;
    // On rejection: the position the fault is at (-1 for none in particular)
    // and what is wrong, in words.
    int position = -1;
    std::string reason;
};

// `bitPoint` is what the host's data type says; `words` > 0 checks a block
// of that many words as the block command does.
AddressVerdict CheckAddress(const std::string& text, bool bitPoint, std::int32_t words = 0);

// A multi-line explanation: the text, a caret under the faulty position, and
// the reason.
std::string ExplainRejection(const std::string& text, const AddressVerdict& verdict);

// "auto" kind: a text that runs past the seven address characters is a bit
// point.
bool LooksLikeBitPoint(const std::string& text);

// Shows a character for a message: 'x', or \xNN for one that does not print.
std::string ShowChar(unsigned char c);

}  // namespace westnet::poll
