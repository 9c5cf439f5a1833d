#include "report.h"

#include <westnet/westnet.h>

#include <cstdio>

#include "options.h"

namespace westnet::poll {

volatile std::sig_atomic_t gInterrupted = 0;

void Print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void Complain(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

void Warn(const std::string& text) {
    std::fprintf(stderr, "%s: warning: %s\n", kProgram, text.c_str());
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

std::string ResultText(std::int32_t result) {
    switch (result) {
        case ResOk:
            return "ok";
        case ResBad:
            return "refused (1)";
        case ResFail:
            return "line failure (2)";
        default:
            return "code " + std::to_string(result);
    }
}

std::string ExchangeFailure(std::int32_t result) {
    switch (result) {
        case ResBad:
            return "refused (driver result 1): the reply failed its checksum on the last "
                   "of the driver's attempts";
        case ResFail:
            return "line failure (driver result 2): no full reply within the time-out on the "
                   "last of the driver's attempts, or the request could not be written";
        default:
            return "driver result " + std::to_string(result);
    }
}

std::string StationText(std::int32_t station) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", static_cast<int>(station));
    return text;
}

std::string AddressText(std::int32_t station, std::int64_t registerAsWritten) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d%05lld", static_cast<int>(station),
                  static_cast<long long>(registerAsWritten));
    return text;
}

void Verdict::Note(std::int32_t result) {
    if (result == ResFail || (result != ResOk && result != ResBad)) {
        lineFailure_ = true;
    } else if (result == ResBad) {
        refused_ = true;
    }
}

int Verdict::ExitStatus() const {
    if (lineFailure_) {
        return kExitLineFailure;
    }
    return refused_ ? kExitRefused : kExitOk;
}

}  // namespace westnet::poll
