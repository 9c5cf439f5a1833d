// The frame of every read and write command: the request checked, the
// point's station selected, then up to six whole transactions, each a new
// request (which purges stale input) and a new reply, at once and without a
// pause. The station is not selected again between attempts.
#include "highway/frame.h"
#include "highway/transactions.h"

namespace westnet {
namespace {

bool RequestPresent(const DriverRequest* request) {
    return request != nullptr && request->channel != nullptr && request->params != nullptr;
}

std::int32_t Repeat(DriverRequest* request, Transaction transaction) {
    std::int32_t result = ResFail;
    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        result = transaction(request);
        if (result == ResOk) {
            break;
        }
    }
    return result;
}

}  // namespace

std::int32_t RunPointCommand(DriverRequest* request, Transaction bit, Transaction word) {
    if (!RequestPresent(request)) {
        return ResBad;
    }
    const PointIo& point = PointOf(request);
    const bool known = point.kind == KIND_BIT || point.kind == KIND_WORD;
    if (known && point.values == nullptr) {
        return ResBad;
    }
    const std::int32_t selected = SelectStation(request);
    if (selected != ResOk) {
        return selected;
    }
    // A point of no known kind is neither read nor written: answering ResOk
    // would tell the host a value moved when none did.
    if (!known) {
        return ResBad;
    }
    return Repeat(request, point.kind == KIND_BIT ? bit : word);
}

std::int32_t RunBlockCommand(DriverRequest* request, Transaction block) {
    if (!RequestPresent(request)) {
        return ResBad;
    }
    const PointIo& point = PointOf(request);
    // Refused before anything goes out, the selection included.
    if (!BlockCountValid(point.count) || point.values == nullptr) {
        return ResBad;
    }
    const std::int32_t selected = SelectStation(request);
    if (selected != ResOk) {
        return selected;
    }
    return Repeat(request, block);
}

}  // namespace westnet
