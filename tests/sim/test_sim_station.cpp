// The simulated stations' answers, byte for byte, and the requests they must
// leave unanswered; the framer that cuts the incoming bytes into requests.
#include <gtest/gtest.h>

#include <initializer_list>

#include "station.h"

namespace westnet::sim {
namespace {

Bytes B(std::initializer_list<int> values) {
    Bytes bytes;
    for (int value : values) {
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

// A six-byte request with its header checksum.
Bytes Header(int op, int b1, int b2, int b3, int b4) {
    Bytes frame = B({op, b1, b2, b3, b4, 0});
    frame[5] = HeaderSum(frame.data());
    return frame;
}

class StationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plant_.AddStation(5));
        ASSERT_TRUE(plant_.AddStation(7));
    }
    void Select(int station) {
        ASSERT_FALSE(plant_.Handle(Header(kOpSelect, station, 0, 0, 0)).bytes.empty());
    }
    std::vector<std::uint16_t>& Regs(int station) { return plant_.Registers(station); }

    Plant plant_;
};

TEST_F(StationTest, SelectEchoesTheHeaderAndSelects) {
    Reply reply = plant_.Handle(B({0x0A, 0x05, 0x00, 0x00, 0x00, 0x0F}));
    EXPECT_EQ(reply.bytes, B({0x0A, 0x05, 0x00, 0x00, 0x00, 0x0F}));
    EXPECT_EQ(plant_.selected(), 5);
    EXPECT_EQ(reply.text, "SELECT station 5");
}

TEST_F(StationTest, SelectOfAMissingStationIsSilentAndDropsTheSelection) {
    Select(5);
    for (int station : {6, 99, 100, 255}) {
        SCOPED_TRACE(station);
        Reply reply = plant_.Handle(Header(kOpSelect, station, 0, 0, 0));
        EXPECT_TRUE(reply.bytes.empty());
        EXPECT_EQ(plant_.selected(), kNoStation);
    }
    // With nothing selected, a read goes unanswered.
    EXPECT_TRUE(plant_.Handle(Header(kOpReadWord, 0, 0, 0, 0)).bytes.empty());
}

TEST_F(StationTest, ReadWordRepliesWithTheValueLowByteFirst) {
    Select(5);
    Regs(5)[0x1234] = 0x5678;
    Reply reply = plant_.Handle(B({0x00, 0x34, 0x12, 0x00, 0x00, 0x46}));
    EXPECT_EQ(reply.bytes, B({0x00, 0x34, 0x12, 0x78, 0x56, 0x14}));
    EXPECT_EQ(reply.text, "READ_WORD reg 0x1234 on station 5 -> 0x5678");
}

TEST_F(StationTest, ReadsAndWritesGoToTheSelectedStation) {
    Regs(5)[3] = 0x0505;
    Regs(7)[3] = 0x0707;
    Select(7);
    EXPECT_EQ(plant_.Handle(Header(kOpReadWord, 3, 0, 0, 0)).bytes[3], 0x07);
    plant_.Handle(Header(kOpWriteWord, 3, 0, 0x34, 0x12));
    EXPECT_EQ(Regs(7)[3], 0x1234);
    EXPECT_EQ(Regs(5)[3], 0x0505);
    Select(5);
    EXPECT_EQ(plant_.Handle(Header(kOpReadWord, 3, 0, 0, 0)).bytes[3], 0x05);
}

TEST_F(StationTest, ReadBlockSumsEveryDataByteInItsCheck) {
    Select(5);
    Regs(5)[0x10] = 0x0102;
    Regs(5)[0x11] = 0x0304;
    Reply reply = plant_.Handle(B({0x05, 0x10, 0x00, 0x01, 0x00, 0x16}));
    EXPECT_EQ(reply.bytes, B({0x05, 0x10, 0x00, 0x01, 0x00, 0x16, 0x02, 0x01, 0x04, 0x03, 0x0A}));
}

TEST_F(StationTest, ReadBlockLengthsFollowTheCountByte) {
    Select(5);
    for (int b : {0, 63, 95, 255}) {
        SCOPED_TRACE(b);
        Reply reply = plant_.Handle(Header(kOpReadBlock, 0, 0, b, 0));
        EXPECT_EQ(reply.bytes.size(), static_cast<std::size_t>(2 * b + 9));
    }
}

TEST_F(StationTest, BlocksWrapAtTheLastRegister) {
    Select(5);
    Regs(5)[0xFFFF] = 0xAAAA;
    Regs(5)[0] = 0x1111;
    Reply read = plant_.Handle(Header(kOpReadBlock, 0xFF, 0xFF, 1, 0));
    EXPECT_EQ(Bytes(read.bytes.begin() + 6, read.bytes.end()),
              B({0xAA, 0xAA, 0x11, 0x11, (0xAA * 2 + 0x11 * 2) & 0xFF}));

    Bytes write = Header(kOpWriteBlock, 0xFF, 0xFF, 1, 0);
    for (int byte : {0x01, 0x02, 0x03, 0x04, 0x04}) {
        write.push_back(static_cast<std::uint8_t>(byte));
    }
    EXPECT_FALSE(plant_.Handle(write).bytes.empty());
    EXPECT_EQ(Regs(5)[0xFFFF], 0x0201);
    EXPECT_EQ(Regs(5)[0], 0x0403);
}

TEST_F(StationTest, WriteWordStoresAndAcknowledges) {
    Select(5);
    Bytes request = B({0x01, 0x34, 0x12, 0x78, 0x56, 0x15});
    EXPECT_EQ(plant_.Handle(request).bytes, request);
    EXPECT_EQ(Regs(5)[0x1234], 0x5678);
}

TEST_F(StationTest, WriteBitSetsOrClearsOneBit) {
    Select(5);
    struct Case {
        std::uint16_t before;
        Bytes request;
        std::uint16_t after;
    } cases[] = {
        {0x0000, B({0x03, 0x34, 0x12, 0x1F, 0x00, 0x68}), 0x8000},  // set bit 15
        {0xFFFF, B({0x03, 0x34, 0x12, 0x03, 0x00, 0x4C}), 0xFFF7},  // clear bit 3
        {0x0100, B({0x03, 0x34, 0x12, 0x10, 0x00, 0x59}), 0x0101},  // set bit 0
        {0x0008, B({0x03, 0x34, 0x12, 0x13, 0x00, 0x5C}), 0x0008},  // set a set bit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(HexBytes(c.request));
        Regs(5)[0x1234] = c.before;
        EXPECT_EQ(plant_.Handle(c.request).bytes, c.request);
        EXPECT_EQ(Regs(5)[0x1234], c.after);
    }
}

TEST_F(StationTest, WriteBlockChecksTheLowBytesOnly) {
    Select(5);
    Bytes request = B({0x07, 0x09, 0x00, 0x02, 0x00, 0x12, 0x02, 0x01, 0x04, 0x03, 0xFF, 0x00,
                       0x09});  // check over all six data bytes: refused
    EXPECT_TRUE(plant_.Handle(request).bytes.empty());
    EXPECT_EQ(Regs(5)[9], 0);
    EXPECT_EQ(Regs(5)[10], 0);

    request.back() = 0x05;  // the low bytes 0x02 + 0x04 + 0xFF
    Reply reply = plant_.Handle(request);
    EXPECT_EQ(reply.bytes, B({0x07, 0x09, 0x00, 0x02, 0x00, 0x12}));
    EXPECT_EQ(reply.text, "WRITE_BLOCK reg 0x0009 count 3 on station 5");
    EXPECT_EQ(Regs(5)[9], 0x0102);
    EXPECT_EQ(Regs(5)[10], 0x0304);
    EXPECT_EQ(Regs(5)[11], 0x00FF);
    EXPECT_EQ(Regs(5)[12], 0);
}

TEST_F(StationTest, RefusedFramesGetNoAnswerAndChangeNothing) {
    Select(5);
    Regs(5)[0x1234] = 0x1111;
    struct Case {
        const char* name;
        Bytes frame;
        Verdict verdict;
    } cases[] = {
        {"bad header checksum", B({0x01, 0x34, 0x12, 0x78, 0x56, 0x16}), Verdict::kBadChecksum},
        {"unknown op", Header(0x02, 0x34, 0x12, 0x78, 0x56), Verdict::kUnknownOp},
        {"op 0xFF", Header(0xFF, 0x34, 0x12, 0x78, 0x56), Verdict::kUnknownOp},
        {"short frame", B({0x01, 0x34, 0x12}), Verdict::kBadLength},
        {"word write too long", B({0x01, 0x34, 0x12, 0x78, 0x56, 0x15, 0x00}), Verdict::kBadLength},
        {"block write cut short", B({0x07, 0x34, 0x12, 0x00, 0x00, 0x4D, 0x78}),
         Verdict::kBadLength},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Request request = plant_.Decode(c.frame.data(), c.frame.size());
        EXPECT_EQ(request.verdict, c.verdict);
        EXPECT_TRUE(plant_.Handle(c.frame).bytes.empty());
        EXPECT_EQ(Regs(5)[0x1234], 0x1111);
        EXPECT_EQ(plant_.selected(), 5);
    }
}

TEST_F(StationTest, NothingIsAnsweredBeforeASelection) {
    for (const Bytes& frame : {Header(kOpReadWord, 1, 0, 0, 0), Header(kOpWriteWord, 1, 0, 9, 0),
                               Header(kOpWriteBit, 1, 0, 0x11, 0), Header(kOpReadBlock, 1, 0, 3, 0),
                               B({0x07, 0x01, 0x00, 0x00, 0x00, 0x08, 0x09, 0x00, 0x09})}) {
        SCOPED_TRACE(HexBytes(frame));
        EXPECT_EQ(plant_.Decode(frame.data(), frame.size()).verdict, Verdict::kNoSelection);
        EXPECT_TRUE(plant_.Handle(frame).bytes.empty());
    }
    EXPECT_EQ(Regs(5)[1], 0);
    EXPECT_EQ(Regs(7)[1], 0);
}

TEST(StationNumbers, OnlyTwoDigitStationsExist) {
    Plant plant;
    EXPECT_TRUE(plant.AddStation(0));
    EXPECT_TRUE(plant.AddStation(99));
    EXPECT_FALSE(plant.AddStation(100));
    EXPECT_FALSE(plant.AddStation(-1));
    EXPECT_EQ(plant.Stations(), (std::vector<int>{0, 99}));
    EXPECT_EQ(plant.Registers(99).size(), kRegisterCount);
}

// Pushes bytes one by one; returns every frame completed on the way.
std::vector<Bytes> Feed(Framer& framer, const Bytes& bytes) {
    std::vector<Bytes> frames;
    for (std::uint8_t byte : bytes) {
        if (framer.Push(byte)) {
            frames.push_back(framer.frame());
        }
    }
    return frames;
}

TEST(FramerTest, CutsSixByteRequestsAndWholeBlockWrites) {
    Framer framer;
    Bytes select = Header(kOpSelect, 5, 0, 0, 0);
    Bytes block = B({0x07, 0x09, 0x00, 0x02, 0x00, 0x12, 0x02, 0x01, 0x04, 0x03, 0xFF, 0x00, 0x05});
    Bytes input = select;
    input.insert(input.end(), block.begin(), block.end());
    input.insert(input.end(), select.begin(), select.end());
    std::vector<Bytes> frames = Feed(framer, input);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], select);
    EXPECT_EQ(frames[1], block);
    EXPECT_EQ(frames[2], select);
    EXPECT_FALSE(framer.Pending());
}

TEST(FramerTest, AGapDropsAPartialFrame) {
    Framer framer;
    EXPECT_TRUE(Feed(framer, B({0x07, 0x09, 0x00, 0x02, 0x00, 0x12, 0x02})).empty());
    EXPECT_TRUE(framer.Pending());
    EXPECT_EQ(framer.Gap(), B({0x07, 0x09, 0x00, 0x02, 0x00, 0x12, 0x02}));
    EXPECT_FALSE(framer.Pending());
    Bytes read = Header(kOpReadWord, 1, 0, 0, 0);
    EXPECT_EQ(Feed(framer, read), std::vector<Bytes>{read});
}

TEST(FramerTest, ABadHeaderIsPassedOnAndItsTailSkippedUntilTheGap) {
    // A block write whose header checksum is wrong: its count cannot be
    // trusted, so its data bytes must not be taken for requests, even those
    // that look like one.
    Bytes bad = B({0x07, 0x09, 0x00, 0x02, 0x00, 0x13});
    Bytes tail = Header(kOpSelect, 5, 0, 0, 0);
    Bytes input = bad;
    input.insert(input.end(), tail.begin(), tail.end());
    Framer framer;
    std::vector<Bytes> frames = Feed(framer, input);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], bad);
    EXPECT_TRUE(framer.Pending());
    EXPECT_EQ(framer.Gap(), tail);
    EXPECT_EQ(Feed(framer, tail), std::vector<Bytes>{tail});

    // The same after an unknown op code with a good checksum.
    Bytes unknown = Header(0x0B, 0, 0, 0, 0);
    frames = Feed(framer, unknown);
    EXPECT_EQ(frames, std::vector<Bytes>{unknown});
    EXPECT_TRUE(Feed(framer, tail).empty());
    EXPECT_EQ(framer.Gap(), tail);
    EXPECT_EQ(Feed(framer, tail), std::vector<Bytes>{tail});
}

TEST(FramerTest, GarbageNeverStopsTheStations) {
    // Whatever arrives, the next whole request after a gap is answered.
    Plant plant;
    plant.AddStation(5);
    Framer framer;
    std::uint32_t seed = 12345;
    for (int burst = 0; burst < 2000; ++burst) {
        Bytes garbage(1 + burst % 300);
        for (std::uint8_t& byte : garbage) {
            seed = seed * 1103515245u + 12345u;
            byte = static_cast<std::uint8_t>(seed >> 16);
        }
        for (const Bytes& frame : Feed(framer, garbage)) {
            plant.Handle(frame);
        }
        framer.Gap();
    }
    std::vector<Bytes> frames = Feed(framer, Header(kOpSelect, 5, 0, 0, 0));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(plant.Handle(frames[0]).bytes, Header(kOpSelect, 5, 0, 0, 0));
}

TEST(FrameHelpers, ChecksumWrapsAndHexIsSpaced) {
    Bytes header = B({0xFF, 0xFF, 0x00, 0x00, 0x00});
    EXPECT_EQ(HeaderSum(header.data()), 0xFE);
    EXPECT_EQ(HexBytes(B({0x0A, 0x05, 0xFF})), "0A 05 FF");
    EXPECT_EQ(HexBytes(Bytes()), "-");
}

}  // namespace
}  // namespace westnet::sim
