// The conversions between a point's raw words and its engineering values,
// which the gateway, westnet-poll and westnet-sim share.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

#include "typed_value.h"

namespace westnet::values {
namespace {

using Words = std::vector<std::uint16_t>;

Format Of(Type type, WordOrder order = WordOrder::LowFirst) {
    Format f;
    f.type = type;
    f.order = order;
    return f;
}

Format Scaled(Type type, Scale scale, bool clamp = false) {
    Format f = Of(type);
    f.scaled = true;
    f.scale = scale;
    f.clamp = clamp;
    return f;
}

constexpr auto High = WordOrder::HighFirst;

// Each type both ways: the words decode to the value, and the value encodes
// to the same words.
TEST(TypedValues, EachTypeRoundTrips) {
    struct Case {
        Format format;
        Words words;
        double value;
    };
    const Case cases[] = {
        {Of(Type::UInt16), {0}, 0},
        {Of(Type::UInt16), {65535}, 65535},
        {Of(Type::Int16), {0xFFFF}, -1},
        {Of(Type::Int16), {0x8000}, -32768},
        {Of(Type::Int16), {0x7FFF}, 32767},
        {Of(Type::UInt32), {0x5678, 0x1234}, 0x12345678},
        {Of(Type::UInt32, High), {0x1234, 0x5678}, 0x12345678},
        {Of(Type::UInt32), {0xFFFF, 0xFFFF}, 4294967295.0},
        {Of(Type::Int32), {0xFFFB, 0xFFFF}, -5},
        {Of(Type::Int32, High), {0xFFFF, 0xFFFB}, -5},
        {Of(Type::Int32), {0x0000, 0x8000}, -2147483648.0},
        {Of(Type::Int32), {0xFFFF, 0x7FFF}, 2147483647.0},
        // 73.25 is 0x42928000.
        {Of(Type::Float32), {0x8000, 0x4292}, 73.25},
        {Of(Type::Float32, High), {0x4292, 0x8000}, 73.25},
        {Of(Type::Float32), {0x0000, 0xC0A0}, -5},
        {Of(Type::Bcd16), {0x1234}, 1234},
        {Of(Type::Bcd16), {0x9999}, 9999},
        {Of(Type::Bcd16), {0x0000}, 0},
        {Of(Type::Bool), {1}, 1},
        {Of(Type::Bool), {0}, 0},
        {Scaled(Type::UInt16, {0, 10000, 0.0, 100.0}), {7320}, 73.2},
        {Scaled(Type::Int16, {0, 10, 0, 1}), {0xFF38}, -20},  // -200 tenths
        {Scaled(Type::UInt16, {4000, 20000, 0, 250}), {4000}, 0},
        {Scaled(Type::UInt16, {4000, 20000, 0, 250}), {20000}, 250},
        {Scaled(Type::UInt16, {0, 100, 100, 0}), {25}, 75},  // a falling scale
    };
    for (const Case& c : cases) {
        const std::string what = std::string(TypeName(c.format.type)) + " " +
                                 WordOrderName(c.format.order) + " " + FormatValue(c.value);
        ASSERT_EQ(c.words.size(), static_cast<std::size_t>(c.format.Width())) << what;
        double value = 0;
        EXPECT_EQ(Decode(c.format, c.words.data(), value), Decoded::Ok) << what;
        EXPECT_NEAR(value, c.value, 1e-9) << what;
        Words words(c.words.size(), 0xAAAA);
        std::string reason;
        EXPECT_TRUE(Encode(c.format, c.value, words.data(), reason)) << what << ": " << reason;
        EXPECT_EQ(words, c.words) << what;
    }
}

// What the raw type cannot hold is refused, naming the limits; NaN and the
// infinities are refused whatever the type.
TEST(TypedValues, WritesOutsideTheRawTypeAreRefused) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        Format format;
        double value;
        std::string limits;  // in the reason
    };
    const Case cases[] = {
        {Of(Type::UInt16), 65536, "0 to 65535"},
        {Of(Type::UInt16), -1, "0 to 65535"},
        {Of(Type::Int16), 32768, "-32768 to 32767"},
        {Of(Type::Int16), -32769, "-32768 to 32767"},
        {Of(Type::UInt32), 4294967296.0, "0 to 4294967295"},
        {Of(Type::Int32), -2147483649.0, "-2147483648 to 2147483647"},
        {Of(Type::Int32), 2147483648.0, "-2147483648 to 2147483647"},
        {Of(Type::Bcd16), 10000, "0 to 9999"},
        {Of(Type::Bcd16), -1, "0 to 9999"},
        {Of(Type::Bool), 2, "0 to 1"},
        {Of(Type::Float32), 1e39, "to 3.4028234663852886e+38"},
        {Of(Type::Float32), nan, "to 3.4028234663852886e+38"},
        {Of(Type::Float32), inf, "to 3.4028234663852886e+38"},
        {Of(Type::Float32), -inf, "to 3.4028234663852886e+38"},
        {Of(Type::UInt16), nan, "0 to 65535"},
        // Scaled: the limits are the engineering values of the raw limits.
        {Scaled(Type::UInt16, {0, 10000, 0, 100}), 655.36, "0 to 655.35"},
        {Scaled(Type::Int16, {0, 10, 0, 1}), -3276.9, "-3276.8 to 3276.7"},
        {Scaled(Type::UInt16, {0, 10000, 0, 100}), inf, "0 to 655.35"},
        {Scaled(Type::UInt16, {0, 10000, 0, 100}, true), nan, "0 to 100"},
    };
    for (const Case& c : cases) {
        const std::string what = std::string(TypeName(c.format.type)) + " " + FormatValue(c.value);
        Words words(static_cast<std::size_t>(c.format.Width()), 0xAAAA);
        std::string reason;
        EXPECT_FALSE(Encode(c.format, c.value, words.data(), reason)) << what;
        EXPECT_EQ(reason.rfind("out-of-range: ", 0), 0u) << what << ": " << reason;
        EXPECT_NE(reason.find(c.limits), std::string::npos) << what << ": " << reason;
        EXPECT_EQ(words, Words(words.size(), 0xAAAA)) << what << ": words untouched";
    }
}

// Scaled writes round to the raw step (half away from zero); clamp keeps a
// write inside the scale's range; unscaled integer types take whole numbers.
TEST(TypedValues, RoundingAndClamping) {
    struct Case {
        Format format;
        double value;
        bool ok;
        Words words;
    };
    const Format tenths = Scaled(Type::Int16, {0, 10, 0, 1});
    const Format percent = Scaled(Type::UInt16, {0, 10000, 0, 100}, true);
    const Case cases[] = {
        {tenths, 73.25, true, {733}},
        {tenths, 73.24, true, {732}},
        {tenths, -0.05, true, {0xFFFF}},
        {tenths, -0.04, true, {0}},
        {tenths, 3276.7, true, {32767}},
        {tenths, 3276.74, true, {32767}},  // rounds down into range
        {tenths, 3276.75, false, {}},      // rounds up out of it
        {percent, 100, true, {10000}},
        {percent, 150, true, {10000}},  // clamped
        {percent, -3, true, {0}},
        {percent, 12.346, true, {1235}},
        {Of(Type::UInt16), 1.5, false, {}},
        {Of(Type::Int32), -0.5, false, {}},
        {Of(Type::Bcd16), 12.5, false, {}},
        {Of(Type::Float32), 0.1, true, {0xCCCD, 0x3DCC}},  // the nearest float
    };
    for (const Case& c : cases) {
        const std::string what = std::string(TypeName(c.format.type)) + " " + FormatValue(c.value);
        Words words(static_cast<std::size_t>(c.format.Width()), 0xAAAA);
        std::string reason;
        EXPECT_EQ(Encode(c.format, c.value, words.data(), reason), c.ok) << what << ": " << reason;
        if (c.ok) {
            EXPECT_EQ(words, c.words) << what;
        } else {
            EXPECT_FALSE(reason.empty()) << what;
        }
    }
}

// Words that hold no value of the type, and values outside a clamped scale,
// are told apart from good ones on read.
TEST(TypedValues, ReadsThatAreNoValueOrOutOfRangeAreFlagged) {
    struct Case {
        Format format;
        Words words;
        Decoded state;
    };
    const Format percent = Scaled(Type::UInt16, {0, 10000, 0, 100}, true);
    const Case cases[] = {
        {Of(Type::Bcd16), {0x123A}, Decoded::NotAValue},
        {Of(Type::Bcd16), {0xF000}, Decoded::NotAValue},
        {Of(Type::Float32), {0x0000, 0x7FC0}, Decoded::NotAValue},  // NaN
        {Of(Type::Float32), {0x0000, 0x7F80}, Decoded::NotAValue},  // +inf
        {percent, {10001}, Decoded::OutOfRange},
        {percent, {10000}, Decoded::Ok},
        {percent, {0}, Decoded::Ok},
        {Scaled(Type::UInt16, {0, 10000, 0, 100}), {10001}, Decoded::Ok},  // no clamp
    };
    for (const Case& c : cases) {
        double value = -7;
        EXPECT_EQ(Decode(c.format, c.words.data(), value), c.state)
            << TypeName(c.format.type) << " " << c.words[0];
    }
}

TEST(TypedValues, BlocksDecodeValueByValue) {
    std::vector<double> values;
    std::vector<Decoded> states;
    EXPECT_TRUE(DecodeAll(Of(Type::Int32), {0xFFFB, 0xFFFF, 7, 0}, values, states));
    EXPECT_EQ(values, (std::vector<double>{-5, 7}));
    EXPECT_FALSE(DecodeAll(Of(Type::Int32), {1, 2, 3}, values, states)) << "half a value";
    EXPECT_EQ(values.size(), 2u) << "untouched";
}

TEST(TypedValues, NamesAndText) {
    for (const char* name : {"uint16", "int16", "uint32", "int32", "float32", "bcd16", "bool"}) {
        Type type{};
        ASSERT_TRUE(ParseType(name, type)) << name;
        EXPECT_STREQ(TypeName(type), name);
    }
    Type type{};
    EXPECT_FALSE(ParseType("float", type));
    WordOrder order{};
    EXPECT_TRUE(ParseWordOrder("high-first", order));
    EXPECT_EQ(order, WordOrder::HighFirst);
    EXPECT_FALSE(ParseWordOrder("big-endian", order));
    EXPECT_EQ(FormatValue(73.2), "73.2");
    EXPECT_EQ(FormatValue(73.25, 1), "73.2");  // printf's rounding of the double
    EXPECT_EQ(FormatValue(4294967295.0), "4294967295");
    EXPECT_EQ(FormatValue(-5, 2), "-5.00");
}

// The cost of a conversion, printed for the record; the assertion only
// guards against something far off (a conversion that allocates or loops).
TEST(TypedValues, ConversionCost) {
    const Format format = Scaled(Type::Float32, {0, 100, 0, 1});
    constexpr int kRounds = 1000000;
    std::uint16_t words[2] = {0x8000, 0x4292};
    double sum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; ++i) {
        double value = 0;
        words[0] = static_cast<std::uint16_t>(i);
        if (Decode(format, words, value) == Decoded::Ok) {
            sum += value;
        }
    }
    const double decodeNs =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        kRounds;
    std::string reason;
    const auto start2 = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; ++i) {
        Encode(format, static_cast<double>(i % 1000) * 0.25, words, reason);
        sum += words[0];
    }
    const double encodeNs =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start2)
            .count() /
        kRounds;
    std::printf("conversion cost: decode %.1f ns, encode %.1f ns a value (checksum %g)\n", decodeNs,
                encodeNs, sum);
    EXPECT_LT(decodeNs, 5000.0);
    EXPECT_LT(encodeNs, 5000.0);
}

}  // namespace
}  // namespace westnet::values
