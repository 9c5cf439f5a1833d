// The address rules as the driver applies them, in the same order, so that the
// first fault found here is the one the driver stopped at: the 12-byte field,
// the character class of each of the positions 0 to 8, the station, the
// register, the bit number, and the shape of a word or bit point.
#include "address_rules.h"

#include <cstdio>

namespace westnet::poll {
namespace {

constexpr int kRegisterPos = 2;
constexpr int kRegisterWidth = 5;
constexpr int kBitPos = 7;
constexpr std::int32_t kStationMax = 99;
constexpr std::int32_t kRegisterMax = 65535;
constexpr std::int32_t kBitMax = 16;
constexpr std::int32_t kBlockMax = 64;

struct PositionClass {
    const char* allowed;
    const char* role;
    const char* allowedInWords;
};

constexpr PositionClass kClasses[] = {
    {"0123456789", "station, first digit", "a digit 0 to 9"},
    {"0123456789", "station, second digit", "a digit 0 to 9"},
    {"0123456", "register, first digit", "a digit 0 to 6 (registers run from 00001 to 65535)"},
    {"0123456789", "register, second digit", "a digit 0 to 9"},
    {"0123456789", "register, third digit", "a digit 0 to 9"},
    {"0123456789", "register, fourth digit", "a digit 0 to 9"},
    {"0123456789", "register, fifth digit", "a digit 0 to 9"},
    {" 0123456789", "bit number", "a digit or a space"},
    {" 0123456789", "bit number", "a digit or a space"},
};
constexpr int kClassCount = static_cast<int>(sizeof kClasses / sizeof kClasses[0]);

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool InClass(char c, const char* allowed) {
    if (c == '\0') {
        return true;
    }
    for (; *allowed != '\0'; ++allowed) {
        if (*allowed == c) {
            return true;
        }
    }
    return false;
}

std::string Reject(AddressVerdict& verdict, int position, std::string reason) {
    verdict.accepted = false;
    verdict.position = position;
    verdict.reason = std::move(reason);
    return verdict.reason;
}

}  // namespace

std::string ShowChar(unsigned char c) {
    if (c >= 0x20 && c < 0x7F) {
        return std::string("'") + static_cast<char>(c) + "'";
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    return hex;
}

bool LooksLikeBitPoint(const std::string& text) {
    return text.size() > static_cast<std::size_t>(kBitPos);
}

AddressVerdict CheckAddress(const std::string& text, bool bitPoint, std::int32_t words) {
    AddressVerdict verdict;
    verdict.bitPoint = bitPoint;
    if (text.size() > kAddressField) {
        Reject(verdict, static_cast<int>(kAddressField),
               "the text has " + std::to_string(text.size()) +
                   " characters; the driver's address field holds " +
                   std::to_string(kAddressField) + " and would cut the rest off");
        return verdict;
    }
    // The driver's working copy: 12 bytes, lower case folded by 0x20, always
    // ending in NUL. A NUL inside the text ends it for every conversion.
    char copy[kAddressField + 1] = {};
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x61 && byte <= 0x7F) {
            byte = static_cast<unsigned char>(byte - 0x20);
        }
        copy[i] = static_cast<char>(byte);
    }

    for (int pos = 0; pos < kClassCount; ++pos) {
        if (!InClass(copy[pos], kClasses[pos].allowed)) {
            const auto original = static_cast<unsigned char>(text[static_cast<std::size_t>(pos)]);
            std::string reason = "position " + std::to_string(pos) + " (" + kClasses[pos].role +
                                 ") holds " + ShowChar(original) + "; allowed there is " +
                                 kClasses[pos].allowedInWords;
            if ((original >= 'a' && original <= 'z') || (original >= 'A' && original <= 'Z')) {
                reason += " (letters are never part of an address)";
            }
            Reject(verdict, pos, std::move(reason));
            return verdict;
        }
    }

    // Station: two digits at most; with none, the field keeps 0.
    std::int32_t station = 0;
    for (int i = 0; i < 2 && IsDigit(copy[i]); ++i) {
        station = station * 10 + (copy[i] - '0');
    }
    verdict.station = station;
    if (station > kStationMax) {
        Reject(verdict, 0, "station " + std::to_string(station) + " is above 99");
        return verdict;
    }

    // Register: five digits at most from position 2; with none, the field
    // keeps 0 and the zero check refuses it.
    std::int32_t reg = 0;
    int regDigits = 0;
    while (regDigits < kRegisterWidth && IsDigit(copy[kRegisterPos + regDigits])) {
        reg = reg * 10 + (copy[kRegisterPos + regDigits] - '0');
        ++regDigits;
    }
    verdict.reg = reg;
    if (regDigits == 0) {
        Reject(verdict, kRegisterPos,
               "no register after the station: an address is two station digits followed "
               "by five register digits (00001 to 65535)");
        return verdict;
    }
    if (reg == 0) {
        Reject(verdict, kRegisterPos,
               "register " + text.substr(kRegisterPos, static_cast<std::size_t>(regDigits)) +
                   " is zero; registers are counted from 00001 to 65535");
        return verdict;
    }
    if (reg > kRegisterMax) {
        Reject(verdict, kRegisterPos, "register " + std::to_string(reg) + " is above 65535");
        return verdict;
    }

    // Bit number: white space, a sign, then every digit to the end of the
    // copy; positions 9 to 11 have no class of their own and can continue it.
    int at = kBitPos;
    while (IsSpace(copy[at])) {
        ++at;
    }
    const int numberStart = at;
    bool negative = false;
    if (copy[at] == '+' || copy[at] == '-') {
        negative = copy[at] == '-';
        ++at;
    }
    bool haveBit = false;
    std::int32_t bit = 0;
    for (; IsDigit(copy[at]); ++at) {
        haveBit = true;
        bit = bit * 10 + (copy[at] - '0');  // five positions at most: no overflow
    }
    if (negative) {
        bit = -bit;
    }

    if (bitPoint) {
        if (!haveBit) {
            Reject(verdict, kBitPos,
                   "a bit point needs its bit number 1 to 16 after the seven address "
                   "characters");
            return verdict;
        }
        if (bit < 1 || bit > kBitMax) {
            Reject(verdict, numberStart,
                   "bit number " + std::to_string(bit) + " is outside 1 to 16");
            return verdict;
        }
        verdict.bit = bit;
        if (copy[at] != '\0') {
            verdict.ignoredFrom = at;
        }
    } else {
        if (copy[kBitPos] != '\0') {
            Reject(verdict, kBitPos,
                   "a word point is exactly seven characters, but position 7 holds " +
                       ShowChar(static_cast<unsigned char>(text[kBitPos])) +
                       " (a bit number makes it a bit point)");
            return verdict;
        }
        if (regDigits < kRegisterWidth) {
            Reject(verdict, kRegisterPos + regDigits,
                   "the register has " + std::to_string(regDigits) +
                       (regDigits == 1 ? " digit" : " digits") +
                       "; a word point has exactly five register digits (00001 to 65535)");
            return verdict;
        }
    }

    if (words != 0 && (words < 1 || words > kBlockMax)) {
        Reject(verdict, -1, "a block holds 1 to 64 words, not " + std::to_string(words));
        return verdict;
    }
    verdict.accepted = true;
    return verdict;
}

std::string BlockPastLastRegister(std::int32_t first, std::int32_t count) {
    const std::int64_t last = static_cast<std::int64_t>(first) + count - 1;
    if (count < 1 || last <= kRegisterMax) {
        return {};
    }
    const std::int64_t fits = kRegisterMax - first + 1;
    return "the block would run past the last register, 65535 (registers " + std::to_string(first) +
           " to " + std::to_string(last) + "); from register " + std::to_string(first) +
           " at most " + std::to_string(fits) + (fits == 1 ? " word fits" : " words fit");
}

std::string ExplainRejection(const std::string& text, const AddressVerdict& verdict) {
    std::string out = "  \"" + text + "\"\n";
    if (verdict.position >= 0) {
        out += "   " + std::string(static_cast<std::size_t>(verdict.position), ' ') + "^\n";
    }
    out += "  " + verdict.reason + "\n";
    return out;
}

}  // namespace westnet::poll
