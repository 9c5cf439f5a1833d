// The public header must describe the very records the driver was built with:
// every field at the driver's offset and with the driver's width, every record
// of the driver's size, on whatever target this is compiled for (the 32-bit
// DLL's layout and the native library's alike), and every constant equal.
// Nothing runs: the checks are the compile (see check-header.sh).
#include <cstddef>
#include <type_traits>

#include "entry/records.h"
#include "westnet/westnet.h"

#define SAME_FIELD(type, field)                                              \
    static_assert(offsetof(::type, field) == offsetof(westnet::type, field), \
                  "offset of " #type "." #field);                            \
    static_assert(sizeof(::type::field) == sizeof(westnet::type::field),     \
                  "width of " #type "." #field)
#define SAME_SIZE(type) static_assert(sizeof(::type) == sizeof(westnet::type), "size of " #type)

// The offsets the 32-bit host relies on, where pointers are 32 bits wide.
constexpr bool kHost = sizeof(void*) == 4;
#define HOST_AT(type, field, offset) \
    static_assert(!kHost || offsetof(::type, field) == (offset), #type "." #field " at " #offset)
#define HOST_SIZE(type, size) static_assert(!kHost || sizeof(::type) == (size), "size of " #type)

SAME_SIZE(LineParams);
SAME_FIELD(LineParams, baudRate);
SAME_FIELD(LineParams, dataBits);
SAME_FIELD(LineParams, stopBits);
SAME_FIELD(LineParams, parity);
static_assert(sizeof(::LineParams) == 8 && offsetof(::LineParams, parity) == 6, "LineParams");

SAME_SIZE(DriverRequest);
SAME_FIELD(DriverRequest, channel);
SAME_FIELD(DriverRequest, command);
SAME_FIELD(DriverRequest, hostReserved);
SAME_FIELD(DriverRequest, params);
HOST_AT(DriverRequest, channel, 0);
HOST_AT(DriverRequest, command, 4);
HOST_AT(DriverRequest, hostReserved, 8);
HOST_AT(DriverRequest, params, 16);
HOST_SIZE(DriverRequest, 20);

SAME_SIZE(PortSettings);
SAME_FIELD(PortSettings, device);
SAME_FIELD(PortSettings, line);
SAME_FIELD(PortSettings, controlFlags);
static_assert(sizeof(::PortSettings) == 22 && offsetof(::PortSettings, line) == 12 &&
                  offsetof(::PortSettings, controlFlags) == 20,
              "PortSettings has no gaps on any target");

SAME_SIZE(ChannelState);
SAME_FIELD(ChannelState, selectedStation);
SAME_FIELD(ChannelState, replyTimeout);
SAME_FIELD(ChannelState, enabled);
SAME_FIELD(ChannelState, port);
SAME_FIELD(ChannelState, settings);
HOST_AT(ChannelState, selectedStation, 0);
HOST_AT(ChannelState, replyTimeout, 4);
HOST_AT(ChannelState, enabled, 8);
HOST_AT(ChannelState, port, 12);
HOST_AT(ChannelState, settings, 16);
HOST_AT(ChannelState, settings.controlFlags, 36);
HOST_SIZE(ChannelState, 40);

SAME_SIZE(OpenParams);
SAME_FIELD(OpenParams, device);
SAME_FIELD(OpenParams, enabled);
SAME_FIELD(OpenParams, replyTimeout);
SAME_FIELD(OpenParams, line);
HOST_AT(OpenParams, enabled, 12);
HOST_AT(OpenParams, replyTimeout, 16);
HOST_AT(OpenParams, line, 20);
HOST_SIZE(OpenParams, 28);

SAME_SIZE(ReconfigureParams);
SAME_FIELD(ReconfigureParams, device);
SAME_FIELD(ReconfigureParams, replyTimeout);
SAME_FIELD(ReconfigureParams, line);
HOST_AT(ReconfigureParams, replyTimeout, 12);
HOST_AT(ReconfigureParams, line, 16);
HOST_SIZE(ReconfigureParams, 24);

SAME_SIZE(DriverInfo);
SAME_FIELD(DriverInfo, value0);
SAME_FIELD(DriverInfo, name);
SAME_FIELD(DriverInfo, banner);
SAME_FIELD(DriverInfo, value12);
SAME_FIELD(DriverInfo, value16);
SAME_FIELD(DriverInfo, line);
SAME_FIELD(DriverInfo, value28);
HOST_AT(DriverInfo, name, 4);
HOST_AT(DriverInfo, banner, 8);
HOST_AT(DriverInfo, value12, 12);
HOST_AT(DriverInfo, value16, 16);
HOST_AT(DriverInfo, line, 20);
HOST_AT(DriverInfo, value28, 28);
HOST_SIZE(DriverInfo, 32);

SAME_SIZE(PointAddress);
SAME_FIELD(PointAddress, text);
SAME_FIELD(PointAddress, dataType);
SAME_FIELD(PointAddress, count);
SAME_FIELD(PointAddress, station);
SAME_FIELD(PointAddress, parsed);
SAME_FIELD(PointAddress, reg);
SAME_FIELD(PointAddress, bit);
SAME_FIELD(PointAddress, kind);
HOST_AT(PointAddress, text, 0);
HOST_AT(PointAddress, dataType, 8);
HOST_AT(PointAddress, count, 12);
HOST_AT(PointAddress, station, 16);
HOST_AT(PointAddress, parsed, 20);
HOST_AT(PointAddress, reg, 24);
HOST_AT(PointAddress, bit, 28);
HOST_AT(PointAddress, kind, 32);
HOST_SIZE(PointAddress, 36);

SAME_SIZE(PointIo);
SAME_FIELD(PointIo, station);
SAME_FIELD(PointIo, reg);
SAME_FIELD(PointIo, bit);
SAME_FIELD(PointIo, kind);
SAME_FIELD(PointIo, count);
SAME_FIELD(PointIo, values);
HOST_AT(PointIo, station, 8);
HOST_AT(PointIo, reg, 16);
HOST_AT(PointIo, bit, 20);
HOST_AT(PointIo, kind, 24);
HOST_AT(PointIo, count, 32);
HOST_AT(PointIo, values, 40);
HOST_SIZE(PointIo, 44);

// The handle is as wide as the driver's, and both are unsigned.
static_assert(std::is_same<WestnetHandle, westnet::Handle>::value, "handle type");
static_assert(std::is_same<ControlFlags, westnet::ControlFlags>::value, "control flags type");

static_assert(ResOk == westnet::ResOk && ResBad == westnet::ResBad && ResFail == westnet::ResFail,
              "result codes");
static_assert(STATION_NONE == westnet::STATION_NONE && KIND_BIT == westnet::KIND_BIT &&
                  KIND_WORD == westnet::KIND_WORD && BLOCK_MAX == westnet::BLOCK_MAX &&
                  WESTNET_DEVICE_SIZE == westnet::DEVICE_NAME_SIZE,
              "shared constants");

// The entry point's type as the driver defines it (the calling convention is
// the header's own; the DLL's ret $4 is checked by scripts/check-dll).
static_assert(
    std::is_same<decltype(&ZanMain), std::int32_t(WESTNET_CALL*)(::DriverRequest*)>::value,
    "ZanMain");

// The cross compile must really be checking the host's layout.
#ifdef WESTNET_EXPECT_HOST_LAYOUT
static_assert(kHost, "compiled for a target with 32-bit pointers");
#endif
