// The peer the driver's round trip is measured against: a libmodbus RTU
// master and a libmodbus RTU slave of ours over one pseudo-terminal pair.
//
// The arrangement mirrors the driver's own bench: the master opens the
// terminal side by name (as the driver opens its device) and configures it;
// the slave is a separate process on the multiplexer side (as westnet-sim is)
// and answers at once. The exchanges match the driver's in size and shape:
//   word_read   fc 3, one register         (8-byte request, 7-byte reply)
//   bit_write   fc 6, one register         (8-byte request, 8-byte reply)
//   block_read  fc 3, 64 registers         (8-byte request, 133-byte reply)
//
//   modbus_peer [--count N] [--warmup N]
#include <errno.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "bench_util.h"

namespace {

using westnet::bench::NowUs;

constexpr int kSlaveId = 1;
constexpr int kRegisters = 128;
constexpr int kBlock = 64;

// The slave: answers every request on the multiplexer side until the master
// side goes away.
[[noreturn]] void RunSlave(int master, const char* path) {
    modbus_t* ctx = modbus_new_rtu(path, 115200, 'N', 8, 1);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, kRegisters, 0);
    if (ctx == nullptr || map == nullptr) {
        _exit(1);
    }
    for (int i = 0; i < kRegisters; ++i) {
        map->tab_registers[i] = static_cast<std::uint16_t>(0x1111 * i);
    }
    // No modbus_connect: the multiplexer side has no line to configure.
    modbus_set_socket(ctx, master);
    modbus_set_slave(ctx, kSlaveId);
    std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const int rc = modbus_receive(ctx, query);
        if (rc > 0) {
            modbus_reply(ctx, query, rc, map);
        } else if (rc == -1 && errno != EMBBADCRC && errno != EMBBADDATA) {
            break;  // the master closed its side
        }
    }
    _exit(0);
}

bool Measure(const char* exchange, long warmup, long count, const std::function<bool()>& once) {
    for (long i = 0; i < warmup; ++i) {
        if (!once()) {
            std::fprintf(stderr, "modbus_peer: %s failed during warm-up: %s\n", exchange,
                         modbus_strerror(errno));
            return false;
        }
    }
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        const double start = NowUs();
        if (!once()) {
            std::fprintf(stderr, "modbus_peer: %s failed: %s\n", exchange, modbus_strerror(errno));
            return false;
        }
        samples.push_back(NowUs() - start);
    }
    westnet::bench::Summary s = westnet::bench::Summarise(samples);
    westnet::bench::PrintTiming("roundtrip", "libmodbus", "libmodbus", exchange, s);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const long count = westnet::bench::OptionInt(argc, argv, "--count", 2000);
    const long warmup = westnet::bench::OptionInt(argc, argv, "--warmup", 100);

    int master = -1;
    int slave = -1;
    char path[128] = {};
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
        std::perror("modbus_peer: openpty");
        return 1;
    }
    const pid_t child = fork();
    if (child < 0) {
        std::perror("modbus_peer: fork");
        return 1;
    }
    if (child == 0) {
        close(slave);
        RunSlave(master, path);
    }
    close(master);

    modbus_t* ctx = modbus_new_rtu(path, 115200, 'N', 8, 1);
    if (ctx == nullptr || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "modbus_peer: cannot open %s: %s\n", path, modbus_strerror(errno));
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        return 1;
    }
    // The terminal side stays open through our own descriptor as well, so
    // the slave never sees a hang-up between two exchanges.
    modbus_set_slave(ctx, kSlaveId);
    modbus_set_response_timeout(ctx, 1, 0);

    std::uint16_t regs[kBlock] = {};
    std::uint16_t value = 0;
    bool ok = Measure("word_read", warmup, count,
                      [&] { return modbus_read_registers(ctx, 5, 1, regs) == 1; }) &&
              Measure("bit_write", warmup, count,
                      [&] { return modbus_write_register(ctx, 5, value++ & 1U) == 1; }) &&
              Measure("block_read", warmup, count,
                      [&] { return modbus_read_registers(ctx, 0, kBlock, regs) == kBlock; });

    modbus_close(ctx);
    modbus_free(ctx);
    close(slave);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    return ok ? 0 : 1;
}
