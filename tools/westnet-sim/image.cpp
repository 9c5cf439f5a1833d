#include "image.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "text.h"
#include "typed_value.h"

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
        what = "bad address " + Quoted(text) +
               ": expected 7 digits, 2 for the station and 5 for the register (e.g. 0140001)";
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
            what = "bad value " + Quoted(text) + ": expected a decimal or 0x hex number";
            return false;
        }
        number = number * (hex ? 16 : 10) + digit;
        if (number > 0xFFFFFFul) {
            number = 0xFFFFFFul;  // far out of range already; keep it from overflowing
        }
    }
    if (number > 0xFFFFul) {
        what = "value " + Shown(text) + " out of range: values are 0 to 65535";
        return false;
    }
    value = static_cast<std::uint16_t>(number);
    return true;
}

// "f32:73.25", "i32:-5", "bcd:1234", "u32h:70000" (the h: high word first):
// a value as the plant means it, in its type's words. False with `what` set
// when the item has a type prefix that does not parse; `typed` tells whether
// it had one at all.
bool ParseTypedValue(const std::string& text, std::vector<std::uint16_t>& words, bool& typed,
                     std::string& what) {
    struct Prefix {
        const char* name;
        values::Type type;
    };
    static const Prefix kPrefixes[] = {
        {"u16", values::Type::UInt16},  {"i16", values::Type::Int16},
        {"u32", values::Type::UInt32},  {"i32", values::Type::Int32},
        {"f32", values::Type::Float32}, {"bcd", values::Type::Bcd16},
    };
    const std::size_t colon = text.find(':');
    typed = colon != std::string::npos;
    if (!typed) {
        return true;
    }
    std::string prefix = text.substr(0, colon);
    values::Format format;
    if (prefix.size() == 4 && prefix[3] == 'h' && prefix[1] == '3') {
        format.order = values::WordOrder::HighFirst;
        prefix.pop_back();
    }
    bool known = false;
    for (const Prefix& p : kPrefixes) {
        if (prefix == p.name) {
            format.type = p.type;
            known = true;
        }
    }
    if (!known) {
        what = "bad value " + Quoted(text) +
               ": a typed value is u16:, i16:, u32:, i32:, f32: or bcd: and a number (u32h:, "
               "i32h:, f32h: for the high word first)";
        return false;
    }
    const std::string number = text.substr(colon + 1);
    char* end = nullptr;
    const double value = number.empty() ? 0.0 : std::strtod(number.c_str(), &end);
    if (number.empty() || end == nullptr || *end != '\0' || number[0] == ' ') {
        what = "bad value " + Quoted(text) + ": expected a number after the type";
        return false;
    }
    std::uint16_t out[2] = {};
    std::string why;
    if (!values::Encode(format, value, out, why)) {
        what = "value " + Shown(text) + ": " + why;
        return false;
    }
    words.assign(out, out + format.Width());
    return true;
}

bool ParseLine(const std::string& raw, Entry& entry, std::string& what) {
    std::size_t equals = raw.find('=');
    if (equals == std::string::npos) {
        what = "expected 'ADDRESS = VALUE[, VALUE ...]', found " + Quoted(raw);
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
        std::vector<std::uint16_t> words;
        bool typed = false;
        if (!ParseTypedValue(item, words, typed, what)) {
            return false;
        }
        if (!typed) {
            std::uint16_t value = 0;
            if (!ParseValue(item, value, what)) {
                return false;
            }
            words.push_back(value);
        }
        if (entry.values.size() + words.size() > kRegisterCount) {
            what = "more than 65536 values in one list";
            return false;
        }
        entry.values.insert(entry.values.end(), words.begin(), words.end());
        if (comma == std::string::npos) {
            return true;
        }
        from = comma + 1;
    }
}

// Takes a file piece by piece and parses it line by line, holding no more
// than one line of text at a time.
class ImageReader {
public:
    explicit ImageReader(std::string name) : name_(std::move(name)) {}

    bool Take(const char* bytes, std::size_t length, ImageError& error) {
        total_ += length;
        if (total_ > kImageFileMax) {
            error = ImageError{
                name_, 0,
                "larger than " + std::to_string(kImageFileMax >> 20) + " MB: not an image file?"};
            return false;
        }
        for (std::size_t i = 0; i < length; ++i) {
            if (bytes[i] == '\n') {
                if (!Line(error)) {
                    return false;
                }
                continue;
            }
            if (line_.size() == kImageLineMax) {
                error = ImageError{name_, number_ + 1,
                                   "line longer than " + std::to_string(kImageLineMax) +
                                       " characters: not an image file?"};
                return false;
            }
            line_ += bytes[i];
        }
        return true;
    }

    // The end of the file: the last line, then everything into the plant.
    bool Finish(Plant& plant, ImageError& error) {
        if (!line_.empty() && !Line(error)) {
            return false;
        }
        for (const Entry& entry : entries_) {
            plant.AddStation(entry.station);
            std::vector<std::uint16_t>& regs = plant.Registers(entry.station);
            for (std::size_t i = 0; i < entry.values.size(); ++i) {
                regs[(entry.reg + i) % kRegisterCount] = entry.values[i];
            }
        }
        return true;
    }

private:
    bool Line(ImageError& error) {
        ++number_;
        std::string raw;
        raw.swap(line_);
        static const char kByteOrderMark[] = "\xEF\xBB\xBF";
        if (number_ == 1 && raw.compare(0, 3, kByteOrderMark) == 0) {
            raw.erase(0, 3);
        }
        std::size_t hash = raw.find('#');
        if (hash != std::string::npos) {
            raw.erase(hash);
        }
        raw = Trim(raw);
        if (raw.empty()) {
            return true;
        }
        Entry entry;
        std::string what;
        if (!ParseLine(raw, entry, what)) {
            error = ImageError{name_, number_, what};
            return false;
        }
        entries_.push_back(std::move(entry));
        return true;
    }

    std::string name_;
    std::string line_;
    std::size_t total_ = 0;
    int number_ = 0;
    std::vector<Entry> entries_;
};

}  // namespace

bool ParseImageAddress(const std::string& text, int& station, std::size_t& reg, std::string& what) {
    Entry entry;
    if (!ParseAddress(text, entry, what)) {
        return false;
    }
    station = entry.station;
    reg = entry.reg;
    return true;
}

std::string ImageError::Message() const {
    if (line == 0) {
        return file + ": " + what;
    }
    return file + ":" + std::to_string(line) + ": " + what;
}

bool LoadImageText(const std::string& text, const std::string& name, Plant& plant,
                   ImageError& error) {
    ImageReader reader(name);
    return reader.Take(text.data(), text.size(), error) && reader.Finish(plant, error);
}

bool LoadImageFile(const std::string& path, Plant& plant, ImageError& error) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFDIR) {
        error = ImageError{path, 0, "is a directory, not an image file"};
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        error = ImageError{path, 0, std::string("cannot read: ") + std::strerror(errno)};
        return false;
    }
    ImageReader reader(path);
    char chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        if (!reader.Take(chunk, got, error)) {
            return false;
        }
    }
    if (std::ferror(file.get())) {
        error = ImageError{path, 0, std::string("read error: ") + std::strerror(errno)};
        return false;
    }
    return reader.Finish(plant, error);
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
