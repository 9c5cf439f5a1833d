#include "modbus/exchange.h"

#include <algorithm>
#include <set>

namespace westnet::gateway::modbus {
namespace {

// Outcome -> exception, in the order of the Outcome enumeration.
struct OutcomeException {
    Outcome outcome;
    Exception exception;
};
constexpr OutcomeException kOutcomes[] = {
    {Outcome::Ok, Exception::None},
    {Outcome::Refused, Exception::DeviceFailure},     // result 1 after the retries
    {Outcome::LineFailure, Exception::TargetFailed},  // result 2 after the retries
    {Outcome::NotWritable, Exception::IllegalAddress},
    {Outcome::ReadOnly, Exception::IllegalAddress},
    {Outcome::Demoted, Exception::TargetFailed},
    {Outcome::LineDown, Exception::PathUnavailable},
    {Outcome::BadRequest, Exception::IllegalAddress},
    {Outcome::ShuttingDown, Exception::PathUnavailable},
};
constexpr bool OutcomesInOrder() {
    for (std::size_t i = 0; i < sizeof(kOutcomes) / sizeof(kOutcomes[0]); ++i) {
        if (static_cast<std::size_t>(kOutcomes[i].outcome) != i) {
            return false;
        }
    }
    return true;
}
static_assert(OutcomesInOrder(), "kOutcomes follows the Outcome enumeration");
static_assert(sizeof(kOutcomes) / sizeof(kOutcomes[0]) ==
                  static_cast<std::size_t>(Outcome::ShuttingDown) + 1,
              "every Outcome has its exception");

LineOp BitWrite(int station, int reg, int bit, std::uint16_t value) {
    LineOp op;
    op.kind = LineOp::Kind::WriteBit;
    op.station = station;
    op.reg = reg;
    op.bit = bit;
    op.values = {value};
    return op;
}

LineOp RegisterRead(int station, int reg, int count) {
    LineOp op;
    op.kind = LineOp::Kind::ReadRegisters;
    op.station = station;
    op.reg = reg;
    op.count = count;
    return op;
}

constexpr int kBlockWords = 64;  // the highway's largest block transfer

}  // namespace

Exception ExceptionFor(Outcome outcome) {
    const auto i = static_cast<std::size_t>(outcome);
    return i < sizeof(kOutcomes) / sizeof(kOutcomes[0]) ? kOutcomes[i].exception
                                                        : Exception::DeviceFailure;
}

Exception Exchange::Gate(const Unit& unit) const {
    if (!service_.LineUp(unit.line)) {
        return Exception::PathUnavailable;
    }
    switch (service_.State(unit.line, unit.station)) {
        case StationState::Ok:
            return Exception::None;
        case StationState::Demoted:
            return Exception::TargetFailed;
        case StationState::Down:
            break;
    }
    return Exception::PathUnavailable;
}

bool Exchange::Begin(const Request& request, Answer& answer, Job& job) const {
    answer = Answer{};
    job = Job{};
    const Unit* unit = index_.Find(request.unit);
    if (unit == nullptr) {
        answer.exception = Exception::PathUnavailable;
        return true;
    }
    job.line = unit->line;
    const int station = unit->station;

    if (request.IsWrite() && service_.PlantConfig().gateway.readOnly) {
        answer.exception = Exception::IllegalAddress;
        return true;
    }
    // Refused writes answer 02 before anything waits for the line.
    bool allowed = true;
    switch (request.Code()) {
        case Function::ReadHoldingRegisters:
        case Function::ReadInputRegisters:
            if (service_.CachedRegisters(unit->line, station, request.address, request.count,
                                         answer.registers)) {
                answer.fromCache = true;
                return true;
            }
            job.ops.push_back(RegisterRead(station, request.address, request.count));
            break;
        case Function::ReadCoils:
        case Function::ReadDiscreteInputs:
            if (BeginBitRead(request, *unit, answer, job)) {
                return true;
            }
            break;
        case Function::WriteSingleCoil:
        case Function::WriteMultipleCoils:
            for (int i = 0; i < request.count && allowed; ++i) {
                auto it = unit->coils.find(request.address + i);
                allowed = it != unit->coils.end() &&
                          PlantIndex::BitWritable(*unit, it->second.reg, it->second.bit);
                if (allowed) {
                    job.ops.push_back(BitWrite(station, it->second.reg, it->second.bit,
                                               request.values[static_cast<std::size_t>(i)]));
                }
            }
            break;
        case Function::WriteSingleRegister:
        case Function::WriteMultipleRegisters: {
            allowed = PlantIndex::WordsWritable(*unit, request.address, request.count);
            LineOp op;
            op.kind = LineOp::Kind::WriteRegisters;
            op.station = station;
            op.reg = request.address;
            op.count = request.count;
            op.values = request.values;
            job.ops.push_back(std::move(op));
            break;
        }
        case Function::MaskWriteRegister:
            allowed = PlantIndex::BitWritable(*unit, request.address, request.bit);
            job.ops.push_back(BitWrite(station, request.address, request.bit, request.bitValue));
            break;
        default:
            answer.exception = Exception::IllegalFunction;
            return true;
    }
    if (!allowed) {
        answer.exception = Exception::IllegalAddress;
        return true;
    }
    answer.exception = Gate(*unit);
    return answer.exception != Exception::None;
}

// Coils and discrete inputs exist only as bit points with a `coil` key; each
// is served from its register's cached word, or that word is read.
bool Exchange::BeginBitRead(const Request& request, const Unit& unit, Answer& answer,
                            Job& job) const {
    std::set<int> registers;
    for (int i = 0; i < request.count; ++i) {
        auto it = unit.coils.find(request.address + i);
        if (it == unit.coils.end()) {
            answer.exception = Exception::IllegalAddress;
            return true;
        }
        registers.insert(it->second.reg);
    }
    std::vector<int> missing;
    for (int reg : registers) {
        std::vector<std::uint16_t> word;
        if (service_.CachedRegisters(unit.line, unit.station, reg, 1, word) && word.size() == 1) {
            job.words[reg] = word[0];
        } else {
            missing.push_back(reg);
        }
    }
    if (missing.empty()) {
        answer.fromCache = true;
        Continue(request, job, LineOpResult{}, answer);
        return true;
    }
    // Nearby registers share one block read, as the scan plans them.
    std::size_t first = 0;
    for (std::size_t i = 1; i <= missing.size(); ++i) {
        const bool split = i == missing.size() || missing[i] - missing[i - 1] - 1 > unit.maxGap ||
                           missing[i] - missing[first] + 1 > kBlockWords;
        if (split) {
            job.ops.push_back(
                RegisterRead(unit.station, missing[first], missing[i - 1] - missing[first] + 1));
            first = i;
        }
    }
    return false;
}

bool Exchange::Continue(const Request& request, Job& job, const LineOpResult& result,
                        Answer& answer) const {
    if (job.next < job.ops.size()) {
        if (result.outcome != Outcome::Ok) {
            answer.exception = ExceptionFor(result.outcome);
            return true;
        }
        const LineOp& op = job.ops[job.next];
        if (op.kind == LineOp::Kind::ReadRegisters) {
            if (result.values.size() != static_cast<std::size_t>(op.count)) {
                // The core promised every word on Ok; never answer with less.
                answer.exception = Exception::DeviceFailure;
                return true;
            }
            if (request.IsBitRequest()) {
                for (int i = 0; i < op.count; ++i) {
                    job.words[op.reg + i] = result.values[static_cast<std::size_t>(i)];
                }
            } else {
                answer.registers = result.values;
            }
        }
        if (++job.next < job.ops.size()) {
            return false;
        }
    }
    if (request.Code() == Function::ReadCoils || request.Code() == Function::ReadDiscreteInputs) {
        const Unit* unit = index_.Find(request.unit);
        answer.bits.clear();
        for (int i = 0; unit != nullptr && i < request.count; ++i) {
            const Coil& coil = unit->coils.at(request.address + i);
            answer.bits.push_back(static_cast<std::uint8_t>((job.words[coil.reg] >> coil.bit) & 1));
        }
    }
    return true;
}

}  // namespace westnet::gateway::modbus
