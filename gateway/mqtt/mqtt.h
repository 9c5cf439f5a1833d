// The MQTT front end of westnet-gateway. Every point's value, every
// station's state and the gateway's own status go to a broker as retained
// messages; writes come back on each point's /set topic and their results go
// out on /result (topics.h lists the topics, payload.h their payloads).
//
// The scan never waits for the broker: the listener only decides whether a
// reading is worth a message and puts it into a queue that keeps the latest
// message per topic (outbox.h). Two threads of the front end do the rest:
// the connection thread runs libmosquitto's network loop and reconnects with
// a back-off; the publisher hands queued messages to it, a bounded number
// at a time, republishes everything on every (re)connection and each point
// again every mqtt_republish_s, and keeps the statistics.
#pragma once

#include <chrono>
#include <memory>

#include "scan/service.h"

namespace westnet::gateway {

// How the front end paces itself; the defaults are the daemon's.
struct MqttTuning {
    // Reconnection delays: the first after a lost connection, doubling after
    // each failed attempt up to the last.
    std::chrono::milliseconds reconnectMin{1000};
    std::chrono::milliseconds reconnectMax{30000};
    int keepaliveS = 30;
    // An attempt the broker has not accepted by then is given up: a broker
    // that takes the connection but never answers would hold it for ever.
    std::chrono::milliseconds connectTimeout{30000};
    // How long Stop waits for the broker to take the retained "offline".
    std::chrono::milliseconds farewell{2000};
};

// Built from the plant's [gateway] mqtt_* keys; Start fails when mqtt is "".
std::unique_ptr<FrontEnd> MakeMqttFrontEnd(Service& service, const MqttTuning& tuning = {});

namespace mqtt {
// As the daemon builds its front ends: null when [gateway] mqtt is "".
std::unique_ptr<FrontEnd> MakeMqttFrontEnd(const GatewayConfig& config, Service& service);
}  // namespace mqtt

}  // namespace westnet::gateway
