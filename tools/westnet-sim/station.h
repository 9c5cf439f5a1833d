// The stations that westnet-sim plays on the highway: their register images
// and the answer to one request frame, as plain computations on bytes so that
// they can be checked without a serial line.
//
// The simulator keeps its own frame helpers on purpose: it is a peer of the
// driver, not a part of it, so a mistake in the driver's frames shows up as a
// refused or unanswered request instead of being shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace westnet::sim {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeaderSize = 6;
constexpr std::size_t kRegisterCount = 65536;
constexpr int kStationMax = 99;  // two station digits in the address notation
constexpr int kNoStation = -1;

constexpr std::uint8_t kOpReadWord = 0x00;
constexpr std::uint8_t kOpWriteWord = 0x01;
constexpr std::uint8_t kOpWriteBit = 0x03;
constexpr std::uint8_t kOpReadBlock = 0x05;
constexpr std::uint8_t kOpWriteBlock = 0x07;
constexpr std::uint8_t kOpSelect = 0x0A;

// Sum of header bytes 0-4 modulo 256.
std::uint8_t HeaderSum(const std::uint8_t* header);
// Hex bytes separated by spaces ("0A 05 00"), or "-" for none.
std::string HexBytes(const std::uint8_t* bytes, std::size_t length);
inline std::string HexBytes(const Bytes& bytes) {
    return HexBytes(bytes.data(), bytes.size());
}

// Collects request bytes as they arrive and says when a whole frame is there.
// A frame is six bytes, except a write-block request with a good header,
// which runs on to 2N + 7 bytes. After a header that fails its checksum or
// names an unknown op code, the length of what follows cannot be trusted, so
// everything up to the next gap in the input is thrown away.
class Framer {
public:
    // Takes one byte; returns true when it completes a frame, now in frame().
    bool Push(std::uint8_t byte);
    // The input fell silent for the gap time-out: forgets a partial frame and
    // ends a discard. Returns the bytes dropped since the last frame.
    Bytes Gap();
    // Bytes waiting for the rest of their frame, or skipped since a bad header.
    bool Pending() const { return !partial_.empty() || discarding_; }
    // Bytes that would complete the frame under way (one while discarding).
    std::size_t Missing() const { return discarding_ ? 1 : expected_ - partial_.size(); }
    const Bytes& frame() const { return frame_; }

private:
    Bytes partial_;
    Bytes frame_;
    std::size_t expected_ = kHeaderSize;
    bool discarding_ = false;  // partial_ then holds the bytes skipped
};

// Why a complete frame gets no answer; kAnswer for one that does.
enum class Verdict {
    kAnswer,
    kBadChecksum,     // header checksum wrong
    kUnknownOp,       // op code not one of the six
    kBadLength,       // frame length does not match its op code
    kBadDataCheck,    // write block whose data check byte is wrong
    kUnknownStation,  // select of a station that does not exist
    kNoSelection,     // read or write while no station is selected
    kSilenced,        // for a station silenced through the control socket
};
const char* VerdictName(Verdict verdict);

// A request frame taken apart, before anything is done about it.
struct Request {
    Verdict verdict = Verdict::kBadLength;
    Bytes frame;
    std::uint8_t op = 0;
    int station = kNoStation;  // select: the station asked for; else the selected one
    std::uint16_t reg = 0;
    std::size_t count = 0;             // words of a block
    std::uint16_t value = 0;           // write word
    unsigned bit = 0;                  // write bit: bit number 0-15
    bool bit_value = false;            // write bit: set or clear
    std::vector<std::uint16_t> words;  // write block

    bool Answered() const { return verdict == Verdict::kAnswer; }
    bool IsWrite() const { return op == kOpWriteWord || op == kOpWriteBit || op == kOpWriteBlock; }
};

// The outcome of a request that was carried out.
struct Reply {
    Bytes bytes;
    std::string text;  // decoding for the trace, e.g. "READ_WORD reg 0x1234 -> 0x5678"
};

// Every station of the simulated plant, and which of them is selected.
class Plant {
public:
    // Creates an all-zero station if it does not exist yet; false if the
    // number is out of 0-99.
    bool AddStation(int station);
    bool Has(int station) const { return stations_.count(station) != 0; }
    // Registers of an existing station (zero-based index); throws if absent.
    std::vector<std::uint16_t>& Registers(int station);
    const std::vector<std::uint16_t>& Registers(int station) const;
    std::vector<int> Stations() const;

    int selected() const { return selected_; }

    // Checks a complete frame; changes nothing.
    Request Decode(const std::uint8_t* frame, std::size_t length) const;
    // Carries out an answered request: applies its effect and builds the reply.
    Reply Execute(const Request& request);
    // Decode and Execute together; an unanswered frame gives an empty reply.
    Reply Handle(const std::uint8_t* frame, std::size_t length);
    Reply Handle(const Bytes& frame) { return Handle(frame.data(), frame.size()); }

private:
    std::map<int, std::vector<std::uint16_t>> stations_;
    int selected_ = kNoStation;
};

// What a request does, without its result: "WRITE_BLOCK reg 0x0009 count 3".
std::string Describe(const Request& request);

}  // namespace westnet::sim
