#include "text.h"

#include <cstdio>

namespace westnet::sim {
namespace {

std::string Show(const std::string& text, const char* quote) {
    std::string shown = quote;
    std::size_t i = 0;
    for (; i < text.size() && i < kShownMax; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
    }
    if (i < text.size()) {
        shown += "...";
    }
    shown += quote;
    if (i < text.size()) {
        shown += " (" + std::to_string(text.size()) + " characters)";
    }
    return shown;
}

}  // namespace

std::string Shown(const std::string& text) {
    return Show(text, "");
}

std::string Quoted(const std::string& text) {
    return Show(text, "'");
}

}  // namespace westnet::sim
