// What the benchmark programs share: a monotonic clock, the summary of a
// series of timings, and the one line per figure that scripts/bench reads.
//
// Every figure is printed as one line of key=value pairs starting with
// "RESULT", so the report script never has to parse free text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace westnet::bench {

inline double NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

struct Summary {
    std::size_t n = 0;
    double median = 0;
    double p99 = 0;
    double min = 0;
    double mean = 0;
};

// Nearest-rank percentiles over the samples (which it sorts).
inline Summary Summarise(std::vector<double>& samples) {
    Summary s;
    s.n = samples.size();
    if (samples.empty()) {
        return s;
    }
    std::sort(samples.begin(), samples.end());
    auto rank = [&](double q) {
        std::size_t i = static_cast<std::size_t>(q * static_cast<double>(s.n));
        return samples[std::min(i, s.n - 1)];
    };
    s.median = rank(0.5);
    s.p99 = rank(0.99);
    s.min = samples.front();
    double sum = 0;
    for (double v : samples) {
        sum += v;
    }
    s.mean = sum / static_cast<double>(s.n);
    return s;
}

// RESULT kind=<kind> impl=<master> peer=<station> exchange=<exchange> n=.. median_us=..
inline void PrintTiming(const char* kind, const char* impl, const char* peer, const char* exchange,
                        const Summary& s) {
    std::printf(
        "RESULT kind=%s impl=%s peer=%s exchange=%s n=%zu median_us=%.2f p99_us=%.2f "
        "min_us=%.2f mean_us=%.2f\n",
        kind, impl, peer, exchange, s.n, s.median, s.p99, s.min, s.mean);
    std::fflush(stdout);
}

// Parses "--name value" options; the value stays a string.
inline std::string Option(int argc, char** argv, const std::string& name,
                          const std::string& fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (name == argv[i]) {
            return argv[i + 1];
        }
    }
    return fallback;
}

// Whether "--name" is given (an option without a value).
inline bool HasFlag(int argc, char** argv, const std::string& name) {
    for (int i = 1; i < argc; ++i) {
        if (name == argv[i]) {
            return true;
        }
    }
    return false;
}

inline long OptionInt(int argc, char** argv, const std::string& name, long fallback) {
    const std::string v = Option(argc, argv, name, "");
    return v.empty() ? fallback : std::stol(v);
}

inline double OptionDouble(int argc, char** argv, const std::string& name, double fallback) {
    const std::string v = Option(argc, argv, name, "");
    return v.empty() ? fallback : std::stod(v);
}

}  // namespace westnet::bench
