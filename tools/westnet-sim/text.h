// Text from files and command lines, made safe to show in a message.
#pragma once

#include <cstddef>
#include <string>

namespace westnet::sim {

// Longest piece of a user's text that a message repeats.
constexpr std::size_t kShownMax = 40;

// `text` with every byte outside printable ASCII written as \xNN and anything
// past kShownMax characters cut to "..." followed by the whole length, so
// that a message never carries raw binary or a number 100 kB long.
std::string Shown(const std::string& text);
// The same in single quotes: 'text'.
std::string Quoted(const std::string& text);

}  // namespace westnet::sim
