// Register image files: what a good file loads, where a bad one is refused,
// and that a dump loads back to the same plant.
#include <gtest/gtest.h>

#include "image.h"

namespace westnet::sim {
namespace {

TEST(ImageTest, LoadsWordsListsHexAndComments) {
    const char* text =
        "# plant\n"
        "\n"
        "0140001 = 1234\n"
        "  0540010=1, 2 ,0x0003   # three registers\n"
        "0500001 = 0xFFFF\r\n"
        "0565535 = 7, 8\n"  // runs on into the last register, then wraps
        "0565535 = 9\n";    // a later line wins
    Plant plant;
    ImageError error;
    ASSERT_TRUE(LoadImageText(text, "t.img", plant, error)) << error.Message();
    EXPECT_EQ(plant.Stations(), (std::vector<int>{1, 5}));
    EXPECT_EQ(plant.Registers(1)[40000], 1234);
    EXPECT_EQ(plant.Registers(5)[40009], 1);
    EXPECT_EQ(plant.Registers(5)[40010], 2);
    EXPECT_EQ(plant.Registers(5)[40011], 3);
    EXPECT_EQ(plant.Registers(5)[40012], 0);
    EXPECT_EQ(plant.Registers(5)[0], 0xFFFF);
    EXPECT_EQ(plant.Registers(5)[65534], 9);
    EXPECT_EQ(plant.Registers(5)[65535], 8);
}

// Typed values land as the gateway reads them back: the same conversions.
TEST(ImageTest, TypedValuesFillTheirTypesWords) {
    const char* text =
        "0140001 = f32:73.25, i16:-5\n"   // 40001-40002, 40003
        "0140010 = i32:-5, u32h:70000\n"  // low word first, then high word first
        "0140020 = bcd:1234, f32h:-5, 7\n";
    Plant plant;
    ImageError error;
    ASSERT_TRUE(LoadImageText(text, "t.img", plant, error)) << error.Message();
    const std::vector<std::uint16_t>& r = plant.Registers(1);
    EXPECT_EQ(std::vector<std::uint16_t>(r.begin() + 40000, r.begin() + 40003),
              (std::vector<std::uint16_t>{0x8000, 0x4292, 0xFFFB}));
    EXPECT_EQ(std::vector<std::uint16_t>(r.begin() + 40009, r.begin() + 40013),
              (std::vector<std::uint16_t>{0xFFFB, 0xFFFF, 0x0001, 0x1170}));
    EXPECT_EQ(std::vector<std::uint16_t>(r.begin() + 40019, r.begin() + 40023),
              (std::vector<std::uint16_t>{0x1234, 0xC0A0, 0x0000, 7}));
    struct Case {
        const char* line;
        const char* what;
    } cases[] = {
        {"0140001 = f64:1", "bad value 'f64:1': a typed value is"},
        {"0140001 = i16:40000", "value i16:40000: out-of-range: this int16 point takes -32768"},
        {"0140001 = bcd:12.5", "value bcd:12.5: not a whole number"},
        {"0140001 = f32:", "bad value 'f32:': expected a number"},
        {"0140001 = f32:1e39", "value f32:1e39: out-of-range"},
        {"0140001 = f32:nan", "value f32:nan: out-of-range"},
        {"0140001 = u32:1x", "bad value 'u32:1x': expected a number"},
    };
    for (const Case& c : cases) {
        Plant refused;
        ASSERT_FALSE(LoadImageText(std::string(c.line) + "\n", "t.img", refused, error)) << c.line;
        const std::string prefix = std::string("t.img:1: ") + c.what;
        EXPECT_EQ(error.Message().substr(0, prefix.size()), prefix) << error.Message();
    }
}

TEST(ImageTest, AStationNamedWithZeroesExists) {
    Plant plant;
    ImageError error;
    ASSERT_TRUE(LoadImageText("0900001 = 0\n", "t.img", plant, error));
    EXPECT_TRUE(plant.Has(9));
}

TEST(ImageTest, ErrorsNameTheFileAndLine) {
    struct Case {
        const char* line;
        const char* what;  // start of the message after "bad.img:3: "
    } cases[] = {
        {"140001 = 1", "bad address '140001'"},
        {"01400012 = 1", "bad address '01400012'"},
        {"01a0001 = 1", "bad address '01a0001'"},
        {"0100000 = 1", "register 00000 out of range"},
        {"0165536 = 1", "register 65536 out of range"},
        {"0199999 = 1", "register 99999 out of range"},
        {"0140001 = 65536", "value 65536 out of range"},
        {"0140001 = 0x10000", "value 0x10000 out of range"},
        {"0140001 = 99999999999999999999", "value 99999999999999999999 out of range"},
        {"0140001 = -1", "bad value '-1'"},
        {"0140001 = 12abc", "bad value '12abc'"},
        {"0140001 = 0x", "bad value '0x'"},
        {"0140001 = 1 2", "bad value '1 2'"},
        {"0140001 =", "missing value"},
        {"0140001 = 1,", "missing value"},
        {"0140001 = 1,,2", "missing value"},
        {"0140001 1234", "expected 'ADDRESS = VALUE"},
        {"junk", "expected 'ADDRESS = VALUE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string text = std::string("# header\n0140001 = 5\n") + c.line + "\n0140002 = 6\n";
        Plant plant;
        ImageError error;
        ASSERT_FALSE(LoadImageText(text, "bad.img", plant, error));
        EXPECT_EQ(error.line, 3);
        std::string prefix = std::string("bad.img:3: ") + c.what;
        EXPECT_EQ(error.Message().substr(0, prefix.size()), prefix) << error.Message();
        // Nothing of a refused image is applied, not even its good lines.
        EXPECT_TRUE(plant.Stations().empty());
    }
}

TEST(ImageTest, FilesThatAreNoImageAreReportedWithoutALine) {
    struct Case {
        const char* path;
        const char* message;  // start of it
    } cases[] = {
        {"/nonexistent/plant.img", "/nonexistent/plant.img: cannot read"},
        {"/tmp", "/tmp: is a directory"},
    };
    for (const Case& c : cases) {
        Plant plant;
        ImageError error;
        ASSERT_FALSE(LoadImageFile(c.path, plant, error));
        EXPECT_EQ(error.Message().rfind(c.message, 0), 0u) << error.Message();
    }
}

// What a user sees of a file saved by a Windows editor, or of binary or
// runaway input: the byte-order mark is no character of the image, and
// nothing from the file reaches the message raw or at full length.
TEST(ImageTest, ByteOrderMarkIsSkippedAndMessagesShowTextSafely) {
    Plant plant;
    ImageError error;
    ASSERT_TRUE(
        LoadImageText("\xEF\xBB\xBF"
                      "0140001 = 7\n",
                      "bom.img", plant, error))
        << error.Message();
    EXPECT_EQ(plant.Registers(1)[40000], 7);

    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {"\xEF\xBB\xBF"
         "01\x01\xFF"
         "0001 = 1\n",
         "t.img:1: bad address '01\\x01\\xFF0001': expected 7 digits"},
        {"0140001 = " + std::string(100000, '9') + "\n",
         "t.img:1: value " + std::string(40, '9') + "... (100000 characters) out of range"},
        {"0140001 = 1\n" + std::string(kImageLineMax + 1, '\0'),
         "t.img:2: line longer than 1048576 characters"},
    };
    for (const Case& c : cases) {
        Plant refused;
        ASSERT_FALSE(LoadImageText(c.text, "t.img", refused, error));
        EXPECT_EQ(error.Message().substr(0, c.message.size()), c.message);
        EXPECT_LT(error.Message().size(), 200u);
    }
}

TEST(ImageTest, DumpLoadsBackToTheSamePlant) {
    Plant plant;
    plant.AddStation(1);
    plant.AddStation(3);  // all zero
    plant.AddStation(42);
    std::vector<std::uint16_t>& regs = plant.Registers(1);
    regs[0] = 1;
    for (std::size_t r = 100; r < 120; ++r) {  // a run longer than one line
        regs[r] = static_cast<std::uint16_t>(r * 3);
    }
    regs[65535] = 0xBEEF;  // the register the notation cannot name alone
    plant.Registers(42)[65534] = 5;
    plant.Registers(42)[65535] = 6;

    std::string dump = DumpImage(plant);
    EXPECT_NE(dump.find("0300001 = 0\n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("0165535 = 0, 48879\n"), std::string::npos) << dump;

    Plant again;
    ImageError error;
    ASSERT_TRUE(LoadImageText(dump, "dump", again, error)) << error.Message() << "\n" << dump;
    EXPECT_EQ(again.Stations(), plant.Stations());
    for (int station : plant.Stations()) {
        SCOPED_TRACE(station);
        EXPECT_TRUE(again.Registers(station) == plant.Registers(station));
    }
}

TEST(ImageTest, TheShippedExampleLoads) {
    Plant plant;
    ImageError error;
    ASSERT_TRUE(LoadImageFile(WESTNET_SOURCE_DIR "/examples/plant.img", plant, error))
        << error.Message();
    EXPECT_EQ(plant.Stations(), (std::vector<int>{1, 2, 5}));
    for (std::size_t i = 0; i < 64; ++i) {
        ASSERT_EQ(plant.Registers(2)[40000 + i], i + 1);
    }
    EXPECT_EQ(plant.Registers(5)[40000], 0x5678);
}

}  // namespace
}  // namespace westnet::sim
