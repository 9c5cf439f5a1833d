// The records that cross the boundary between the host and the driver, the
// result codes and the constants every subsystem shares. The host allocates
// and owns every record; the driver writes only their output fields.
//
// The layouts are those of 32-bit Windows code: little-endian, 32-bit
// pointers and handles. On the shipped 32-bit build every offset is checked
// below; a 64-bit native build keeps the natural layout of the same fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/platform.h"
#include "serial/serial.h"

namespace westnet {

// Results of every command, handed to the host unchanged.
constexpr std::int32_t ResOk = 0;
constexpr std::int32_t ResBad = 1;
constexpr std::int32_t ResFail = 2;

constexpr std::uint8_t STATION_NONE = 255;
constexpr int MAX_ATTEMPTS = 6;
constexpr std::int32_t KIND_BIT = 1;
constexpr std::int32_t KIND_WORD = 16;
constexpr std::int32_t BLOCK_MAX = 64;
constexpr std::size_t DEVICE_NAME_SIZE = 12;

struct DriverRequest {
    struct ChannelState* channel;
    std::int32_t command;
    std::uint8_t hostReserved[8];  // the host's; never read
    void* params;
};

struct PortSettings {
    char device[DEVICE_NAME_SIZE];  // NUL-terminated, at most 11 characters
    LineParams line;
    ControlFlags controlFlags;
};

struct ChannelState {
    std::uint8_t selectedStation;
    std::uint8_t unused1[3];
    std::int32_t replyTimeout;  // tens of milliseconds
    std::int32_t enabled;
    Handle port;  // 0 = no port open
    PortSettings settings;
};

struct OpenParams {
    char device[DEVICE_NAME_SIZE];
    std::int32_t enabled;
    std::int32_t replyTimeout;
    LineParams line;
};

struct ReconfigureParams {
    char device[DEVICE_NAME_SIZE];
    std::int32_t replyTimeout;  // 0 = keep the stored one
    LineParams line;
};

struct DriverInfo {
    std::int32_t value0;  // 70
    const char* name;
    const char* banner;
    std::int32_t value12;  // 40
    std::int32_t value16;  // 4
    LineParams line;
    std::int32_t value28;  // 3
};

struct PointAddress {
    const char* text;  // at least 12 readable bytes
    std::int32_t unused4;
    std::int32_t dataType;  // 6 = bit point
    std::int32_t count;
    std::int32_t station;
    std::int32_t parsed;
    std::int32_t reg;
    std::int32_t bit;
    std::int32_t kind;
};

struct PointIo {
    std::uint8_t hostReserved0[8];
    std::int32_t station;
    std::int32_t hostReserved12;
    std::int32_t reg;  // zero-based
    std::int32_t bit;
    std::int32_t kind;
    std::int32_t hostReserved28;
    std::int32_t count;
    std::int32_t hostReserved36;
    void* values;  // point: 16-bit value at byte 2; block: words from byte 0
};

// The host's layouts, checked wherever pointers are 32 bits wide.
constexpr bool kHostLayout = sizeof(void*) == 4;
#define WESTNET_AT(type, field, offset) \
    static_assert(!kHostLayout || offsetof(type, field) == (offset), #type "." #field)
#define WESTNET_SIZE(type, size) \
    static_assert(!kHostLayout || sizeof(type) == (size), "size of " #type)

WESTNET_AT(DriverRequest, channel, 0);
WESTNET_AT(DriverRequest, command, 4);
WESTNET_AT(DriverRequest, hostReserved, 8);
WESTNET_AT(DriverRequest, params, 16);
WESTNET_SIZE(DriverRequest, 20);

static_assert(sizeof(PortSettings) == 22, "PortSettings has no gaps");
static_assert(offsetof(PortSettings, line) == 12, "PortSettings.line");
static_assert(offsetof(PortSettings, controlFlags) == 20, "PortSettings.controlFlags");

WESTNET_AT(ChannelState, selectedStation, 0);
WESTNET_AT(ChannelState, replyTimeout, 4);
WESTNET_AT(ChannelState, enabled, 8);
WESTNET_AT(ChannelState, port, 12);
WESTNET_AT(ChannelState, settings, 16);
WESTNET_SIZE(ChannelState, 40);  // bytes 0-37 used, the rest is padding

static_assert(offsetof(OpenParams, enabled) == 12, "OpenParams.enabled");
static_assert(offsetof(OpenParams, replyTimeout) == 16, "OpenParams.replyTimeout");
static_assert(offsetof(OpenParams, line) == 20, "OpenParams.line");
static_assert(sizeof(OpenParams) == 28, "size of OpenParams");

static_assert(offsetof(ReconfigureParams, replyTimeout) == 12, "ReconfigureParams.replyTimeout");
static_assert(offsetof(ReconfigureParams, line) == 16, "ReconfigureParams.line");
static_assert(sizeof(ReconfigureParams) == 24, "size of ReconfigureParams");

WESTNET_AT(DriverInfo, name, 4);
WESTNET_AT(DriverInfo, banner, 8);
WESTNET_AT(DriverInfo, value12, 12);
WESTNET_AT(DriverInfo, value16, 16);
WESTNET_AT(DriverInfo, line, 20);
WESTNET_AT(DriverInfo, value28, 28);
WESTNET_SIZE(DriverInfo, 32);

WESTNET_AT(PointAddress, text, 0);
WESTNET_AT(PointAddress, dataType, 8);
WESTNET_AT(PointAddress, count, 12);
WESTNET_AT(PointAddress, station, 16);
WESTNET_AT(PointAddress, parsed, 20);
WESTNET_AT(PointAddress, reg, 24);
WESTNET_AT(PointAddress, bit, 28);
WESTNET_AT(PointAddress, kind, 32);
WESTNET_SIZE(PointAddress, 36);

WESTNET_AT(PointIo, station, 8);
WESTNET_AT(PointIo, reg, 16);
WESTNET_AT(PointIo, bit, 20);
WESTNET_AT(PointIo, kind, 24);
WESTNET_AT(PointIo, count, 32);
WESTNET_AT(PointIo, values, 40);
WESTNET_SIZE(PointIo, 44);

#undef WESTNET_AT
#undef WESTNET_SIZE

}  // namespace westnet
