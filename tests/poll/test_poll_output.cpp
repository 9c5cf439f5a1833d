// The three output formats: what a program reading CSV or JSON gets, and how
// the table lines up.
#include <gtest/gtest.h>

#include <string>

#include "output.h"

namespace westnet::poll {
namespace {

const std::vector<Column> kColumns = {{"address"}, {"value"}, {"result"}};

std::vector<std::vector<Cell>> SampleRows() {
    return {
        {Cell::Of(std::string("0140001")), Cell::Word(1234, false), Cell::Of(std::string("ok"))},
        {Cell::Of(std::string("0100001 3")), Cell::None(),
         Cell::Of(std::string("line failure (2)"))},
    };
}

TEST(PollOutput, Csv) {
    EXPECT_EQ(RenderRows(Format::Csv, kColumns, SampleRows()),
              "address,value,result\n"
              "0140001,1234,ok\n"
              "0100001 3,,line failure (2)\n");
    EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvField("two\r\nlines"), "\"two\r\nlines\"");
    EXPECT_EQ(CsvField("plain"), "plain");
}

TEST(PollOutput, Json) {
    EXPECT_EQ(RenderRows(Format::Json, kColumns, SampleRows()),
              "[\n"
              "  {\"address\": \"0140001\", \"value\": 1234, \"result\": \"ok\"},\n"
              "  {\"address\": \"0100001 3\", \"value\": null, \"result\": \"line failure (2)\"}\n"
              "]\n");
    EXPECT_EQ(RenderRows(Format::Json, kColumns, {}), "[]\n");
    EXPECT_EQ(JsonString("a\"b\\c\r\n\t\x01"), "\"a\\\"b\\\\c\\r\\n\\t\\u0001\"");
}

TEST(PollOutput, HexValuesAreTextInEveryFormat) {
    const Cell hex = Cell::Word(0x00FF, true);
    EXPECT_EQ(hex.text, "0x00FF");
    EXPECT_EQ(hex.kind, Cell::Kind::Text);
    EXPECT_EQ(Cell::Word(0xABCD, true).text, "0xABCD");
    EXPECT_EQ(Cell::Word(65535, false).text, "65535");
}

// One row through each view and format: what a program reading it gets.
TEST(PollOutput, ValueViewsKeepJsonNumeric) {
    const std::uint16_t word = 0xFFFE;
    struct Case {
        Format format;
        ValueView view;
        const char* rendered;
    } cases[] = {
        {Format::Csv, {}, "value\n65534\n"},
        {Format::Csv, {false, false, true}, "value\n-2\n"},
        {Format::Csv, {true, false, true}, "value\n0xFFFE\n"},
        {Format::Csv, {false, true, false}, "value\n0b1111111111111110\n"},
        {Format::Json, {true, false, true}, "[\n  {\"value\": -2, \"hex\": \"0xFFFE\"}\n]\n"},
        {Format::Json,
         {false, true, false},
         "[\n  {\"value\": 65534, \"binary\": \"0b1111111111111110\"}\n]\n"},
    };
    for (const Case& c : cases) {
        std::vector<Cell> row;
        AddValueCells(row, &word, c.format, c.view);
        EXPECT_EQ(RenderRows(c.format, ValueColumns(c.format, c.view), {row}), c.rendered);
    }
    std::vector<Cell> failed;
    AddValueCells(failed, nullptr, Format::Json, {true, false, false});
    EXPECT_EQ(RenderRows(Format::Json, ValueColumns(Format::Json, {true, false, false}), {failed}),
              "[\n  {\"value\": null, \"hex\": null}\n]\n");
}

TEST(PollOutput, TimestampsAreIso8601UtcWithMilliseconds) {
    EXPECT_EQ(Iso8601Utc(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(Iso8601Utc(1709251199999), "2024-02-29T23:59:59.999Z");
    EXPECT_EQ(Iso8601Utc(1709251200007), "2024-03-01T00:00:00.007Z");
}

TEST(PollOutput, TableColumnsLineUp) {
    const std::string table = RenderRows(Format::Table, kColumns, SampleRows());
    EXPECT_EQ(table,
              "ADDRESS    VALUE  RESULT\n"
              "0140001     1234  ok\n"
              "0100001 3  -      line failure (2)\n");
}

TEST(PollOutput, StreamedRowsKeepTheirWidths) {
    Printer printer(Format::Table, {{"round", 5}, {"value", 6}});
    EXPECT_EQ(printer.Begin(), "ROUND  VALUE\n");
    EXPECT_EQ(printer.Row({Cell::Of(std::int64_t{1}), Cell::Of(std::int64_t{42})}),
              "    1      42\n");
    EXPECT_EQ(printer.End(), "");
}

TEST(PollOutput, JsonLinesForEndlessStreams) {
    Printer printer(Format::Json, {{"round"}, {"value"}}, true);
    EXPECT_EQ(printer.Begin(), "");
    EXPECT_EQ(printer.Row({Cell::Of(std::int64_t{1}), Cell::None()}),
              "{\"round\": 1, \"value\": null}\n");
    EXPECT_EQ(printer.Row({Cell::Of(std::int64_t{2}), Cell::Word(7, true)}),
              "{\"round\": 2, \"value\": \"0x0007\"}\n");
    EXPECT_EQ(printer.End(), "");
}

TEST(PollOutput, Record) {
    const std::vector<std::pair<std::string, Cell>> fields = {
        {"name", Cell::Of(std::string("WestNet"))}, {"baud", Cell::Of(std::int64_t{9600})}};
    EXPECT_EQ(RenderRecord(Format::Table, fields), "name  WestNet\nbaud  9600\n");
    EXPECT_EQ(RenderRecord(Format::Csv, fields), "name,baud\nWestNet,9600\n");
    EXPECT_EQ(RenderRecord(Format::Json, fields),
              "{\n  \"name\": \"WestNet\",\n  \"baud\": 9600\n}\n");
}

TEST(PollOutput, BannerBytesBecomeBoxDrawing) {
    EXPECT_EQ(Cp437ToUtf8("\r\n \xC4\xC4 A"), "\r\n \u2500\u2500 A");
    EXPECT_EQ(Cp437ToUtf8("\x80\xFF"), "\u00C7\u00A0");
    EXPECT_EQ(Cp437ToUtf8("\xB3\xDB"), "\u2502\u2588");
}

}  // namespace
}  // namespace westnet::poll
