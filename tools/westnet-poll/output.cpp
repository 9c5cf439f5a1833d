#include "output.h"
#include "iso_time.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace westnet::poll {
namespace {

// Upper half of code page 437, as Unicode code points.
constexpr std::uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Display width of UTF-8 text: one column per character.
std::size_t Width(const std::string& text) {
    std::size_t n = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++n;
        }
    }
    return n;
}

std::string Pad(const std::string& text, std::size_t width, bool right) {
    const std::size_t w = Width(text);
    if (w >= width) {
        return text;
    }
    const std::string fill(width - w, ' ');
    return right ? fill + text : text + fill;
}

std::string JsonValue(const Cell& cell) {
    switch (cell.kind) {
        case Cell::Kind::Number:
            return cell.text;
        case Cell::Kind::Null:
            return "null";
        case Cell::Kind::Text:
            break;
    }
    return JsonString(cell.text);
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

}  // namespace

Cell Cell::Of(std::string text) {
    Cell cell;
    cell.kind = Kind::Text;
    cell.text = std::move(text);
    return cell;
}

Cell Cell::Of(std::int64_t number) {
    Cell cell;
    cell.kind = Kind::Number;
    cell.text = std::to_string(number);
    return cell;
}

Cell Cell::None() {
    return Cell{};
}

Cell Cell::Word(std::uint16_t value, bool hex) {
    if (!hex) {
        return Of(static_cast<std::int64_t>(value));
    }
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return Of(std::string(text));
}

Cell Cell::Milliseconds(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", ms);
    Cell cell = Of(std::string(text));
    cell.kind = Kind::Number;
    return cell;
}

std::vector<Column> ValueColumns(Format format, const ValueView& view, std::size_t width) {
    std::vector<Column> columns = {{"value", width}};
    if (format == Format::Json && view.hex) {
        columns.push_back({"hex"});
    }
    if (format == Format::Json && view.binary) {
        columns.push_back({"binary"});
    }
    return columns;
}

void AddValueCells(std::vector<Cell>& row, const std::uint16_t* value, Format format,
                   const ValueView& view) {
    const std::size_t cells = ValueColumns(format, view).size();
    if (value == nullptr) {
        row.insert(row.end(), cells, Cell::None());
        return;
    }
    const std::uint16_t word = *value;
    const Cell number =
        Cell::Of(view.isSigned ? static_cast<std::int64_t>(static_cast<std::int16_t>(word))
                               : static_cast<std::int64_t>(word));
    std::string bits = "0b";
    for (int bit = 15; bit >= 0; --bit) {
        bits += ((word >> bit) & 1U) != 0 ? '1' : '0';
    }
    if (format == Format::Json) {
        row.push_back(number);
        if (view.hex) {
            row.push_back(Cell::Word(word, true));
        }
        if (view.binary) {
            row.push_back(Cell::Of(bits));
        }
    } else if (view.hex) {
        row.push_back(Cell::Word(word, true));
    } else if (view.binary) {
        row.push_back(Cell::Of(bits));
    } else {
        row.push_back(number);
    }
}

std::string Iso8601Utc(std::int64_t unixMilliseconds) {
    return host::IsoTimeUtc(unixMilliseconds);
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", byte);
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

std::string Cp437ToUtf8(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            AppendUtf8(out, kCp437High[byte - 0x80]);
        }
    }
    return out;
}

Printer::Printer(Format format, std::vector<Column> columns, bool jsonLines)
    : format_(format), columns_(std::move(columns)), jsonLines_(jsonLines) {
    for (Column& column : columns_) {
        column.width = std::max(column.width, Width(column.name));
    }
}

std::string Printer::Begin() {
    switch (format_) {
        case Format::Json:
            return jsonLines_ ? "" : "[";
        case Format::Csv: {
            std::string line;
            for (std::size_t i = 0; i < columns_.size(); ++i) {
                line += (i == 0 ? "" : ",") + CsvField(columns_[i].name);
            }
            return line + "\n";
        }
        case Format::Table:
            break;
    }
    std::string line;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        const bool last = i + 1 == columns_.size();
        line += last ? Upper(columns_[i].name)
                     : Pad(Upper(columns_[i].name), columns_[i].width, false) + "  ";
    }
    return line + "\n";
}

std::string Printer::Row(const std::vector<Cell>& cells) {
    std::string line;
    switch (format_) {
        case Format::Json:
            line = jsonLines_ ? "{" : (first_ ? "\n  {" : ",\n  {");
            for (std::size_t i = 0; i < columns_.size() && i < cells.size(); ++i) {
                line += (i == 0 ? "" : ", ") + JsonString(columns_[i].name) + ": " +
                        JsonValue(cells[i]);
            }
            first_ = false;
            return line + (jsonLines_ ? "}\n" : "}");
        case Format::Csv:
            for (std::size_t i = 0; i < cells.size(); ++i) {
                line += (i == 0 ? "" : ",") + CsvField(cells[i].text);
            }
            return line + "\n";
        case Format::Table:
            break;
    }
    for (std::size_t i = 0; i < cells.size() && i < columns_.size(); ++i) {
        const bool last = i + 1 == columns_.size();
        const bool right = cells[i].kind == Cell::Kind::Number;
        const std::string text = cells[i].kind == Cell::Kind::Null ? "-" : cells[i].text;
        line += last && !right ? text : Pad(text, columns_[i].width, right);
        if (!last) {
            line += "  ";
        }
    }
    return line + "\n";
}

std::string Printer::End() {
    if (format_ == Format::Json && !jsonLines_) {
        return first_ ? "]\n" : "\n]\n";
    }
    return {};
}

std::string RenderRows(Format format, std::vector<Column> columns,
                       const std::vector<std::vector<Cell>>& rows) {
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size() && i < columns.size(); ++i) {
            const std::size_t w = row[i].kind == Cell::Kind::Null ? 1 : Width(row[i].text);
            columns[i].width = std::max(columns[i].width, w);
        }
    }
    Printer printer(format, std::move(columns));
    std::string out = printer.Begin();
    for (const auto& row : rows) {
        out += printer.Row(row);
    }
    return out + printer.End();
}

std::string RenderRecord(Format format, const std::vector<std::pair<std::string, Cell>>& fields) {
    std::string out;
    switch (format) {
        case Format::Json:
            out = "{";
            for (std::size_t i = 0; i < fields.size(); ++i) {
                out += (i == 0 ? "\n  " : ",\n  ") + JsonString(fields[i].first) + ": " +
                       JsonValue(fields[i].second);
            }
            return out + "\n}\n";
        case Format::Csv: {
            std::string header;
            for (std::size_t i = 0; i < fields.size(); ++i) {
                header += (i == 0 ? "" : ",") + CsvField(fields[i].first);
                out += (i == 0 ? "" : ",") + CsvField(fields[i].second.text);
            }
            return header + "\n" + out + "\n";
        }
        case Format::Table:
            break;
    }
    std::size_t width = 0;
    for (const auto& field : fields) {
        width = std::max(width, Width(field.first));
    }
    for (const auto& field : fields) {
        const std::string text = field.second.kind == Cell::Kind::Null ? "-" : field.second.text;
        out += Pad(field.first, width, false) + "  " + text + "\n";
    }
    return out;
}

}  // namespace westnet::poll
