// The plant the MQTT front-end tests use with the fake service: one line,
// two stations, a word point with a deadband, a bit point, a block and a
// read-only word.
#pragma once

#include <string>

#include "plant/plant.h"

namespace westnet::gateway::testing {

inline PointConfig TestPoint(const std::string& name, int station, int reg, int bit, int count,
                             bool writable, double deadband = 0) {
    PointConfig point;
    point.name = name;
    point.address = name;
    point.station = station;
    point.reg = reg;
    point.bit = bit;
    point.count = count;
    point.writable = writable;
    point.deadband = deadband;
    return point;
}

enum TestPoints { kTemperature, kPump, kBlock, kLevel };

inline Plant TestPlant(const std::string& brokerUrl) {
    Plant plant;
    plant.path = "test.toml";
    plant.gateway.http = "";
    plant.gateway.modbus = "";
    plant.gateway.mqtt = brokerUrl;
    // Today's behaviour: the store-and-forward buffer has tests of its own.
    plant.gateway.mqttBufferMb = 0;
    LineConfig line;
    line.name = "north";
    line.points = {TestPoint("boiler/temperature", 1, 0, -1, 0, true, 5),
                   TestPoint("pump", 1, 1, 3, 0, true), TestPoint("block", 2, 10, -1, 3, true),
                   TestPoint("level", 2, 20, -1, 0, false)};
    plant.lines.push_back(line);
    return plant;
}

}  // namespace westnet::gateway::testing
