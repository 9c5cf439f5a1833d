// The kernel's own tcp_info, which has the byte counts the C library's lacks.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace westnet::gateway::http {

std::uint64_t SocketBytesReceived(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
        return 0;
    }
    return info.tcpi_bytes_received;
}

}  // namespace westnet::gateway::http
