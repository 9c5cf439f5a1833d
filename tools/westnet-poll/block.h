// What read-block and write-block share: the block's first address checked
// by the driver and against the last register, and the rows of its words.
#pragma once

#include <cstdint>
#include <vector>

#include "line.h"
#include "output.h"

namespace westnet::poll {

// The first address of the command's block, parsed for o.blockCount words;
// a refusal is explained on stderr.
bool ParseBlock(Context& ctx, host::ParsedPoint& parsed);

// A row per word: its address, index and register, and its value.
std::vector<Column> BlockColumns(const Options& o);
std::vector<std::vector<Cell>> BlockRows(const Options& o, const host::ParsedPoint& first,
                                         const std::vector<std::uint16_t>& values);

}  // namespace westnet::poll
