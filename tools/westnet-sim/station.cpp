#include "station.h"

#include <cstdio>
#include <stdexcept>

namespace westnet::sim {
namespace {

bool KnownOp(std::uint8_t op) {
    return op == kOpReadWord || op == kOpWriteWord || op == kOpWriteBit || op == kOpReadBlock ||
           op == kOpWriteBlock || op == kOpSelect;
}

// Whole length of a request whose header is good: a write block carries
// byte 3 + 1 words and a check byte after the header.
std::size_t RequestLength(const std::uint8_t* header) {
    if (header[0] == kOpWriteBlock) {
        return 2 * static_cast<std::size_t>(header[3]) + 9;
    }
    return kHeaderSize;
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
    return text;
}

void PutHeader(Bytes& reply, const Bytes& request) {
    reply.assign(request.begin(), request.begin() + 5);
    reply.push_back(HeaderSum(reply.data()));
}

}  // namespace

std::uint8_t HeaderSum(const std::uint8_t* header) {
    return static_cast<std::uint8_t>(header[0] + header[1] + header[2] + header[3] + header[4]);
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t length) {
    if (length == 0) {
        return "-";
    }
    std::string text;
    text.reserve(length * 3);
    for (std::size_t i = 0; i < length; ++i) {
        char digits[4];
        std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += digits;
    }
    return text;
}

bool Framer::Push(std::uint8_t byte) {
    partial_.push_back(byte);
    if (discarding_) {
        return false;
    }
    if (partial_.size() == kHeaderSize) {
        if (HeaderSum(partial_.data()) != partial_[5] || !KnownOp(partial_[0])) {
            frame_.swap(partial_);
            partial_.clear();
            discarding_ = true;
            return true;
        }
        expected_ = RequestLength(partial_.data());
    }
    if (partial_.size() == expected_) {
        frame_.swap(partial_);
        partial_.clear();
        expected_ = kHeaderSize;
        return true;
    }
    return false;
}

Bytes Framer::Gap() {
    Bytes dropped;
    dropped.swap(partial_);
    discarding_ = false;
    expected_ = kHeaderSize;
    return dropped;
}

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::kAnswer:
            return "answered";
        case Verdict::kBadChecksum:
            return "bad header checksum";
        case Verdict::kUnknownOp:
            return "unknown op code";
        case Verdict::kBadLength:
            return "bad frame length";
        case Verdict::kBadDataCheck:
            return "bad data check byte";
        case Verdict::kUnknownStation:
            return "no such station";
        case Verdict::kNoSelection:
            return "no station selected";
        case Verdict::kSilenced:
            return "station silenced";
    }
    return "?";
}

bool Plant::AddStation(int station) {
    if (station < 0 || station > kStationMax) {
        return false;
    }
    if (!Has(station)) {
        stations_[station].assign(kRegisterCount, 0);
    }
    return true;
}

std::vector<std::uint16_t>& Plant::Registers(int station) {
    auto found = stations_.find(station);
    if (found == stations_.end()) {
        throw std::out_of_range("no station " + std::to_string(station));
    }
    return found->second;
}

const std::vector<std::uint16_t>& Plant::Registers(int station) const {
    auto found = stations_.find(station);
    if (found == stations_.end()) {
        throw std::out_of_range("no station " + std::to_string(station));
    }
    return found->second;
}

std::vector<int> Plant::Stations() const {
    std::vector<int> numbers;
    for (const auto& entry : stations_) {
        numbers.push_back(entry.first);
    }
    return numbers;
}

Request Plant::Decode(const std::uint8_t* frame, std::size_t length) const {
    Request request;
    request.frame.assign(frame, frame + length);
    if (length < kHeaderSize) {
        request.verdict = Verdict::kBadLength;
        return request;
    }
    request.op = frame[0];
    request.reg = static_cast<std::uint16_t>(frame[1] | frame[2] << 8);
    if (HeaderSum(frame) != frame[5]) {
        request.verdict = Verdict::kBadChecksum;
        return request;
    }
    if (!KnownOp(request.op)) {
        request.verdict = Verdict::kUnknownOp;
        return request;
    }
    if (length != RequestLength(frame)) {
        request.verdict = Verdict::kBadLength;
        return request;
    }
    switch (request.op) {
        case kOpSelect:
            request.station = frame[1];
            request.verdict = Has(request.station) ? Verdict::kAnswer : Verdict::kUnknownStation;
            return request;
        case kOpWriteWord:
            request.value = static_cast<std::uint16_t>(frame[3] | frame[4] << 8);
            break;
        case kOpWriteBit:
            request.bit = frame[3] & 0x0Fu;
            request.bit_value = (frame[3] & 0x10u) != 0;
            break;
        case kOpReadBlock:
            request.count = static_cast<std::size_t>(frame[3]) + 1;
            break;
        case kOpWriteBlock: {
            request.count = static_cast<std::size_t>(frame[3]) + 1;
            // The check byte of a write block covers the low byte of each word.
            std::uint8_t check = 0;
            for (std::size_t i = 0; i < request.count; ++i) {
                std::uint8_t low = frame[6 + 2 * i];
                check = static_cast<std::uint8_t>(check + low);
                request.words.push_back(static_cast<std::uint16_t>(low | frame[7 + 2 * i] << 8));
            }
            if (check != frame[length - 1]) {
                request.verdict = Verdict::kBadDataCheck;
                return request;
            }
            break;
        }
        default:
            break;
    }
    request.station = selected_;
    request.verdict = selected_ == kNoStation ? Verdict::kNoSelection : Verdict::kAnswer;
    return request;
}

Reply Plant::Execute(const Request& request) {
    Reply reply;
    reply.text = Describe(request);
    if (request.op == kOpSelect &&
        (request.verdict == Verdict::kUnknownStation || request.verdict == Verdict::kSilenced)) {
        // A station that is not there (or is silenced, as if dead) does not
        // answer, and the one that was selected before has heard another
        // station called.
        selected_ = kNoStation;
        return reply;
    }
    if (!request.Answered()) {
        return reply;
    }
    const Bytes& frame = request.frame;
    if (request.op == kOpSelect) {
        selected_ = request.station;
        PutHeader(reply.bytes, frame);
        return reply;
    }
    std::vector<std::uint16_t>& regs = Registers(selected_);
    // Registers wrap around at the end of the image, as on the wire.
    auto at = [&](std::size_t i) -> std::uint16_t& {
        return regs[(request.reg + i) % kRegisterCount];
    };
    switch (request.op) {
        case kOpReadWord: {
            std::uint16_t value = at(0);
            reply.bytes.assign(frame.begin(), frame.begin() + 3);
            reply.bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
            reply.bytes.push_back(static_cast<std::uint8_t>(value >> 8));
            reply.bytes.push_back(HeaderSum(reply.bytes.data()));
            reply.text += " -> " + Hex4(value);
            break;
        }
        case kOpReadBlock: {
            PutHeader(reply.bytes, frame);
            std::uint8_t check = 0;  // a read block's check covers every data byte
            for (std::size_t i = 0; i < request.count; ++i) {
                std::uint16_t value = at(i);
                std::uint8_t low = static_cast<std::uint8_t>(value & 0xFF);
                std::uint8_t high = static_cast<std::uint8_t>(value >> 8);
                reply.bytes.push_back(low);
                reply.bytes.push_back(high);
                check = static_cast<std::uint8_t>(check + low + high);
            }
            reply.bytes.push_back(check);
            break;
        }
        case kOpWriteWord:
            at(0) = request.value;
            PutHeader(reply.bytes, frame);
            break;
        case kOpWriteBit: {
            std::uint16_t mask = static_cast<std::uint16_t>(1u << request.bit);
            at(0) =
                static_cast<std::uint16_t>(request.bit_value ? (at(0) | mask) : (at(0) & ~mask));
            PutHeader(reply.bytes, frame);
            reply.text += " -> " + Hex4(at(0));
            break;
        }
        case kOpWriteBlock:
            for (std::size_t i = 0; i < request.words.size(); ++i) {
                at(i) = request.words[i];
            }
            PutHeader(reply.bytes, frame);
            break;
        default:
            break;
    }
    return reply;
}

Reply Plant::Handle(const std::uint8_t* frame, std::size_t length) {
    return Execute(Decode(frame, length));
}

std::string Describe(const Request& request) {
    std::string reg = Hex4(request.reg);
    std::string text;
    switch (request.verdict) {
        case Verdict::kBadLength:
        case Verdict::kBadChecksum:
        case Verdict::kUnknownOp:
            return std::string("ignored: ") + VerdictName(request.verdict);
        default:
            break;
    }
    switch (request.op) {
        case kOpSelect:
            text = "SELECT station " + std::to_string(request.station);
            break;
        case kOpReadWord:
            text = "READ_WORD reg " + reg;
            break;
        case kOpWriteWord:
            text = "WRITE_WORD reg " + reg + " = " + Hex4(request.value);
            break;
        case kOpWriteBit:
            text = "WRITE_BIT reg " + reg + " bit " + std::to_string(request.bit) + " = " +
                   (request.bit_value ? "1" : "0");
            break;
        case kOpReadBlock:
            text = "READ_BLOCK reg " + reg + " count " + std::to_string(request.count);
            break;
        case kOpWriteBlock:
            text = "WRITE_BLOCK reg " + reg + " count " + std::to_string(request.count);
            break;
        default:
            break;
    }
    if (!request.Answered()) {
        text += std::string(" (ignored: ") + VerdictName(request.verdict) + ")";
    } else if (request.op != kOpSelect) {
        text += " on station " + std::to_string(request.station);
    }
    return text;
}

}  // namespace westnet::sim
