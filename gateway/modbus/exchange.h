// What a decoded request becomes: an answer at once (an exception, or a read
// served from the value cache) or the line transfers that serve it, made one
// after another through the service's queue, and the answer built from their
// results. No I/O and no threads here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "modbus/plant_index.h"
#include "modbus/request.h"
#include "scan/service.h"

namespace westnet::gateway::modbus {

struct Answer {
    Exception exception = Exception::None;
    std::vector<std::uint16_t> registers;  // FC 3 and 4: the words read
    std::vector<std::uint8_t> bits;        // FC 1 and 2: 0 or 1 per coil
    bool fromCache = false;
};

// The line transfers of one request, in the order they are made.
struct Job {
    std::size_t line = 0;
    std::vector<LineOp> ops;
    std::size_t next = 0;  // the transfer under way
    // Coil reads: the words of the coils' registers, from the cache or read.
    std::map<int, std::uint16_t> words;
};

// How a request that reached the line (or was refused by it) is answered.
Exception ExceptionFor(Outcome outcome);

class Exchange {
public:
    Exchange(Service& service, const PlantIndex& index) : service_(service), index_(index) {}

    // True when the request is answered at once (`answer` filled); false
    // when the transfers in `job` serve it, job.ops[0] first.
    bool Begin(const Request& request, Answer& answer, Job& job) const;
    // Takes the result of job.ops[job.next]. True when the request is
    // answered; false when job.ops[job.next] (advanced) is to be made next.
    bool Continue(const Request& request, Job& job, const LineOpResult& result,
                  Answer& answer) const;

private:
    // Why a request cannot go to the line now, or None.
    Exception Gate(const Unit& unit) const;
    bool BeginBitRead(const Request& request, const Unit& unit, Answer& answer, Job& job) const;

    Service& service_;
    const PlantIndex& index_;
};

}  // namespace westnet::gateway::modbus
