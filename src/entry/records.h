// The records that cross the boundary between the host and the driver, the
// result codes and the constants every subsystem shares. The host allocates
// and owns every record; the driver writes only their output fields.
//
// The records have one definition: the public header the host compiles
// against. The driver takes them from there, so that what it was built with
// is what the host sees. The layouts are those of 32-bit Windows code:
// little-endian, 32-bit pointers and handles; on the shipped 32-bit build
// every offset is checked below, and a 64-bit native build keeps the natural
// layout of the same fields.
#pragma once

#include <westnet/westnet.h>
#include <westnet/wire.h>

#include <cstddef>
#include <cstdint>

#include "serial/platform.h"
#include "serial/serial.h"

namespace westnet {

// Results of every command, handed to the host unchanged; the header's
// constants with the types the driver computes in.
constexpr std::int32_t ResOk = ::ResOk;
constexpr std::int32_t ResBad = ::ResBad;
constexpr std::int32_t ResFail = ::ResFail;

constexpr std::uint8_t STATION_NONE = ::STATION_NONE;
constexpr std::int32_t KIND_BIT = ::KIND_BIT;
constexpr std::int32_t KIND_WORD = ::KIND_WORD;
constexpr std::int32_t BLOCK_MAX = ::BLOCK_MAX;
constexpr std::size_t DEVICE_NAME_SIZE = WESTNET_DEVICE_SIZE;
constexpr int MAX_ATTEMPTS = wire::kAttempts;
static_assert(STATION_NONE == wire::kNoStation && BLOCK_MAX == wire::kBlockMaxWords,
              "the wire facts programs plan with are the driver's");

using ::ChannelState;
using ::DriverInfo;
using ::DriverRequest;
using ::OpenParams;
using ::PointAddress;
using ::PointIo;
using ::PortSettings;
using ::ReconfigureParams;

static_assert(sizeof(Handle) == sizeof(WestnetHandle), "a channel's handle is the platform's");

}  // namespace westnet
