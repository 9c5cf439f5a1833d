// The floor for the gateway's Modbus TCP figures: a bare libmodbus TCP
// server answering from a plain mapping, one thread per client (the shape of
// the gateway's own front end), nothing else. Prints "port: N" once it
// listens, then serves until killed.
//
//   modbus_bare [--port N]     (0, the default: any free port)
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "bench_util.h"

namespace {

// Holding registers 0-65535, register r holding r: read-only once built,
// so every client thread may reply from it.
modbus_mapping_t* g_map = nullptr;

void Serve(int fd) {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", MODBUS_TCP_DEFAULT_PORT);
    if (ctx == nullptr) {
        close(fd);
        return;
    }
    modbus_set_socket(ctx, fd);
    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        const int rc = modbus_receive(ctx, query);
        if (rc > 0) {
            modbus_reply(ctx, query, rc, g_map);
        } else if (rc == -1) {
            break;
        }
    }
    close(fd);
    modbus_free(ctx);
}

}  // namespace

int main(int argc, char** argv) {
    const int port = static_cast<int>(westnet::bench::OptionInt(argc, argv, "--port", 0));
    g_map = modbus_mapping_new(0, 0, 65536, 0);
    if (g_map == nullptr) {
        return 1;
    }
    for (int r = 0; r < 65536; ++r) {
        g_map->tab_registers[r] = static_cast<std::uint16_t>(r);
    }
    modbus_t* listener = modbus_new_tcp("127.0.0.1", port);
    const int s = listener != nullptr ? modbus_tcp_listen(listener, 128) : -1;
    if (s < 0) {
        std::fprintf(stderr, "modbus_bare: cannot listen: %s\n", modbus_strerror(errno));
        return 1;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
    std::printf("port: %d\n", ntohs(bound.sin_port));
    std::fflush(stdout);
    for (;;) {
        const int fd = accept(s, nullptr, nullptr);
        if (fd >= 0) {
            std::thread(Serve, fd).detach();
        }
    }
}
