// Fault injection of westnet-sim: which replies go wrong and how, chosen
// from a fixed script (for tests) or at random with a seed (for soak runs).
//
// A fault is drawn only for a request that a station answers; frames that get
// no answer anyway (bad checksum, unknown op, no station, no selection) use
// up neither a script entry nor a random draw. The faults and whether the
// request takes effect:
//   bad-checksum  header checksum of the reply wrong         write applied
//   bad-data      block read: data check byte wrong;
//                 any other reply: as bad-checksum            write applied
//   silence       no reply: the request was lost on the way  NOT applied
//                 (a select does not change the selection)
//   short         only the first half of the reply           write applied
//   noise         1-4 random bytes before the whole reply    write applied
//   late[=MS]     the whole reply, MS later (default --late-ms) write applied
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "station.h"

namespace westnet::sim {

enum class FaultKind { kOk, kBadChecksum, kBadData, kSilence, kShort, kNoise, kLate };
const char* FaultName(FaultKind kind);

struct Fault {
    FaultKind kind = FaultKind::kOk;
    int late_ms = -1;  // late only: the delay; -1 for the plan's default
};

// A small generator with a fixed algorithm (splitmix64), so that a seed gives
// the same faults on every machine and library.
class Rng {
public:
    explicit Rng(std::uint64_t seed = 1) : state_(seed) {}
    std::uint64_t Next();
    double Uniform();  // in [0, 1)

private:
    std::uint64_t state_;
};

// "ok,bad-checksum,late=200,silence" -> one fault per entry.
bool ParseScript(const std::string& text, std::vector<Fault>& script, std::string& what);

class FaultPlan {
public:
    void SetScript(std::vector<Fault> script) {
        script_ = std::move(script);
        next_ = 0;
    }
    // "KIND=PROBABILITY", e.g. "silence=0.02"; the probabilities of all
    // kinds together may not exceed 1.
    bool AddRate(const std::string& text, std::string& what);
    void Seed(std::uint64_t seed) { rng_ = Rng(seed); }
    void SetLateMs(int ms) { late_ms_ = ms; }
    int late_ms() const { return late_ms_; }

    // The fault for the next answered request: the next script entry while
    // there is one, then a random draw from the rates (none: ok).
    Fault Next();
    Rng& rng() { return rng_; }

private:
    struct Rate {
        FaultKind kind;
        double probability;
    };
    std::vector<Fault> script_;
    std::size_t next_ = 0;
    std::vector<Rate> rates_;
    Rng rng_;
    int late_ms_ = 1500;
};

// What goes out on the line for one request.
struct Outcome {
    Request request;
    Fault fault;           // kOk for a clean reply or no reply at all
    bool applied = false;  // the request took effect on the plant
    Bytes reply;           // the bytes to send, fault included; empty: silence
    int delay_ms = 0;      // extra wait before the reply (late)
    std::string text;      // decoding and fault, for the trace
};

// Takes one complete request frame through the plant and the fault plan.
Outcome Serve(Plant& plant, FaultPlan& faults, const std::uint8_t* frame, std::size_t length);
// The same for a request already decoded by plant.Decode, whose verdict the
// caller may have changed (a silenced station, control.h).
Outcome Serve(Plant& plant, FaultPlan& faults, Request request);
inline Outcome Serve(Plant& plant, FaultPlan& faults, const Bytes& frame) {
    return Serve(plant, faults, frame.data(), frame.size());
}

}  // namespace westnet::sim
