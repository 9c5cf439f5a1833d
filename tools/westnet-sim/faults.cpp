#include "faults.h"

#include <cstdlib>
#include <utility>

#include "text.h"

namespace westnet::sim {
namespace {

struct NamedKind {
    const char* name;
    FaultKind kind;
};
constexpr NamedKind kKinds[] = {
    {"ok", FaultKind::kOk},
    {"bad-checksum", FaultKind::kBadChecksum},
    {"bad-data", FaultKind::kBadData},
    {"silence", FaultKind::kSilence},
    {"short", FaultKind::kShort},
    {"noise", FaultKind::kNoise},
    {"late", FaultKind::kLate},
};

bool KindByName(const std::string& name, FaultKind& kind) {
    for (const NamedKind& entry : kKinds) {
        if (name == entry.name) {
            kind = entry.kind;
            return true;
        }
    }
    return false;
}

std::string KindList() {
    std::string list;
    for (const NamedKind& entry : kKinds) {
        list += list.empty() ? entry.name : std::string(", ") + entry.name;
    }
    return list;
}

std::string Trim(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A whole decimal number in 0..limit.
bool ParseCount(const std::string& text, long limit, long& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::strtol(text.c_str(), nullptr, 10);
    return value <= limit;
}

void Corrupt(std::uint8_t& byte) {
    byte = static_cast<std::uint8_t>(byte + 1);
}

}  // namespace

const char* FaultName(FaultKind kind) {
    for (const NamedKind& entry : kKinds) {
        if (entry.kind == kind) {
            return entry.name;
        }
    }
    return "?";
}

std::uint64_t Rng::Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::Uniform() {
    return static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

bool ParseScript(const std::string& text, std::vector<Fault>& script, std::string& what) {
    std::vector<Fault> parsed;
    std::size_t from = 0;
    while (true) {
        std::size_t comma = text.find(',', from);
        std::string item =
            Trim(text.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
        std::string name = item.substr(0, item.find('='));
        Fault fault;
        if (!KindByName(name, fault.kind)) {
            what = "unknown fault " + Quoted(item) + " in script (kinds: " + KindList() + ")";
            return false;
        }
        if (item.size() != name.size()) {
            long ms = 0;
            if (fault.kind != FaultKind::kLate ||
                !ParseCount(item.substr(name.size() + 1), 600000, ms)) {
                what = "bad script entry " + Quoted(item) +
                       " (only late takes a value: late=MS, 0-600000)";
                return false;
            }
            fault.late_ms = static_cast<int>(ms);
        }
        parsed.push_back(fault);
        if (comma == std::string::npos) {
            break;
        }
        from = comma + 1;
    }
    script = std::move(parsed);
    return true;
}

bool FaultPlan::AddRate(const std::string& text, std::string& what) {
    std::size_t equals = text.find('=');
    FaultKind kind;
    if (equals == std::string::npos || !KindByName(text.substr(0, equals), kind) ||
        kind == FaultKind::kOk) {
        what = "bad fault " + Quoted(text) + ": expected KIND=PROBABILITY, KIND one of " +
               KindList() + " but ok";
        return false;
    }
    std::string number = text.substr(equals + 1);
    char* end = nullptr;
    double probability = std::strtod(number.c_str(), &end);
    if (number.empty() || *end != '\0' || !(probability >= 0.0 && probability <= 1.0)) {
        what = "bad probability in " + Quoted(text) + ": expected a number from 0 to 1";
        return false;
    }
    double total = probability;
    for (const Rate& rate : rates_) {
        total += rate.probability;
    }
    if (total > 1.0 + 1e-9) {
        what = "fault probabilities add up to more than 1";
        return false;
    }
    rates_.push_back(Rate{kind, probability});
    return true;
}

Fault FaultPlan::Next() {
    Fault fault;
    if (next_ < script_.size()) {
        fault = script_[next_++];
    } else if (!rates_.empty()) {
        double draw = rng_.Uniform();
        double below = 0.0;
        for (const Rate& rate : rates_) {
            below += rate.probability;
            if (draw < below) {
                fault.kind = rate.kind;
                break;
            }
        }
    }
    if (fault.kind == FaultKind::kLate && fault.late_ms < 0) {
        fault.late_ms = late_ms_;
    }
    return fault;
}

Outcome Serve(Plant& plant, FaultPlan& faults, const std::uint8_t* frame, std::size_t length) {
    return Serve(plant, faults, plant.Decode(frame, length));
}

Outcome Serve(Plant& plant, FaultPlan& faults, Request request) {
    Outcome outcome;
    outcome.request = std::move(request);
    if (!outcome.request.Answered()) {
        // Unanswered frames can still have an effect (a select of a missing
        // station drops the selection), but no fault is drawn for them.
        outcome.text = plant.Execute(outcome.request).text;
        return outcome;
    }
    outcome.fault = faults.Next();
    if (outcome.fault.kind == FaultKind::kSilence) {
        outcome.text = Describe(outcome.request) + " | fault silence";
        return outcome;
    }
    Reply reply = plant.Execute(outcome.request);
    outcome.applied = true;
    outcome.reply = std::move(reply.bytes);
    outcome.text = std::move(reply.text);
    Bytes& bytes = outcome.reply;
    switch (outcome.fault.kind) {
        case FaultKind::kBadData:
            if (outcome.request.op == kOpReadBlock) {
                Corrupt(bytes.back());
                break;
            }
            Corrupt(bytes[5]);  // no data block: the header checksum takes it
            break;
        case FaultKind::kBadChecksum:
            Corrupt(bytes[5]);
            break;
        case FaultKind::kShort:
            bytes.resize(bytes.size() / 2);
            break;
        case FaultKind::kNoise: {
            Bytes noise(1 + faults.rng().Next() % 4);
            for (std::uint8_t& byte : noise) {
                byte = static_cast<std::uint8_t>(faults.rng().Next());
            }
            bytes.insert(bytes.begin(), noise.begin(), noise.end());
            break;
        }
        case FaultKind::kLate:
            outcome.delay_ms = outcome.fault.late_ms;
            break;
        default:
            break;
    }
    if (outcome.fault.kind != FaultKind::kOk) {
        outcome.text += std::string(" | fault ") + FaultName(outcome.fault.kind);
        if (outcome.fault.kind == FaultKind::kLate) {
            outcome.text += " " + std::to_string(outcome.delay_ms) + " ms";
        }
    }
    return outcome;
}

}  // namespace westnet::sim
