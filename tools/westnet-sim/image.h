// Register image files of westnet-sim, in the host's address notation:
//
//   # comment
//   0140001 = 1234              station 1, register 40001 (zero-based 40000)
//   0540010 = 1, 2, 0x0003      consecutive registers 40010, 40011, 40012
//   0140020 = f32:73.25, i16:-5 a float in 40020-40021 (low word first), then 40022
//
// An address is two station digits and five register digits (00001-65535,
// one-based); values are decimal or 0x hex, 0-65535, or typed: u16:, i16:,
// bcd: take one register, u32:, i32:, f32: two, low word first (u32h:, i32h:,
// f32h: high word first), converted as the gateway converts them (typed_value.h).
// A list runs on into the
// following registers and wraps past the last one to register 00001.
// Everything after '#' is a comment; blank lines are allowed. Every station
// named in a file exists, even if all its registers are zero. A UTF-8
// byte-order mark at the start, as some Windows editors write one, is skipped.
#pragma once

#include <cstddef>
#include <string>

#include "station.h"

namespace westnet::sim {

// Files are read a piece at a time and refused past these sizes, so that a
// wrong path (a device, a binary file) ends with a message and not with all
// of memory. A dump of every register of all 100 stations is about 53 MB,
// and one list of all 65536 registers in hex about 520 kB.
constexpr std::size_t kImageFileMax = std::size_t{64} << 20;
constexpr std::size_t kImageLineMax = std::size_t{1} << 20;

struct ImageError {
    std::string file;
    int line = 0;  // 0: the file as a whole (it cannot be read)
    std::string what;
    // "FILE:LINE: what", or "FILE: what" for the file as a whole.
    std::string Message() const;
};

// Parses an address of the notation, "SSRRRRR", into a station and a
// zero-based register; on failure `what` says what is wrong.
bool ParseImageAddress(const std::string& text, int& station, std::size_t& reg, std::string& what);

// Loads the text of one image into the plant. On an error nothing of this
// image is applied and `error` says where and what; the text of the file
// appears in it escaped and cut short.
bool LoadImageText(const std::string& text, const std::string& name, Plant& plant,
                   ImageError& error);
bool LoadImageFile(const std::string& path, Plant& plant, ImageError& error);

// The plant as image text that LoadImageText reads back to the same plant:
// only non-zero registers, runs of consecutive ones on one line, and a
// "SS00001 = 0" line for a station whose registers are all zero.
std::string DumpImage(const Plant& plant);

}  // namespace westnet::sim
