// The Sparkplug B front end of westnet-gateway: the gateway as an edge node
// ([gateway] sparkplug_node in sparkplug_group), each station a device
// (LINE-sNN) whose metrics are its points, on a broker connection of its own
// (node.h has the state machine, payload.h the messages).
//
// Threads: libmosquitto's network loop runs on the connection thread, which
// also reconnects, each time with the next bdSeq in the NDEATH it leaves as
// its will; the publisher thread hands what the edge node queued to the
// library, in order. Every Sparkplug message but an NDEATH (the will, or one
// the gateway sends before it leaves) goes at QoS 0 and unretained, as
// Sparkplug hosts expect; nothing of a lost connection is sent on the next
// one, which is born again from the values then. The primary host going
// offline ends the connection: NDEATH, DISCONNECT, and a new connection with
// the next bdSeq that waits for the host.
#pragma once

#include <chrono>
#include <memory>

#include "scan/service.h"

namespace westnet::gateway {

struct SparkplugTuning {
    std::chrono::milliseconds reconnectMin{1000};
    std::chrono::milliseconds reconnectMax{30000};
    int keepaliveS = 30;
    std::size_t historyMax = 10000;  // metric values held while no host takes them
};

std::unique_ptr<FrontEnd> MakeSparkplugFrontEnd(Service& service,
                                                const SparkplugTuning& tuning = {});

namespace sparkplug {
// As the daemon builds its front ends: null when [gateway] sparkplug is "".
std::unique_ptr<FrontEnd> MakeSparkplugFrontEnd(const GatewayConfig& config, Service& service);
}  // namespace sparkplug

}  // namespace westnet::gateway
