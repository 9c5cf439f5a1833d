// Point address texts through commands 3 and 4: the verdict and every field
// of the host's record after it, including the fields a rejection leaves
// written and those it must leave alone.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>

#include "address/parser.h"
#include "entry/commands.h"
#include "entry/zanmain.h"
#include "fake_platform.h"

namespace westnet {
namespace {

using namespace std::string_literals;

constexpr std::int32_t kMin = -2147483647 - 1;
constexpr std::int32_t kMax = 2147483647;

// Values on entry that no parse produces, so "unchanged" shows.
constexpr std::int32_t kS = 777;     // station
constexpr std::int32_t kR = 777777;  // reg
constexpr std::int32_t kK = -7;      // kind
constexpr std::int32_t kP = -9;      // parsed

struct Fields {
    std::int32_t station;
    std::int32_t reg;
    std::int32_t bit;
    std::int32_t kind;
    std::int32_t parsed;
};

bool operator==(const Fields& a, const Fields& b) {
    return a.station == b.station && a.reg == b.reg && a.bit == b.bit && a.kind == b.kind &&
           a.parsed == b.parsed;
}

std::ostream& operator<<(std::ostream& os, const Fields& f) {
    return os << "{station " << f.station << ", reg " << f.reg << ", bit " << f.bit << ", kind "
              << f.kind << ", parsed " << f.parsed << "}";
}

Fields Entry(std::int32_t bit = 0, std::int32_t station = kS, std::int32_t reg = kR) {
    return {station, reg, bit, kK, kP};
}
// What a rejection leaves: kind and parsed as they were.
Fields Left(std::int32_t station, std::int32_t reg, std::int32_t bit) {
    return {station, reg, bit, kK, kP};
}
Fields Word(std::int32_t station, std::int32_t reg) {
    return {station, reg, 255, KIND_WORD, 1};
}
Fields Bit(std::int32_t station, std::int32_t reg, std::int32_t bit) {
    return {station, reg, bit, KIND_BIT, 1};
}

using Text = std::array<char, ADDRESS_TEXT_SIZE>;

Text MakeText(const std::string& s) {
    Text t{};
    EXPECT_LE(s.size(), t.size()) << "test text too long";
    std::memcpy(t.data(), s.data(), std::min(s.size(), t.size()));
    return t;
}

// The record with canaries on both sides: the parse writes nothing beyond it.
struct Guarded {
    unsigned char before[16];
    PointAddress address;
    unsigned char after[16];
};

struct Outcome {
    std::int32_t result;
    Fields fields;
};

Outcome Parse(std::int32_t command, const char* text, std::int32_t dataType, const Fields& in,
              std::int32_t count = 10) {
    fake::FakePlatform fake;
    Guarded g;
    std::memset(&g, 0xC3, sizeof g);
    g.address.text = text;
    g.address.unused4 = 0x5EED;
    g.address.dataType = dataType;
    g.address.count = count;
    g.address.station = in.station;
    g.address.reg = in.reg;
    g.address.bit = in.bit;
    g.address.kind = in.kind;
    g.address.parsed = in.parsed;

    DriverRequest request{};
    request.channel = nullptr;  // the parse commands have no use for a channel
    request.command = command;
    request.params = &g.address;
    const std::int32_t result = ZanMain(&request);

    for (unsigned char b : g.before) {
        EXPECT_EQ(b, 0xC3);
    }
    for (unsigned char b : g.after) {
        EXPECT_EQ(b, 0xC3);
    }
    EXPECT_EQ(g.address.text, text);
    EXPECT_EQ(g.address.unused4, 0x5EED);
    EXPECT_EQ(g.address.dataType, dataType);
    EXPECT_EQ(g.address.count, count);
    EXPECT_TRUE(fake.Calls().empty()) << "a parse touched the serial line";
    return {result,
            {g.address.station, g.address.reg, g.address.bit, g.address.kind, g.address.parsed}};
}

struct Row {
    const char* what;
    std::string text;  // padded with NUL to 12 bytes
    std::int32_t dataType;
    Fields in;
    std::int32_t result;
    Fields out;
};

// Every row goes through command 3 and through command 4 with a good count:
// both run the same parse.
void RunRows(const Row* rows, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Row& r = rows[i];
        SCOPED_TRACE(r.what);
        const Text text = MakeText(r.text);
        for (std::int32_t command : {3, 4}) {
            SCOPED_TRACE(command);
            const Outcome o = Parse(command, text.data(), r.dataType, r.in);
            EXPECT_EQ(o.result, r.result);
            EXPECT_EQ(o.fields, r.out);
        }
    }
}

TEST(Parser, AddressTable) {
    const Row rows[] = {
        {"word", "0100001", 0, Entry(), ResOk, Word(1, 0)},
        {"largest", "9965535", 0, Entry(), ResOk, Word(99, 65534)},
        {"register 40001", "0540001", 0, Entry(), ResOk, Word(5, 40000)},
        {"station 0", "0000001", 0, Entry(), ResOk, Word(0, 0)},
        {"register 65536", "0165536", 0, Entry(), ResBad, Left(1, 65536, 0)},
        {"register 0", "0100000", 0, Entry(), ResBad, Left(1, 0, 0)},
        {"position 2 out of class", "0170000", 0, Entry(), ResBad, Entry()},
        {"lower case letter", "1a00001", 0, Entry(), ResBad, Entry()},
        {"four register characters", "010001", 0, Entry(), ResBad, Left(1, 1, 0)},
        {"position 7 not empty", "01000011", 0, Entry(), ResBad, Left(1, 1, 1)},
        {"space at position 7", "0100001 ", 0, Entry(), ResBad, Left(1, 1, 0)},
        {"bit 1", "01000011", 6, Entry(), ResOk, Bit(1, 0, 0)},
        {"bit after a space", "0240001 9", 6, Entry(), ResOk, Bit(2, 40000, 8)},
        {"bit 16", "024000116", 6, Entry(), ResOk, Bit(2, 40000, 15)},
        {"bit 17", "024000117", 6, Entry(), ResBad, Left(2, 40001, 17)},
        {"bit 0", "010000100", 6, Entry(), ResBad, Left(1, 1, 0)},
        {"number from position 9", "0100001  5", 6, Entry(), ResOk, Bit(1, 0, 4)},
        {"positions 9-11 unchecked", "0100001 2XY", 6, Entry(), ResOk, Bit(1, 0, 1)},
        {"number runs into 9-11", "0100001 1234", 6, Entry(), ResBad, Left(1, 1, 1234)},
        {"bit point without bit", "0100001", 6, Entry(), ResBad, Left(1, 1, 0)},
    };
    RunRows(rows, std::size(rows));
}

// A conversion without a digit stores nothing; the check runs on what the
// field held before.
TEST(Parser, KeptValues) {
    const Row rows[] = {
        {"kept bit 4", "0100001", 6, Entry(4), ResOk, Bit(1, 0, 3)},
        {"kept bit 16", "0100001", 6, Entry(16), ResOk, Bit(1, 0, 15)},
        {"kept bit 17", "0100001", 6, Entry(17), ResBad, Left(1, 1, 17)},
        {"kept bit -1", "0100001", 6, Entry(-1), ResBad, Left(1, 1, -1)},
        {"kept bit min", "0100001", 6, Entry(kMin), ResBad, Left(1, 1, kMin)},
        {"only spaces", "0100001     ", 6, Entry(4), ResOk, Bit(1, 0, 3)},
        {"digits replace kept bit", "010000100", 6, Entry(4), ResBad, Left(1, 1, 0)},
        {"word point replaces kept bit", "0100001", 0, Entry(4), ResOk, Word(1, 0)},
        {"kept station 150",
         "\0\0"s
         "00001",
         0, Entry(0, 150), ResBad, Left(150, kR, 0)},
        {"kept station 42",
         "\0\0"s
         "00001",
         0, Entry(0, 42), ResOk, Word(42, 0)},
        {"kept register 10, bit point", "01", 6, Entry(4, kS, 10), ResOk, Bit(1, 9, 3)},
        {"kept register 70000", "01", 6, Entry(4, kS, 70000), ResBad, Left(1, 70000, 4)},
        {"kept register 0", "01", 6, Entry(4, kS, 0), ResBad, Left(1, 0, 4)},
        {"kept register, word point", "01", 0, Entry(4, kS, 10), ResBad, Left(1, 10, 4)},
        {"empty, record of zeros", "", 0, {0, 0, 0, 0, 0}, ResBad, {0, 0, 0, 0, 0}},
        {"empty, bit point kept", "", 6, Entry(4, 5, 10), ResOk, Bit(5, 9, 3)},
        {"empty, word point kept", "", 0, Entry(4, 5, 10), ResBad, Left(5, 10, 4)},
    };
    RunRows(rows, std::size(rows));
}

// The bit number: white space and a sign, and as many digits as the 12 bytes
// hold. Positions 7 and 8 allow only the space and digits.
TEST(Parser, BitNumberSignsSpacesAndLongRuns) {
    const Row rows[] = {
        {"plus sign", "0100001  +5", 6, Entry(), ResOk, Bit(1, 0, 4)},
        {"minus one", "0100001  -1", 6, Entry(), ResBad, Left(1, 1, -1)},
        {"minus zero", "0100001  -0", 6, Entry(4), ResBad, Left(1, 1, 0)},
        {"minus 99", "0100001  -99", 6, Entry(), ResBad, Left(1, 1, -99)},
        {"sign alone", "0100001  +", 6, Entry(), ResBad, Left(1, 1, 0)},
        {"space after sign", "0100001  + 5", 6, Entry(4), ResOk, Bit(1, 0, 3)},
        {"two signs", "0100001  --5", 6, Entry(4), ResOk, Bit(1, 0, 3)},
        {"tab at 9", "0100001  \t5", 6, Entry(), ResOk, Bit(1, 0, 4)},
        {"line feed, vertical tab", "0100001  \n\v5", 6, Entry(), ResOk, Bit(1, 0, 4)},
        {"form feed, return", "0100001  \f\r7", 6, Entry(), ResOk, Bit(1, 0, 6)},
        {"tab at 8", "0100001 \t5", 6, Entry(), ResBad, Entry()},
        {"sign at 8", "0100001 -5", 6, Entry(), ResBad, Entry()},
        {"sign at 7", "0100001+5", 6, Entry(), ResBad, Entry()},
        {"leading zeros to 11", "010000100016", 6, Entry(), ResOk, Bit(1, 0, 15)},
        {"16 at the very end", "0100001   16", 6, Entry(), ResOk, Bit(1, 0, 15)},
        {"four nines", "0100001 9999", 6, Entry(), ResBad, Left(1, 1, 9999)},
        {"five nines", "010000199999", 6, Entry(), ResBad, Left(1, 1, 99999)},
        {"five nines, word point", "010000199999", 0, Entry(), ResBad, Left(1, 1, 99999)},
    };
    RunRows(rows, std::size(rows));
}

// A NUL inside the 12 ends every conversion, yet the class check still sees
// the bytes behind it at positions 0 to 8; positions 9 to 11 are never checked.
TEST(Parser, BytesBehindATerminator) {
    const Row rows[] = {
        {"letter at 8",
         "0100001\0"s
         "A",
         0, Entry(), ResBad, Entry()},
        {"digit at 8",
         "0100001\0"s
         "5",
         0, Entry(), ResOk, Word(1, 0)},
        {"letter at 3 behind short text",
         "01\0"s
         "A",
         0, Entry(), ResBad, Entry()},
        {"high bytes at 9-11",
         "0100001\0\0"s
         "\xff\xfe\x80",
         0, Entry(), ResOk, Word(1, 0)},
        {"sign and digit at 9-11",
         "0100001\0\0"s
         "+5",
         0, Entry(), ResOk, Word(1, 0)},
        {"digits behind NUL at 7",
         "0100001\0\0"s
         "16",
         6, Entry(), ResBad, Left(1, 1, 0)},
        {"one station digit",
         "0\0"s
         "00001",
         0, Entry(), ResOk, Word(0, 0)},
        {"station 1 of one digit",
         "1\0"s
         "00001",
         0, Entry(), ResOk, Word(1, 0)},
        {"register cut by NUL",
         "01001\0"s
         "1",
         0, Entry(), ResBad, Left(1, 1, 0)},
        {"short register, bit point",
         "01001\0"s
         "15",
         6, Entry(), ResOk, Bit(1, 0, 4)},
    };
    RunRows(rows, std::size(rows));
}

// Every byte outside a position's class fails there, whatever it is: lower
// case, 0x7B-0x7F, control bytes and 0x80-0xFF alike; the record is untouched.
TEST(Parser, EveryByteOutsideItsClassIsRefused) {
    const char* const classes[9] = {"0123456789", "0123456789",  "0123456",
                                    "0123456789", "0123456789",  "0123456789",
                                    "0123456789", " 0123456789", " 0123456789"};
    const std::string base = "010000111";  // a good bit point: station 1, register 1, bit 11
    for (std::size_t pos = 0; pos < 9; ++pos) {
        for (int b = 1; b <= 255; ++b) {
            if (std::strchr(classes[pos], b) != nullptr) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << "position " << pos << " byte " << b);
            std::string s = base;
            s[pos] = static_cast<char>(b);
            const Text text = MakeText(s);
            for (std::int32_t dataType : {0, 6}) {
                const Outcome o = Parse(3, text.data(), dataType, Entry(4));
                ASSERT_EQ(o.result, ResBad);
                ASSERT_EQ(o.fields, Entry(4));
            }
        }
    }
    // The base itself passes, so each refusal above is the byte's doing.
    const Outcome good = Parse(3, MakeText(base).data(), 6, Entry());
    EXPECT_EQ(good.result, ResOk);
    EXPECT_EQ(good.fields, Bit(1, 0, 10));
}

TEST(Parser, BlockCount) {
    struct Case {
        std::int32_t count;
        std::int32_t result;
    };
    const Case cases[] = {{64, ResOk},  {1, ResOk},     {65, ResBad},   {0, ResBad},
                          {-1, ResBad}, {kMin, ResBad}, {kMax, ResBad}, {10, ResOk}};
    const Text word = MakeText("0140001");
    const Text bit = MakeText("014000103");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        // A count refused after a good parse still leaves every field written.
        const Outcome w = Parse(4, word.data(), 0, Entry(), c.count);
        EXPECT_EQ(w.result, c.result);
        EXPECT_EQ(w.fields, Word(1, 40000));
        const Outcome b = Parse(4, bit.data(), 6, Entry(), c.count);
        EXPECT_EQ(b.result, c.result);
        EXPECT_EQ(b.fields, Bit(1, 40000, 2));
    }
    // A bad address is refused before the count matters, register unreduced.
    const Outcome bad = Parse(4, MakeText("0100000").data(), 0, Entry(), 10);
    EXPECT_EQ(bad.result, ResBad);
    EXPECT_EQ(bad.fields, Left(1, 0, 0));
    // Command 3 never looks at the count.
    for (std::int32_t count : {0, 65, kMin}) {
        const Outcome p = Parse(3, word.data(), 0, Entry(), count);
        EXPECT_EQ(p.result, ResOk);
        EXPECT_EQ(p.fields, Word(1, 40000));
    }
}

// Only 12 bytes are the text: what follows is never read.
TEST(Parser, OnlyTwelveBytesAreRead) {
    const char buffer[] = "0100001    5777";  // positions 12-14 would make bit 5777
    const Outcome o = Parse(3, buffer, 6, Entry());
    EXPECT_EQ(o.result, ResOk);
    EXPECT_EQ(o.fields, Bit(1, 0, 4));

    // The text as the last 12 bytes before an inaccessible page: a read of a
    // 13th byte faults.
    const long page = sysconf(_SC_PAGESIZE);
    ASSERT_GT(page, 0);
    const auto size = static_cast<std::size_t>(page);
    void* map = mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto* base = static_cast<char*>(map);
    ASSERT_EQ(mprotect(base + size, size, PROT_NONE), 0);
    char* edge = base + size - ADDRESS_TEXT_SIZE;

    const Row rows[] = {
        {"bit at position 11", "0100001    5", 6, Entry(), ResOk, Bit(1, 0, 4)},
        {"run to position 11", "010000112345", 6, Entry(), ResBad, Left(1, 1, 12345)},
        {"spaces to position 11", "0100001     ", 6, Entry(4), ResOk, Bit(1, 0, 3)},
        {"sign at position 11", "0100001    -", 6, Entry(), ResBad, Left(1, 1, 0)},
        {"word, garbage to 11",
         "0100001\0\0"s
         "XYZ",
         0, Entry(), ResOk, Word(1, 0)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::memcpy(edge, MakeText(r.text).data(), ADDRESS_TEXT_SIZE);
        for (std::int32_t command : {3, 4}) {
            const Outcome e = Parse(command, edge, r.dataType, r.in);
            EXPECT_EQ(e.result, r.result);
            EXPECT_EQ(e.fields, r.out);
        }
    }
    munmap(map, 2 * size);
}

TEST(Parser, MissingRecordOrTextIsRefused) {
    fake::FakePlatform fake;
    for (std::int32_t command : {3, 4}) {
        SCOPED_TRACE(command);
        DriverRequest request{};
        request.command = command;
        request.params = nullptr;
        EXPECT_EQ(ZanMain(&request), ResBad);

        Guarded g;
        std::memset(&g, 0xC3, sizeof g);
        g.address.text = nullptr;
        const Guarded before = g;
        request.params = &g.address;
        EXPECT_EQ(ZanMain(&request), ResBad);
        EXPECT_EQ(std::memcmp(&g, &before, sizeof g), 0);
    }
    EXPECT_EQ(CmdParsePoint(nullptr), ResBad);
    EXPECT_EQ(CmdParseBlock(nullptr), ResBad);
    EXPECT_TRUE(fake.Calls().empty());
}

// The shared parse leaves the register as written; the commands reduce it.
TEST(Parser, SharedParseLeavesRegisterAsWritten) {
    const Text text = MakeText("0540001");
    PointAddress a{};
    a.text = text.data();
    EXPECT_EQ(ParseAddress(a), ResOk);
    EXPECT_EQ(a.reg, 40001);
    EXPECT_EQ(a.parsed, 1);
    EXPECT_EQ(a.kind, KIND_WORD);
}

// A register kept from before the command is not checked below zero; the
// reduction then wraps instead of overflowing.
TEST(Parser, KeptLowestRegisterWraps) {
    const Outcome o = Parse(3, MakeText("01").data(), 6, Entry(4, kS, kMin));
    EXPECT_EQ(o.result, ResOk);
    EXPECT_EQ(o.fields, Bit(1, kMax, 3));
}

// No buffer is shared between parses: two channels' parses may overlap.
TEST(Parser, ParsesRunSideBySide) {
    const Text word = MakeText("9965535");
    const Text bit = MakeText("0100001 2XY");
    int wrong[2] = {0, 0};
    auto worker = [](const Text& text, std::int32_t dataType, Fields expected, int& bad) {
        for (int i = 0; i < 20000; ++i) {
            PointAddress a{};
            a.text = text.data();
            a.dataType = dataType;
            DriverRequest request{};
            request.command = 3;
            request.params = &a;
            const std::int32_t result = ZanMain(&request);
            const Fields got{a.station, a.reg, a.bit, a.kind, a.parsed};
            if (result != ResOk || !(got == expected)) {
                ++bad;
            }
        }
    };
    std::thread t1(worker, std::cref(word), 0, Word(99, 65534), std::ref(wrong[0]));
    std::thread t2(worker, std::cref(bit), 6, Bit(1, 0, 1), std::ref(wrong[1]));
    t1.join();
    t2.join();
    EXPECT_EQ(wrong[0], 0);
    EXPECT_EQ(wrong[1], 0);
}

}  // namespace
}  // namespace westnet
