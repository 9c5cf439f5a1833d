// The word read round trip of the shipped 32-bit DLL, loaded the way the
// host loads it (LoadLibrary, then ZanMain by name), for running under Wine
// against westnet-sim: the COM port is a Wine device link to the simulator's
// pseudo-terminal.
//
//   westnet-bench-wine.exe COMn [count] [warmup]
//
// Prints one RESULT line as the native benchmarks do.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "entry/records.h"

namespace {

using ZanMainFn = std::int32_t(__stdcall*)(westnet::DriverRequest*);

double NowUs(const LARGE_INTEGER& frequency) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: westnet-bench-wine COMn [count] [warmup]\n");
        return 2;
    }
    const long count = argc > 2 ? std::atol(argv[2]) : 500;
    const long warmup = argc > 3 ? std::atol(argv[3]) : 20;
    HMODULE dll = LoadLibraryA("westnet.dll");
    if (dll == nullptr) {
        std::fprintf(stderr, "westnet-bench-wine: cannot load westnet.dll\n");
        return 1;
    }
    auto zanMain =
        reinterpret_cast<ZanMainFn>(reinterpret_cast<void*>(GetProcAddress(dll, "ZanMain")));
    if (zanMain == nullptr) {
        std::fprintf(stderr, "westnet-bench-wine: westnet.dll has no ZanMain\n");
        return 1;
    }

    westnet::ChannelState channel{};
    westnet::OpenParams open{};
    std::snprintf(open.device, sizeof open.device, "%s", argv[1]);
    open.enabled = 1;
    open.replyTimeout = 100;
    open.line = westnet::LineParams{9600, 8, 0, 0};
    westnet::DriverRequest request{};
    request.channel = &channel;
    request.command = 1;
    request.params = &open;
    if (zanMain(&request) != westnet::ResOk) {
        std::fprintf(stderr, "westnet-bench-wine: cannot open %s\n", argv[1]);
        return 1;
    }

    unsigned char values[8] = {};
    westnet::PointIo point{};
    point.station = 1;
    point.reg = 40000;
    point.kind = westnet::KIND_WORD;
    point.values = values;
    request.command = 5;
    request.params = &point;

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> samples;
    for (long i = 0; i < warmup + count; ++i) {
        const double start = NowUs(frequency);
        if (zanMain(&request) != westnet::ResOk) {
            std::fprintf(stderr, "westnet-bench-wine: word read %ld failed\n", i);
            return 1;
        }
        if (i >= warmup) {
            samples.push_back(NowUs(frequency) - start);
        }
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    std::printf(
        "RESULT kind=roundtrip impl=westnet-wine exchange=word_read n=%u median_us=%.2f "
        "p99_us=%.2f min_us=%.2f\n",
        static_cast<unsigned>(n), samples[n / 2], samples[std::min(n - 1, n * 99 / 100)],
        samples[0]);

    request.command = 12;
    request.params = nullptr;
    zanMain(&request);
    FreeLibrary(dll);
    return 0;
}
