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
    // On acceptance of a bit point: where characters begin that the driver
    // reads past and ignores ("0140001 1 6" has " 6" from 9), or -1.
    int ignoredFrom = -1;
};

// `bitPoint` is what the host's data type says; `words` > 0 checks a block
// of that many words as the block command does.
AddressVerdict CheckAddress(const std::string& text, bool bitPoint, std::int32_t words = 0);

// Why a block of `count` words from the one-based register `first` cannot be
// sent: it would run past register 65535, and the frame's register number
// would wrap to registers no address names. Empty when the block fits.
std::string BlockPastLastRegister(std::int32_t first, std::int32_t count);

// A multi-line explanation: the text, a caret under the faulty position, and
// the reason.
std::string ExplainRejection(const std::string& text, const AddressVerdict& verdict);

// "auto" kind: a text that runs past the seven address characters is a bit
// point.
bool LooksLikeBitPoint(const std::string& text);

// Shows a character for a message: 'x', or \xNN for one that does not print.
std::string ShowChar(unsigned char c);

}  // namespace westnet::poll
