// Fuzzes the plant file reader (plant/reader.h) on any text, with the
// driver's own address parse commands behind it, as the daemon reads a
// plant file at start and on SIGHUP.
//
// Checked, besides the sanitizers' own checks:
// - the reader answers: a plant, or at least one error, never both;
// - a plant it accepts holds what the rest of the daemon relies on: at
//   least one line, names unique, every point's block count 0 to 64 and bit
//   -1 to 15, listen addresses that parse again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "plant/listen.h"
#include "plant/reader.h"

namespace {

using namespace westnet::gateway;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_plant: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Past a few KB the parser only spends time on what smaller inputs show.
    if (size > 16384) {
        return 0;
    }
    static westnet::host::Session* parser = new westnet::host::Session(&ZanMain);
    const std::string text(reinterpret_cast<const char*>(data), size);
    Plant plant;
    std::vector<std::string> errors;
    const bool ok = ReadPlantText(text, "fuzz.toml", *parser, plant, errors);
    if (ok != errors.empty()) {
        Fail(ok ? "accepted with errors" : "refused without an error");
    }
    if (!ok) {
        return 0;
    }
    if (plant.lines.empty()) {
        Fail("accepted a plant without a line");
    }
    std::set<std::string> names;
    for (const LineConfig& line : plant.lines) {
        if (!names.insert(line.name).second) {
            Fail("two lines of one name");
        }
        for (const PointConfig& point : line.points) {
            if (point.count < 0 || point.count > 64 || point.bit < -1 || point.bit > 15) {
                Fail("a point's count or bit out of range");
            }
        }
    }
    ListenAddress address;
    std::string error;
    for (const std::string* listen : {&plant.gateway.http, &plant.gateway.modbus}) {
        if (!listen->empty() && !ParseListenAddress(*listen, address, error)) {
            Fail("an accepted listen address does not parse again");
        }
    }
    return 0;
}
