// Decoding a request's PDU, and what the `writes` policy lets a client
// write.
#include <gtest/gtest.h>

#include <vector>

#include "modbus/plant_index.h"
#include "modbus/request.h"

namespace westnet::gateway::modbus {
namespace {

struct DecodeCase {
    const char* name;
    std::vector<std::uint8_t> pdu;
    Exception expected;
};

TEST(ModbusDecode, LimitsAndLengths) {
    const DecodeCase cases[] = {
        {"FC 3 of 125 words", {0x03, 0x9C, 0x40, 0x00, 0x7D}, Exception::None},
        {"FC 3 of 0 words", {0x03, 0x00, 0x00, 0x00, 0x00}, Exception::IllegalValue},
        {"FC 3 of 126 words", {0x03, 0x00, 0x00, 0x00, 0x7E}, Exception::IllegalValue},
        {"FC 4 ending at 65535", {0x04, 0xFF, 0xF6, 0x00, 0x0A}, Exception::None},
        {"FC 4 past 65535", {0x04, 0xFF, 0xF7, 0x00, 0x0A}, Exception::IllegalAddress},
        {"FC 3 one byte short", {0x03, 0x00, 0x00, 0x00}, Exception::IllegalValue},
        {"FC 1 of 2001 coils", {0x01, 0x00, 0x00, 0x07, 0xD1}, Exception::IllegalValue},
        {"FC 5 with 0x1234", {0x05, 0x00, 0x07, 0x12, 0x34}, Exception::IllegalValue},
        {"FC 15 byte count short",
         {0x0F, 0x00, 0x00, 0x00, 0x09, 0x01, 0xFF},
         Exception::IllegalValue},
        {"FC 15 of 1969 coils", {0x0F, 0x00, 0x00, 0x07, 0xB1, 0x00}, Exception::IllegalValue},
        {"FC 16 byte count not 2 x count",
         {0x10, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00},
         Exception::IllegalValue},
        {"FC 16 past 65535",
         {0x10, 0xFF, 0xFF, 0x00, 0x02, 0x04, 1, 2, 3, 4},
         Exception::IllegalAddress},
        {"FC 22 clearing two bits",
         {0x16, 0x00, 0x00, 0xFF, 0xF3, 0x00, 0x00},
         Exception::IllegalValue},
        {"FC 22 changing nothing",
         {0x16, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x08},
         Exception::IllegalValue},
        {"FC 8 (diagnostics)", {0x08, 0x00, 0x00, 0x12, 0x34}, Exception::IllegalFunction},
        {"FC 23 (read/write)", {0x17, 0x00, 0x00, 0x00, 0x01}, Exception::IllegalFunction},
        {"FC 43 (identification)", {0x2B, 0x0E, 0x01, 0x00}, Exception::IllegalFunction},
    };
    for (const DecodeCase& c : cases) {
        Request r;
        EXPECT_EQ(Decode(1, c.pdu.data(), c.pdu.size(), r), c.expected) << c.name;
    }
    // FC 16 at its limit, with every byte its count implies.
    for (int words : {123, 124}) {
        std::vector<std::uint8_t> pdu = {0x10,
                                         0x00,
                                         0x00,
                                         0x00,
                                         static_cast<std::uint8_t>(words),
                                         static_cast<std::uint8_t>(2 * words)};
        pdu.resize(pdu.size() + 2 * static_cast<std::size_t>(words), 0x55);
        Request r;
        EXPECT_EQ(Decode(1, pdu.data(), pdu.size(), r),
                  words == 123 ? Exception::None : Exception::IllegalValue)
            << words;
    }
}

TEST(ModbusDecode, ValuesAsTheHighwayTakesThem) {
    Request r;
    const std::vector<std::uint8_t> coils = {0x0F, 0x00, 0x10, 0x00, 0x0A, 0x02, 0x05, 0x02};
    ASSERT_EQ(Decode(7, coils.data(), coils.size(), r), Exception::None);
    EXPECT_EQ(r.unit, 7);
    EXPECT_EQ(r.address, 16);
    // Coil states go least significant bit first.
    EXPECT_EQ(r.values, (std::vector<std::uint16_t>{1, 0, 1, 0, 0, 0, 0, 0, 0, 1}));

    const std::vector<std::uint8_t> words = {0x10, 0x9C, 0x40, 0x00, 0x02,
                                             0x04, 0x12, 0x34, 0xAB, 0xCD};
    ASSERT_EQ(Decode(1, words.data(), words.size(), r), Exception::None);
    EXPECT_EQ(r.address, 40000);
    EXPECT_EQ(r.values, (std::vector<std::uint16_t>{0x1234, 0xABCD}));

    // Set bit 15 / clear bit 0; the OR mask's other bits change nothing.
    const std::vector<std::uint8_t> set15 = {0x16, 0x00, 0x05, 0x7F, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(Decode(1, set15.data(), set15.size(), r), Exception::None);
    EXPECT_EQ(r.bit, 15);
    EXPECT_EQ(r.bitValue, 1);
    const std::vector<std::uint8_t> clear0 = {0x16, 0x00, 0x05, 0xFF, 0xFE, 0x00, 0x00};
    ASSERT_EQ(Decode(1, clear0.data(), clear0.size(), r), Exception::None);
    EXPECT_EQ(r.bit, 0);
    EXPECT_EQ(r.bitValue, 0);
}

TEST(ModbusPlantIndex, WritesPolicyByPoint) {
    Plant plant;
    LineConfig line;
    line.name = "north";
    line.modbusUnitOffset = 10;
    auto point = [](int reg, int bit, int count, bool writable) {
        PointConfig p;
        p.station = 2;
        p.reg = reg;
        p.bit = bit;
        p.count = count;
        p.writable = writable;
        return p;
    };
    line.points = {point(100, -1, 4, true), point(104, -1, 0, true), point(200, 3, 0, true),
                   point(300, -1, 0, false)};
    plant.lines.push_back(line);
    PlantIndex index(plant);
    ASSERT_EQ(index.Find(2), nullptr);
    const Unit* unit = index.Find(12);
    ASSERT_NE(unit, nullptr);
    EXPECT_TRUE(PlantIndex::WordsWritable(*unit, 100, 5));  // a block and the word after it
    EXPECT_FALSE(PlantIndex::WordsWritable(*unit, 99, 2));
    EXPECT_FALSE(PlantIndex::WordsWritable(*unit, 104, 2));
    // A writable bit point lets its bit be written, never its whole word.
    EXPECT_TRUE(PlantIndex::BitWritable(*unit, 200, 3));
    EXPECT_FALSE(PlantIndex::BitWritable(*unit, 200, 4));
    EXPECT_FALSE(PlantIndex::WordsWritable(*unit, 200, 1));
    EXPECT_TRUE(PlantIndex::BitWritable(*unit, 102, 9));
    EXPECT_FALSE(PlantIndex::BitWritable(*unit, 300, 0));
}

}  // namespace
}  // namespace westnet::gateway::modbus
