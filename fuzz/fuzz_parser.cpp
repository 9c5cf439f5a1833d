// Fuzzes the address parse commands 3 and 4 through ZanMain against a model
// of the address rules written out plainly below, step by step as the host
// interface describes them, without looking at how the driver does it.
//
// Input: 12 bytes of text, a control byte, then the record's fields on entry
// as little-endian 32-bit words (count, station, reg, bit, kind, parsed,
// dataType); what is missing is 0. The text lies at the very end of a heap
// block of exactly 12 bytes, so a read past it is an AddressSanitizer report.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "entry/records.h"
#include "entry/zanmain.h"

using westnet::DriverRequest;
using westnet::PointAddress;

extern "C" int err(int, const char*, ...) {
    std::fprintf(stderr, "err() called by a parse command\n");
    std::abort();
}

namespace {

constexpr int kTextSize = 12;

struct Fields {
    std::int32_t count;
    std::int32_t station;
    std::int32_t reg;
    std::int32_t bit;
    std::int32_t kind;
    std::int32_t parsed;
    std::int32_t dataType;
};

struct Outcome {
    std::int32_t result;
    Fields fields;
};

bool Digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// The host's rules for a point address, one step after another.
Outcome Model(const unsigned char* text, Fields in, int command) {
    Outcome out{1, in};
    Fields& f = out.fields;

    unsigned char w[kTextSize + 1];
    for (int i = 0; i < kTextSize; ++i) {
        unsigned char c = text[i];
        if (c >= 0x61 && c <= 0x7F) {
            c = static_cast<unsigned char>(c - 0x20);
        }
        w[i] = c;
    }
    w[kTextSize] = 0;

    static const char* const kClass[9] = {"0123456789", "0123456789",  "0123456",
                                          "0123456789", "0123456789",  "0123456789",
                                          "0123456789", " 0123456789", " 0123456789"};
    for (int pos = 0; pos < 9; ++pos) {
        if (w[pos] != 0 && std::strchr(kClass[pos], w[pos]) == nullptr) {
            return out;
        }
    }

    // Station: up to two digits from position 0.
    {
        long long v = 0;
        int n = 0;
        while (n < 2 && Digit(w[0 + n])) {
            v = v * 10 + (w[0 + n] - '0');
            ++n;
        }
        if (n > 0) {
            f.station = static_cast<std::int32_t>(v);
        }
        if (f.station > 99) {
            return out;
        }
    }
    // Register: up to five digits from position 2.
    {
        long long v = 0;
        int n = 0;
        while (n < 5 && Digit(w[2 + n])) {
            v = v * 10 + (w[2 + n] - '0');
            ++n;
        }
        if (n > 0) {
            f.reg = static_cast<std::int32_t>(v);
        }
        if (f.reg > 65535 || f.reg == 0) {
            return out;
        }
    }
    // Bit number: white space, a sign, digits, from position 7 to the end.
    {
        int i = 7;
        while (w[i] == ' ' || w[i] == '\t' || w[i] == '\n' || w[i] == '\v' || w[i] == '\f' ||
               w[i] == '\r') {
            ++i;
        }
        bool negative = false;
        if (w[i] == '+' || w[i] == '-') {
            negative = w[i] == '-';
            ++i;
        }
        long long v = 0;
        int n = 0;
        while (Digit(w[i])) {
            v = v * 10 + (w[i] - '0');
            ++i;
            ++n;
        }
        if (n > 0) {
            f.bit = static_cast<std::int32_t>(negative ? -v : v);
        }
    }
    if (f.dataType == 6) {
        const auto number = static_cast<std::uint32_t>(f.bit);
        if (number < 1 || number > 16) {
            return out;
        }
        f.kind = 1;
        f.bit -= 1;
    } else {
        if (w[7] != 0) {
            return out;
        }
        for (int pos = 2; pos <= 6; ++pos) {
            if (w[pos] == 0) {
                return out;
            }
        }
        f.bit = 255;
        f.kind = 16;
    }
    f.parsed = 1;

    f.reg = static_cast<std::int32_t>(static_cast<std::uint32_t>(f.reg) - 1u);
    if (command == 4 && (f.count < 1 || f.count > 64)) {
        return out;  // every field written, the register already reduced
    }
    out.result = 0;
    return out;
}

std::int32_t Word(const std::uint8_t* data, std::size_t size, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (at + i < size) {
            v |= static_cast<std::uint32_t>(data[at + i]) << (8 * i);
        }
    }
    return static_cast<std::int32_t>(v);
}

[[noreturn]] void Fail(const char* what, const Outcome& want, std::int32_t got,
                       const PointAddress& a) {
    std::fprintf(stderr,
                 "%s\n  model:  result %d station %d reg %d bit %d kind %d parsed %d\n"
                 "  driver: result %d station %d reg %d bit %d kind %d parsed %d\n",
                 what, want.result, want.fields.station, want.fields.reg, want.fields.bit,
                 want.fields.kind, want.fields.parsed, got, a.station, a.reg, a.bit, a.kind,
                 a.parsed);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    unsigned char textBytes[kTextSize] = {};
    std::memcpy(textBytes, data, size < kTextSize ? size : kTextSize);
    const std::uint8_t control = size > kTextSize ? data[kTextSize] : 0;
    const std::size_t at = kTextSize + 1;

    Fields in{};
    in.count = Word(data, size, at);
    in.station = Word(data, size, at + 4);
    in.reg = Word(data, size, at + 8);
    in.bit = Word(data, size, at + 12);
    in.kind = Word(data, size, at + 16);
    in.parsed = Word(data, size, at + 20);
    switch ((control >> 1) & 3) {
        case 0:
            in.dataType = 0;
            break;
        case 1:
            in.dataType = 6;
            break;
        case 2:
            in.dataType = 16;
            break;
        default:
            in.dataType = Word(data, size, at + 24);
            break;
    }
    const int command = (control & 1) != 0 ? 4 : 3;

    // Exactly twelve bytes: the host promises no more.
    auto* text = static_cast<unsigned char*>(std::malloc(kTextSize));
    std::memcpy(text, textBytes, kTextSize);
    auto* address = static_cast<PointAddress*>(std::malloc(sizeof(PointAddress)));
    std::memset(address, 0x5C, sizeof(PointAddress));
    address->text = reinterpret_cast<const char*>(text);
    address->dataType = in.dataType;
    address->count = in.count;
    address->station = in.station;
    address->parsed = in.parsed;
    address->reg = in.reg;
    address->bit = in.bit;
    address->kind = in.kind;
    const std::int32_t unused4 = address->unused4;

    DriverRequest request{};
    request.channel = nullptr;  // the parse commands use no channel
    request.command = command;
    request.params = address;
    const std::int32_t got = ZanMain(&request);
    const Outcome want = Model(textBytes, in, command);

    const PointAddress& a = *address;
    if (got != want.result) {
        Fail("result differs from the model", want, got, a);
    }
    if (a.station != want.fields.station || a.reg != want.fields.reg || a.bit != want.fields.bit ||
        a.kind != want.fields.kind || a.parsed != want.fields.parsed) {
        Fail("fields differ from the model", want, got, a);
    }
    if (a.text != reinterpret_cast<const char*>(text) || a.unused4 != unused4 ||
        a.dataType != in.dataType || a.count != in.count) {
        Fail("an input field was written", want, got, a);
    }
    if (std::memcmp(text, textBytes, kTextSize) != 0) {
        Fail("the text was written", want, got, a);
    }
    // An accepted address is in range, given a record that was in range when
    // the parse began (a conversion that finds no digit keeps what was there).
    const bool saneEntry = in.station >= 0 && in.station <= 99 && in.reg >= 0 && in.reg <= 65535;
    if (got == 0 && saneEntry) {
        const bool inRange =
            a.station >= 0 && a.station <= 99 && a.reg >= 0 && a.reg <= 65534 && a.parsed == 1 &&
            ((a.kind == 1 && a.bit >= 0 && a.bit <= 15) || (a.kind == 16 && a.bit == 255));
        if (!inRange) {
            Fail("accepted address out of range", want, got, a);
        }
    }
    std::free(address);
    std::free(text);
    return 0;
}
