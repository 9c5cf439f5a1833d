// Point address texts and the two commands that decode them.
//
// The text is taken as exactly 12 bytes into a working copy that always ends
// in NUL, so no conversion can run past it whatever the host's buffer holds
// beyond. The copy lives on the caller's stack: parses on different channels
// share nothing and may run side by side.
//
// Fields are written as the parse goes and a later rejection leaves the
// earlier ones written: the host relies on station and register being
// visible after a rejected register or bit check. A conversion that finds no
// digit writes nothing, and the check after it applies to the value the field
// had when the command began.
#include "address/parser.h"

#include <cstddef>
#include <cstdint>

#include "entry/commands.h"
#include "entry/records.h"

namespace westnet {
namespace {

constexpr std::size_t kStationPos = 0;
constexpr std::size_t kStationWidth = 2;
constexpr std::size_t kRegisterPos = 2;
constexpr std::size_t kRegisterWidth = 5;
constexpr std::size_t kBitPos = 7;
constexpr std::int32_t kStationMax = 99;
constexpr std::int32_t kRegisterMax = 65535;
constexpr std::uint32_t kBitNumberMax = 16;

// Allowed characters of positions 0 to 8; positions 9 to 11 have no class.
constexpr std::size_t kClassCount = 9;
constexpr const char* kClasses[kClassCount] = {
    "0123456789",   // station, first digit
    "0123456789",   // station, second digit
    "0123456",      // register, first digit: at most 69999
    "0123456789",   // register
    "0123456789",   // register
    "0123456789",   // register
    "0123456789",   // register, last digit
    " 0123456789",  // bit number (bit points); empty for word points
    " 0123456789",  // bit number
};

struct WorkingCopy {
    char text[ADDRESS_TEXT_SIZE + 1];
};

// Lower-case letters and the five bytes after them are folded down by 0x20;
// the classes hold only digits and the space, so this never changes a verdict.
void MakeWorkingCopy(const char* text, WorkingCopy& copy) {
    for (std::size_t i = 0; i < ADDRESS_TEXT_SIZE; ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x61 && byte <= 0x7F) {
            byte = static_cast<unsigned char>(byte - 0x20);
        }
        copy.text[i] = static_cast<char>(byte);
    }
    copy.text[ADDRESS_TEXT_SIZE] = '\0';
}

// NUL belongs to every class.
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

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// At most `width` digits from `pos`; the class check has already made
// positions 0 to 6 digits or NUL, so nothing else can stand in the way.
// False when there is no digit at all.
bool ConvertFixed(const WorkingCopy& copy, std::size_t pos, std::size_t width,
                  std::int32_t& value) {
    std::int32_t result = 0;
    std::size_t n = 0;
    while (n < width && IsDigit(copy.text[pos + n])) {
        result = result * 10 + (copy.text[pos + n] - '0');
        ++n;
    }
    if (n == 0) {
        return false;
    }
    value = result;
    return true;
}

// The bit number: white space, an optional sign, then every digit up to the
// end of the copy. Positions 7 to 11 allow five digits at most, but the
// magnitude saturates at the 32-bit limits all the same, so no text can make
// it overflow; a saturated value fails the range check like any other.
// False when no digit follows the white space and the sign.
bool ConvertBitNumber(const WorkingCopy& copy, std::int32_t& value) {
    constexpr std::uint32_t kPositiveLimit = 2147483647u;
    constexpr std::uint32_t kNegativeLimit = 2147483648u;
    std::size_t i = kBitPos;
    while (IsSpace(copy.text[i])) {
        ++i;
    }
    bool negative = false;
    if (copy.text[i] == '+' || copy.text[i] == '-') {
        negative = copy.text[i] == '-';
        ++i;
    }
    const std::uint32_t limit = negative ? kNegativeLimit : kPositiveLimit;
    std::uint32_t magnitude = 0;
    bool any = false;
    for (; IsDigit(copy.text[i]); ++i) {
        any = true;
        const auto digit = static_cast<std::uint32_t>(copy.text[i] - '0');
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
        } else {
            magnitude = magnitude * 10 + digit;
        }
    }
    if (!any) {
        return false;
    }
    if (!negative) {
        value = static_cast<std::int32_t>(magnitude);
    } else if (magnitude == kNegativeLimit) {
        value = -2147483647 - 1;
    } else {
        value = -static_cast<std::int32_t>(magnitude);
    }
    return true;
}

// Text register 1 to 65535 becomes 0 to 65534. A value kept from before the
// command is not range-checked below zero, so the step wraps as the host's
// 32-bit arithmetic does instead of overflowing.
void ReduceRegister(PointAddress& address) {
    address.reg = static_cast<std::int32_t>(static_cast<std::uint32_t>(address.reg) - 1u);
}

PointAddress* AddressOf(DriverRequest* request) {
    if (request == nullptr) {
        return nullptr;
    }
    return static_cast<PointAddress*>(request->params);
}

}  // namespace

std::int32_t ParseAddress(PointAddress& address) {
    if (address.text == nullptr) {
        return ResBad;
    }
    WorkingCopy copy;
    MakeWorkingCopy(address.text, copy);

    for (std::size_t pos = 0; pos < kClassCount; ++pos) {
        if (!InClass(copy.text[pos], kClasses[pos])) {
            return ResBad;
        }
    }

    ConvertFixed(copy, kStationPos, kStationWidth, address.station);
    if (address.station > kStationMax) {
        return ResBad;
    }

    ConvertFixed(copy, kRegisterPos, kRegisterWidth, address.reg);
    if (address.reg > kRegisterMax || address.reg == 0) {
        return ResBad;
    }

    ConvertBitNumber(copy, address.bit);

    if (address.dataType == DATA_TYPE_BIT) {
        // As an unsigned value, so that zero and every negative number fail.
        const auto number = static_cast<std::uint32_t>(address.bit);
        if (number < 1 || number > kBitNumberMax) {
            return ResBad;
        }
        address.kind = KIND_BIT;
        address.bit -= 1;
    } else {
        // A word point is exactly seven characters: five register characters
        // and nothing at position 7.
        if (copy.text[kBitPos] != '\0') {
            return ResBad;
        }
        for (std::size_t pos = kRegisterPos; pos < kRegisterPos + kRegisterWidth; ++pos) {
            if (copy.text[pos] == '\0') {
                return ResBad;
            }
        }
        address.bit = WORD_POINT_BIT;
        address.kind = KIND_WORD;
    }

    address.parsed = 1;
    return ResOk;
}

namespace {

// What both commands share: the parse, then the zero-based register.
std::int32_t ParseToZeroBased(PointAddress* address) {
    if (address == nullptr || address->text == nullptr) {
        return ResBad;
    }
    const std::int32_t result = ParseAddress(*address);
    if (result == ResOk) {
        ReduceRegister(*address);
    }
    return result;
}

}  // namespace

std::int32_t CmdParsePoint(DriverRequest* request) {
    return ParseToZeroBased(AddressOf(request));
}

// The block transactions carry 1 to BLOCK_MAX words, so a count outside that
// is refused here already, after every field has been written.
std::int32_t CmdParseBlock(DriverRequest* request) {
    PointAddress* address = AddressOf(request);
    const std::int32_t result = ParseToZeroBased(address);
    if (result != ResOk) {
        return result;
    }
    if (address->count < 1 || address->count > BLOCK_MAX) {
        return ResBad;
    }
    return ResOk;
}

}  // namespace westnet
