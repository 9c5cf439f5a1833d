// Reads a plant file (TOML) into a Plant and checks every key: a typo, a
// value out of range or an address the driver refuses stops the daemon
// before it opens anything, with every fault found, each as
//
//   PATH:LINE: KEY: what is wrong
//
// KEY is dotted as in the file: "gateway.http", "line.baud",
// "line.point.address". Addresses are decoded by the driver's own parse
// commands, so that the gateway accepts exactly what the driver does.
#pragma once

#include <string>
#include <vector>

#include "plant/plant.h"
#include "session.h"

namespace westnet::gateway {

// Largest plant file read; anything bigger is refused unread.
constexpr std::size_t kPlantFileMax = std::size_t{4} * 1024 * 1024;

// `parser` only parses (no channel is opened); parse commands must not
// overlap, so nothing else may parse while this runs.
bool ReadPlantFile(const std::string& path, host::Session& parser, Plant& plant,
                   std::vector<std::string>& errors);
// The same for a text in memory; `path` names it in messages.
bool ReadPlantText(const std::string& text, const std::string& path, host::Session& parser,
                   Plant& plant, std::vector<std::string>& errors);

// The baud rates a line may have: those the serial layer can set that fit
// the 16-bit rate of the driver's line parameters.
bool BaudRateSupported(long long baud);

}  // namespace westnet::gateway
