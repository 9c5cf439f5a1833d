// The address parser's cost per address, through ZanMain as the host calls
// it (commands 3 and 4), for the shapes of text a host configures: word,
// bit and block points, a bit number that runs into the unchecked positions,
// and the two kinds of rejection (early, at the character check; late, at the
// range check).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include "entry/records.h"
#include "entry/zanmain.h"

namespace {

using westnet::DriverRequest;
using westnet::PointAddress;

void Parse(benchmark::State& state, const char* text, std::int32_t command, std::int32_t dataType,
           std::int32_t expected) {
    char buffer[16] = {};
    std::memcpy(buffer, text, std::strlen(text));
    PointAddress address{};
    address.text = buffer;
    address.dataType = dataType;
    address.count = 64;
    DriverRequest request{};
    request.command = command;
    request.params = &address;
    for (auto _ : state) {
        address.bit = 0;
        const std::int32_t result = ZanMain(&request);
        if (result != expected) {
            state.SkipWithError("unexpected result");
            break;
        }
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

constexpr std::int32_t kParsePoint = 3;
constexpr std::int32_t kParseBlock = 4;
constexpr std::int32_t kWordType = 0;
constexpr std::int32_t kBitType = 6;

}  // namespace

BENCHMARK_CAPTURE(Parse, word_point, "0140001", kParsePoint, kWordType, westnet::ResOk);
BENCHMARK_CAPTURE(Parse, bit_point, "024000116", kParsePoint, kBitType, westnet::ResOk);
BENCHMARK_CAPTURE(Parse, bit_point_late_digits, "0100001  5", kParsePoint, kBitType,
                  westnet::ResOk);
BENCHMARK_CAPTURE(Parse, block_64, "0140001", kParseBlock, kWordType, westnet::ResOk);
BENCHMARK_CAPTURE(Parse, rejected_character, "0170000", kParsePoint, kWordType, westnet::ResBad);
BENCHMARK_CAPTURE(Parse, rejected_register, "0165536", kParsePoint, kWordType, westnet::ResBad);

BENCHMARK_MAIN();
