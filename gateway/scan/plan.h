// The read plan: which commands read a set of points, and what they cost on
// the wire. Plain functions over the plant's points, so that the scheduler
// plans each pass from the points due at that moment and `--check` prints
// the plan of a full pass.
//
// A station's points are read as blocks: points whose registers lie within
// `max_gap` unused registers of each other share one block read of at most
// 64 words; a bit point is read through its register's word. A block of one
// word goes out as a word read, whose reply is 6 characters where a
// one-word block's is 9. Stations follow each other so that each is
// selected once per pass.
#pragma once

#include <westnet/wire.h>

#include <cstddef>
#include <string>
#include <vector>

#include "plant/plant.h"

namespace westnet::gateway {

// What the driver does on the line: the plan counts what it will send.
constexpr int kBlockMaxWords = wire::kBlockMaxWords;
constexpr int kNoStation = wire::kNoStation;  // nothing selected on the line

struct Block {
    int station = 0;
    int reg = 0;  // zero-based first register
    int count = 0;
    std::vector<std::size_t> points;  // indices into the line's points, by register

    bool WordRead() const { return count == 1; }
    int End() const { return reg + count; }
};

// The blocks that read `which` (indices into `points`): stations in
// ascending order, but starting with `firstStation` when it has points
// (the station already selected costs no selection), each station's
// blocks in ascending register order.
std::vector<Block> PlanBlocks(const std::vector<PointConfig>& points,
                              const std::vector<std::size_t>& which, int maxGap,
                              int firstStation = kNoStation);

// Characters of each frame, as the highway counts them.
constexpr int kHeaderChars = wire::kHeaderChars;
constexpr int kSelectChars = 2 * kHeaderChars;  // select request and its reply
constexpr int ReplyChars(int words) {           // a read of `words` words
    return wire::ReadReplyChars(words);
}
constexpr int WriteRequestChars(int words) {  // a write of `words` words
    return wire::WriteRequestChars(words);
}

// One character on the line: start bit, data bits, parity bit, stop bits.
double CharacterBits(int dataBits, int parityCode, int stopBitsCode);
double CharacterMs(const LineConfig& line);

// Characters a sequence of blocks puts on the line, requests and replies
// apart (a simulator that paces only its replies takes `reply` character
// times), with the selections it needs when `selected` is the station the
// line has selected before it.
struct WireChars {
    long request = 0;
    long reply = 0;
    int selections = 0;
    long Total() const { return request + reply; }
};
WireChars PlanChars(const std::vector<Block>& blocks, int selected = kNoStation);

// Whether going to `station` from `selected` sends a selection: never for
// the station already selected, nor for 0 and 255, which the driver does
// not select.
constexpr bool NeedsSelection(int station, int selected) {
    return wire::SendsSelection(station, selected);
}

// The host's notation of a register: "0140001" for register 40000 of
// station 1.
std::string AddressText(int station, int reg);

// One point as `--check` lists it under its block: its name, its registers
// and what they mean, e.g. "kiln/temperature: 0140001 int16, raw 0..1000 =
// 0..100 °C".
std::string DescribePoint(const PointConfig& point);

// What `westnet-gateway --check` prints: per line, the blocks of a pass
// with every point due and their wire time at the line's speed.
std::string DescribePlan(const Plant& plant);

}  // namespace westnet::gateway
