// What a point's registers mean: the one place where raw 16-bit words become
// the values the plant means (a signed temperature in tenths of a degree, a
// 32-bit totaliser, a float) and back. The gateway, westnet-poll and
// westnet-sim all convert through this, so that a value reads the same
// whichever of them shows it. No dependencies beyond the standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace westnet::values {

enum class Type {
    UInt16,   // the default: one word as it is
    Int16,    // one word, two's complement
    UInt32,   // two words
    Int32,    // two words, two's complement
    Float32,  // two words, IEEE 754 single precision
    Bcd16,    // one word of four decimal digits, 0 to 9999
    Bool,     // one bit (a bit point)
};

// Which of a two-word value's registers holds its low half: the first
// (low-first, the default) or the second (high-first).
enum class WordOrder { LowFirst, HighFirst };

// A linear map from raw values to engineering values: raw rawLo is engLo,
// raw rawHi is engHi (rawLo != rawHi).
struct Scale {
    double rawLo = 0;
    double rawHi = 0;
    double engLo = 0;
    double engHi = 0;
    bool operator==(const Scale& o) const {
        return rawLo == o.rawLo && rawHi == o.rawHi && engLo == o.engLo && engHi == o.engHi;
    }
};

struct Format {
    Type type = Type::UInt16;
    WordOrder order = WordOrder::LowFirst;
    bool scaled = false;
    Scale scale;
    // Engineering values outside the scale's range are clamped on write and
    // flagged on read (needs a scale).
    bool clamp = false;

    int Width() const { return Words(type); }
    static int Words(Type type) {
        return type == Type::UInt32 || type == Type::Int32 || type == Type::Float32 ? 2 : 1;
    }
    // A uint16 without a scale: the value is the word.
    bool Plain() const { return type == Type::UInt16 && !scaled; }
    bool operator==(const Format& o) const {
        return type == o.type && order == o.order && scaled == o.scaled &&
               (!scaled || scale == o.scale) && clamp == o.clamp;
    }
    bool operator!=(const Format& o) const { return !(*this == o); }
};

const char* TypeName(Type type);  // "uint16", "int16", ..., as the plant file names them
bool ParseType(const std::string& name, Type& type);
// What ParseType accepts, for messages: "uint16, int16, ...".
std::string TypeNames();
const char* WordOrderName(WordOrder order);  // "low-first", "high-first"
bool ParseWordOrder(const std::string& name, WordOrder& order);

// The smallest and largest raw value the type holds.
double RawMin(Type type);
double RawMax(Type type);

enum class Decoded {
    Ok,
    OutOfRange,  // a value, outside the scale's engineering range (with clamp)
    NotAValue,   // words no value of the type has: a BCD digit above 9, a NaN or infinity
};

// The engineering value of `words` (Width() words, in register order).
Decoded Decode(const Format& format, const std::uint16_t* words, double& value);

// The raw words of an engineering value, in register order (Width() of them
// at `words`): scaled back, clamped when the format says so, rounded to the
// raw step; false with a reason beginning "out-of-range: " that names the
// limits for NaN, infinities and what the raw type cannot hold, or "not a
// whole number" for a fraction where the raw step is 1 and there is no scale.
bool Encode(const Format& format, double value, std::uint16_t* words, std::string& reason);

// The engineering values this format can be written with, low to high.
void EngineeringLimits(const Format& format, double& low, double& high);

// A value as text with `decimals` digits after the point (-1: as many as it
// takes to read back the same value, as JSON does).
std::string FormatValue(double value, int decimals = -1);

// Every value of a block: words.size() / Width() of them; false (values
// untouched) when the words are not a whole number of values.
bool DecodeAll(const Format& format, const std::vector<std::uint16_t>& words,
               std::vector<double>& values, std::vector<Decoded>& states);

}  // namespace westnet::values
