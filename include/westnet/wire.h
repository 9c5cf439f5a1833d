// westnet/wire.h - what the driver puts on the WestNet II Data HighWay, for
// programs that plan around it: a scheduler that estimates how long a pass
// takes, a tool that tells a user what a time-out costs. The driver is built
// from these same constants, so a plan made with them matches what goes out.
//
// C++17, header only, no dependencies. Line codes are those of LineParams in
// westnet/westnet.h.
#ifndef WESTNET_WIRE_H
#define WESTNET_WIRE_H

namespace westnet::wire {

// Every exchange (a station's selection, then the command's transaction) is
// tried this many times before the command fails.
constexpr int kAttempts = 6;

// Every frame starts with a six-character header: op code, four parameter
// characters, checksum. A selection and a word transfer are one header each
// way.
constexpr int kHeaderChars = 6;

// Character 5 of every header: the sum of characters 0 to 4, carries dropped.
// A reply is judged by it alone (and a block's data by its check character,
// the sum of its data characters).
constexpr int kChecksumAt = 5;
constexpr unsigned char HeaderChecksum(const unsigned char* header) {
    return static_cast<unsigned char>(header[0] + header[1] + header[2] + header[3] + header[4]);
}

// A block transfer of N words: header, 2N data characters, check character.
constexpr int BlockFrameChars(int words) {
    return 2 * words + kHeaderChars + 1;
}
// The largest block a host may ask for, and the largest the frames can carry.
constexpr int kBlockMaxWords = 64;
constexpr int kBlockLimitWords = 96;

// The reply of a read of `words` words as the driver sends it: a word read
// for one word, a block read for more.
constexpr int ReadReplyChars(int words) {
    return words == 1 ? kHeaderChars : BlockFrameChars(words);
}
// The request of a write of `words` words: a word write, or a block write.
constexpr int WriteRequestChars(int words) {
    return words == 1 ? kHeaderChars : BlockFrameChars(words);
}

// The station the line has selected when nothing is: the channel's state
// after a failed selection, and at open.
constexpr int kNoStation = 255;

// Whether a command for `station` sends a selection first on a line that
// has `selected` selected. Stations 0 and 255 are never selected on the line:
// the driver only records them.
constexpr bool SendsSelection(int station, int selected) {
    return station != selected && station != 0 && station != kNoStation;
}

// A purge that finds input waiting drains it in reads of this many ms.
constexpr int kDrainReadMs = 50;

// Line codes: LineParams.stopBits and .parity.
constexpr int kOneStopBit = 0;
constexpr int kOne5StopBits = 1;
constexpr int kTwoStopBits = 2;
constexpr int kNoParity = 0;

// Half bits of one character: start bit, data bits, a parity bit unless
// there is none, the stop bits (halves, so that 1.5 stays exact).
constexpr unsigned CharacterHalfBits(unsigned dataBits, unsigned parityCode, unsigned stopCode) {
    const unsigned parity = parityCode != kNoParity ? 1U : 0U;
    const unsigned stopHalves = stopCode == kOne5StopBits ? 3U : stopCode == kTwoStopBits ? 4U : 2U;
    return 2U * (1U + dataBits + parity) + stopHalves;
}
// Milliseconds one character takes at `baud`.
constexpr double CharacterMs(unsigned baud, unsigned dataBits, unsigned parityCode,
                             unsigned stopCode) {
    return 500.0 * CharacterHalfBits(dataBits, parityCode, stopCode) / baud;
}

static_assert(BlockFrameChars(1) == 9 && BlockFrameChars(kBlockMaxWords) == 135,
              "block frames: 2N + 7 characters");
static_assert(ReadReplyChars(1) == 6 && ReadReplyChars(2) == 11, "word and block replies");
static_assert(CharacterHalfBits(8, 1, kTwoStopBits) == 24, "8O2: 12 bits a character");
static_assert(CharacterHalfBits(7, 2, kOne5StopBits) == 21, "7E1.5: 10.5 bits");
static_assert(!SendsSelection(5, 5) && !SendsSelection(0, 7) && !SendsSelection(255, 7) &&
                  SendsSelection(7, 255),
              "the selection rule");

}  // namespace westnet::wire

#endif  // WESTNET_WIRE_H
