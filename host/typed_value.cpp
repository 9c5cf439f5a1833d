#include "typed_value.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace westnet::values {
namespace {

struct TypeEntry {
    Type type;
    const char* name;
};
constexpr TypeEntry kTypes[] = {
    {Type::UInt16, "uint16"}, {Type::Int16, "int16"},     {Type::UInt32, "uint32"},
    {Type::Int32, "int32"},   {Type::Float32, "float32"}, {Type::Bcd16, "bcd16"},
    {Type::Bool, "bool"},
};

std::uint32_t Join(const Format& format, const std::uint16_t* words) {
    const std::uint32_t first = words[0];
    const std::uint32_t second = words[1];
    return format.order == WordOrder::LowFirst ? (second << 16) | first : (first << 16) | second;
}

void Split(const Format& format, std::uint32_t value, std::uint16_t* words) {
    const auto low = static_cast<std::uint16_t>(value & 0xFFFFu);
    const auto high = static_cast<std::uint16_t>(value >> 16);
    words[0] = format.order == WordOrder::LowFirst ? low : high;
    words[1] = format.order == WordOrder::LowFirst ? high : low;
}

// The raw value the words hold, before any scale; false when they hold none.
bool Raw(const Format& format, const std::uint16_t* words, double& raw) {
    switch (format.type) {
        case Type::UInt16:
            raw = words[0];
            return true;
        case Type::Int16:
            raw = static_cast<std::int16_t>(words[0]);
            return true;
        case Type::UInt32:
            raw = Join(format, words);
            return true;
        case Type::Int32:
            raw = static_cast<std::int32_t>(Join(format, words));
            return true;
        case Type::Float32: {
            const std::uint32_t bits = Join(format, words);
            float f = 0;
            std::memcpy(&f, &bits, sizeof f);
            raw = static_cast<double>(f);
            return std::isfinite(raw);
        }
        case Type::Bcd16: {
            int v = 0;
            for (int shift = 12; shift >= 0; shift -= 4) {
                const int digit = (words[0] >> shift) & 0xF;
                if (digit > 9) {
                    return false;
                }
                v = v * 10 + digit;
            }
            raw = v;
            return true;
        }
        case Type::Bool:
            raw = words[0] & 1;
            return true;
    }
    return false;
}

double ToEngineering(const Scale& s, double raw) {
    return s.engLo + (raw - s.rawLo) * (s.engHi - s.engLo) / (s.rawHi - s.rawLo);
}

double ToRaw(const Scale& s, double eng) {
    return s.rawLo + (eng - s.engLo) * (s.rawHi - s.rawLo) / (s.engHi - s.engLo);
}

bool IsInteger(Type type) {
    return type != Type::Float32;
}

std::string OutOfRange(const Format& format) {
    double low = 0;
    double high = 0;
    EngineeringLimits(format, low, high);
    return std::string("out-of-range: this ") + TypeName(format.type) +
           (format.scaled ? " point (scaled)" : " point") + " takes " + FormatValue(low) + " to " +
           FormatValue(high);
}

}  // namespace

const char* TypeName(Type type) {
    for (const TypeEntry& e : kTypes) {
        if (e.type == type) {
            return e.name;
        }
    }
    return "?";
}

bool ParseType(const std::string& name, Type& type) {
    for (const TypeEntry& e : kTypes) {
        if (name == e.name) {
            type = e.type;
            return true;
        }
    }
    return false;
}

std::string TypeNames() {
    std::string out;
    for (const TypeEntry& e : kTypes) {
        out += (out.empty() ? "" : ", ") + std::string(e.name);
    }
    return out;
}

const char* WordOrderName(WordOrder order) {
    return order == WordOrder::LowFirst ? "low-first" : "high-first";
}

bool ParseWordOrder(const std::string& name, WordOrder& order) {
    if (name == "low-first") {
        order = WordOrder::LowFirst;
    } else if (name == "high-first") {
        order = WordOrder::HighFirst;
    } else {
        return false;
    }
    return true;
}

double RawMin(Type type) {
    switch (type) {
        case Type::Int16:
            return -32768.0;
        case Type::Int32:
            return -2147483648.0;
        case Type::Float32:
            return -static_cast<double>(std::numeric_limits<float>::max());
        case Type::UInt16:
        case Type::UInt32:
        case Type::Bcd16:
        case Type::Bool:
            break;
    }
    return 0.0;
}

double RawMax(Type type) {
    switch (type) {
        case Type::UInt16:
            return 65535.0;
        case Type::Int16:
            return 32767.0;
        case Type::UInt32:
            return 4294967295.0;
        case Type::Int32:
            return 2147483647.0;
        case Type::Float32:
            return static_cast<double>(std::numeric_limits<float>::max());
        case Type::Bcd16:
            return 9999.0;
        case Type::Bool:
            return 1.0;
    }
    return 0.0;
}

void EngineeringLimits(const Format& format, double& low, double& high) {
    low = RawMin(format.type);
    high = RawMax(format.type);
    if (!format.scaled) {
        return;
    }
    const Scale& s = format.scale;
    double a = ToEngineering(s, low);
    double b = ToEngineering(s, high);
    if (a > b) {
        std::swap(a, b);
    }
    if (format.clamp) {
        // Whatever is written is clamped into the scale's range first: only
        // that range, where the raw type holds it, can reach the line.
        a = std::max(a, std::min(s.engLo, s.engHi));
        b = std::min(b, std::max(s.engLo, s.engHi));
    }
    low = a;
    high = b;
}

Decoded Decode(const Format& format, const std::uint16_t* words, double& value) {
    double raw = 0;
    if (!Raw(format, words, raw)) {
        return Decoded::NotAValue;
    }
    if (!format.scaled) {
        value = raw;
        return Decoded::Ok;
    }
    value = ToEngineering(format.scale, raw);
    if (format.clamp && (value < std::min(format.scale.engLo, format.scale.engHi) ||
                         value > std::max(format.scale.engLo, format.scale.engHi))) {
        return Decoded::OutOfRange;
    }
    return Decoded::Ok;
}

bool Encode(const Format& format, double value, std::uint16_t* words, std::string& reason) {
    if (!std::isfinite(value)) {
        reason = OutOfRange(format) + ", not " + FormatValue(value);
        return false;
    }
    double raw = value;
    if (format.scaled) {
        const Scale& s = format.scale;
        if (format.clamp) {
            value = std::clamp(value, std::min(s.engLo, s.engHi), std::max(s.engLo, s.engHi));
        }
        raw = ToRaw(s, value);
        if (IsInteger(format.type)) {
            raw = std::round(raw);
        }
    } else if (IsInteger(format.type) && std::floor(raw) != raw) {
        reason = "not a whole number: this " + std::string(TypeName(format.type)) +
                 " point takes whole numbers";
        return false;
    }
    if (!(raw >= RawMin(format.type) && raw <= RawMax(format.type))) {
        reason = OutOfRange(format) + ", not " + FormatValue(value);
        return false;
    }
    switch (format.type) {
        case Type::UInt16:
        case Type::Bool:
            words[0] = static_cast<std::uint16_t>(raw);
            break;
        case Type::Int16:
            words[0] = static_cast<std::uint16_t>(static_cast<std::int16_t>(raw));
            break;
        case Type::UInt32:
            Split(format, static_cast<std::uint32_t>(raw), words);
            break;
        case Type::Int32:
            Split(format, static_cast<std::uint32_t>(static_cast<std::int32_t>(raw)), words);
            break;
        case Type::Float32: {
            const auto f = static_cast<float>(raw);
            std::uint32_t bits = 0;
            std::memcpy(&bits, &f, sizeof bits);
            Split(format, bits, words);
            break;
        }
        case Type::Bcd16: {
            auto v = static_cast<unsigned>(raw);
            unsigned word = 0;
            for (int shift = 0; shift < 16; shift += 4) {
                word |= (v % 10) << shift;
                v /= 10;
            }
            words[0] = static_cast<std::uint16_t>(word);
            break;
        }
    }
    return true;
}

std::string FormatValue(double value, int decimals) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char text[64];
    if (decimals >= 0) {
        std::snprintf(text, sizeof text, "%.*f", std::min(decimals, 17), value);
        return text;
    }
    // Whole numbers as whole numbers (100, not 1e+02); else the shortest
    // text that reads back as the same double.
    if (std::fabs(value) < 1e15 && std::floor(value) == value) {
        std::snprintf(text, sizeof text, "%.0f", value);
        return text;
    }
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) {
            break;
        }
    }
    return text;
}

bool DecodeAll(const Format& format, const std::vector<std::uint16_t>& words,
               std::vector<double>& values, std::vector<Decoded>& states) {
    const auto width = static_cast<std::size_t>(format.Width());
    if (words.empty() || words.size() % width != 0) {
        return false;
    }
    values.assign(words.size() / width, 0.0);
    states.assign(values.size(), Decoded::Ok);
    for (std::size_t i = 0; i < values.size(); ++i) {
        states[i] = Decode(format, words.data() + i * width, values[i]);
    }
    return true;
}

}  // namespace westnet::values
