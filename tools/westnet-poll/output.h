// Rows of results in the three output formats: an aligned table for people,
// CSV and JSON for programs. Rows can be streamed (poll) or rendered at once.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "options.h"

namespace westnet::poll {

struct Cell {
    enum class Kind { Text, Number, Null };
    Kind kind = Kind::Null;
    std::string text;  // the number already formatted for Number

    static Cell Of(std::string text);
    static Cell Of(std::int64_t number);
    static Cell None();
    // A register value: a number, or 0x-prefixed text with --hex.
    static Cell Word(std::uint16_t value, bool hex);
    // A milliseconds figure with one decimal, as a number.
    static Cell Milliseconds(double ms);
};

struct Column {
    std::string name;
    std::size_t width = 0;  // table: the least width; grows with the rendered rows
};

class Printer {
public:
    // `jsonLines`: JSON as one object per line and no enclosing array, for a
    // stream that may never end.
    Printer(Format format, std::vector<Column> columns, bool jsonLines = false);
    std::string Begin();
    std::string Row(const std::vector<Cell>& cells);
    std::string End();

private:
    Format format_;
    std::vector<Column> columns_;
    bool jsonLines_;
    bool first_ = true;
};

// The columns that show a register value: "value" in every format, and in
// JSON, where "value" is always the number, "hex" or "binary" beside it when
// the view asks for one.
std::vector<Column> ValueColumns(Format format, const ValueView& view, std::size_t width = 0);
// The cells of those columns; no value (a failed read) leaves them empty.
void AddValueCells(std::vector<Cell>& row, const std::uint16_t* value, Format format,
                   const ValueView& view);

// A moment as ISO 8601 in UTC with milliseconds: 2024-05-01T12:34:56.789Z.
std::string Iso8601Utc(std::int64_t unixMilliseconds);

// A whole table at once, columns as wide as their widest cell.
std::string RenderRows(Format format, std::vector<Column> columns,
                       const std::vector<std::vector<Cell>>& rows);

// One record of named fields: "name  value" lines, a CSV header and row, or
// a JSON object.
std::string RenderRecord(Format format, const std::vector<std::pair<std::string, Cell>>& fields);

std::string JsonString(const std::string& text);
std::string CsvField(const std::string& text);

// Code page 437 text (the driver's banner) as UTF-8: the box-drawing and
// other upper-half bytes become their characters, CR LF stay as they are.
std::string Cp437ToUtf8(const std::string& text);

}  // namespace westnet::poll
