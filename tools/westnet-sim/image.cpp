#include "image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace westnet::sim {
namespace {

constexpr unsigned kRegisterMax = 65535;  // highest one-based register of the notation
constexpr std::size_t kValuesPerLine = 8;

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n\v\f";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return "";
    }
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool AllDigits(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

struct Entry {
    int station = 0;
    std::size_t reg = 0;  // zero-based
    std::vector<std::uint16_t> values;
};

// Parses "SSRRRRR" into a station and a zero-based register.
bool ParseAddress(const std::string& text, Entry& entry, std::string& what) {
    if (text.size() != 7 || !AllDigits(text)) {
        what = "bad address '" + text +
               "': expected 7 digits, 2 for the station and 5 for the register (e.g. 0140001)";
        return false;
    }
    entry.station = std::stoi(text.substr(0, 2));
    unsigned reg = static_cast<unsigned>(std::stoul(text.substr(2)));
    if (reg == 0 || reg > kRegisterMax) {
        what = "register " + text.substr(2) + " out of range: registers are 00001 to 65535";
        return false;
    }
    entry.reg = reg - 1;
    return true;
}

bool ParseValue(const std::string& text, std::uint16_t& value, std::string& what) {
    if (text.empty()) {
        what = "missing value";
        return false;
    }
    unsigned long number = 0;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::size_t start = hex ? 2 : 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            what = "bad value '" + text + "': expected a decimal or 0x hex number";
            return false;
        }
        number = number * (hex ? 16 : 10) + digit;
        if (number > 0xFFFFFFul) {
            number = 0xFFFFFFul;  // far out of range already; keep it from overflowing
        }
    }
    if (number > 0xFFFFul) {
        what = "value " + text + " out of range: values are 0 to 65535";
        return false;
    }
    value = static_cast<std::uint16_t>(number);
    return true;
}

bool ParseLine(const std::string& raw, Entry& entry, std::string& what) {
    std::size_t equals = raw.find('=');
    if (equals == std::string::npos) {
        what = "expected 'ADDRESS = VALUE[, VALUE ...]', found '" + raw + "'";
        return false;
    }
    if (!ParseAddress(Trim(raw.substr(0, equals)), entry, what)) {
        return false;
    }
    std::string list = raw.substr(equals + 1);
    std::size_t from = 0;
    while (true) {
        std::size_t comma = list.find(',', from);
        std::string item =
            Trim(list.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
        std::uint16_t value = 0;
        if (!ParseValue(item, value, what)) {
            return false;
        }
        if (entry.values.size() == kRegisterCount) {
            what = "more than 65536 values in one list";
            return false;
        }
        entry.values.push_back(value);
        if (comma == std::string::npos) {
            return true;
        }
        from = comma + 1;
    }
}

}  // namespace

std::string ImageError::Message() const {
    if (line == 0) {
        return file + ": " + what;
    }
    return file + ":" + std::to_string(line) + ": " + what;
}

bool LoadImageText(const std::string& text, const std::string& name, Plant& plant,
                   ImageError& error) {
    std::vector<Entry> entries;
    std::istringstream lines(text);
    std::string raw;
    int number = 0;
    while (std::getline(lines, raw)) {
        ++number;
        std::size_t hash = raw.find('#');
        if (hash != std::string::npos) {
            raw.erase(hash);
        }
        raw = Trim(raw);
        if (raw.empty()) {
            continue;
        }
        Entry entry;
        std::string what;
        if (!ParseLine(raw, entry, what)) {
            error = ImageError{name, number, what};
            return false;
        }
        entries.push_back(std::move(entry));
    }
    for (const Entry& entry : entries) {
        plant.AddStation(entry.station);
        std::vector<std::uint16_t>& regs = plant.Registers(entry.station);
        for (std::size_t i = 0; i < entry.values.size(); ++i) {
            regs[(entry.reg + i) % kRegisterCount] = entry.values[i];
        }
    }
    return true;
}

bool LoadImageFile(const std::string& path, Plant& plant, ImageError& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = ImageError{path, 0, std::string("cannot read: ") + std::strerror(errno)};
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = ImageError{path, 0, "read error"};
        return false;
    }
    return LoadImageText(text.str(), path, plant, error);
}

std::string DumpImage(const Plant& plant) {
    std::string out = "# westnet-sim register image: non-zero registers only\n";
    char address[16];
    for (int station : plant.Stations()) {
        const std::vector<std::uint16_t>& regs = plant.Registers(station);
        out += "\n# station " + std::to_string(station) + "\n";
        bool any = false;
        std::size_t i = 0;
        while (i < kRegisterCount) {
            if (regs[i] == 0) {
                ++i;
                continue;
            }
            any = true;
            // The notation cannot name the last register (one-based 65536), so
            // a run that starts there begins one register earlier with its zero.
            std::size_t start = i == kRegisterCount - 1 ? i - 1 : i;
            std::size_t end = i;
            while (end < kRegisterCount && regs[end] != 0 && end - start < kValuesPerLine) {
                ++end;
            }
            std::snprintf(address, sizeof address, "%02d%05zu", station, start + 1);
            out += address;
            out += " =";
            for (std::size_t r = start; r < end; ++r) {
                out += (r == start ? " " : ", ") + std::to_string(regs[r]);
            }
            out += "\n";
            i = end;
        }
        if (!any) {
            std::snprintf(address, sizeof address, "%02d00001 = 0\n", station);
            out += address;
        }
    }
    return out;
}

}  // namespace westnet::sim
