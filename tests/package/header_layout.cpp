// The public header is the driver's own definition of the records: the driver
// takes them from it, so they are the same types, not copies that could
// drift. Its offsets are asserted by the header itself wherever pointers are
// 32 bits wide. Nothing runs: the checks are the compile (see
// check-header.sh).
#include <cstddef>
#include <type_traits>

#include "entry/records.h"
#include "westnet/westnet.h"
#include "westnet/wire.h"

#define SAME_TYPE(type) \
    static_assert(std::is_same<::type, westnet::type>::value, #type " is the header's record")
SAME_TYPE(LineParams);
SAME_TYPE(DriverRequest);
SAME_TYPE(PortSettings);
SAME_TYPE(ChannelState);
SAME_TYPE(OpenParams);
SAME_TYPE(ReconfigureParams);
SAME_TYPE(DriverInfo);
SAME_TYPE(PointAddress);
SAME_TYPE(PointIo);

static_assert(sizeof(::PortSettings) == 22 && offsetof(::PortSettings, line) == 12 &&
                  offsetof(::PortSettings, controlFlags) == 20,
              "PortSettings has no gaps on any target");

// The handle is as wide as the driver's, and both are unsigned.
static_assert(std::is_same<WestnetHandle, westnet::Handle>::value, "handle type");
static_assert(std::is_same<ControlFlags, westnet::ControlFlags>::value, "control flags type");

static_assert(ResOk == westnet::ResOk && ResBad == westnet::ResBad && ResFail == westnet::ResFail,
              "result codes");
static_assert(STATION_NONE == westnet::STATION_NONE && KIND_BIT == westnet::KIND_BIT &&
                  KIND_WORD == westnet::KIND_WORD && BLOCK_MAX == westnet::BLOCK_MAX &&
                  WESTNET_DEVICE_SIZE == westnet::DEVICE_NAME_SIZE,
              "shared constants");
static_assert(westnet::wire::kAttempts == westnet::MAX_ATTEMPTS &&
                  westnet::wire::kNoStation == STATION_NONE,
              "the wire facts are the driver's");

// The entry point's type as the driver defines it (the calling convention is
// the header's own; the DLL's ret $4 is checked by scripts/check-dll).
static_assert(
    std::is_same<decltype(&ZanMain), std::int32_t(WESTNET_CALL*)(::DriverRequest*)>::value,
    "ZanMain");

// The cross compile must really be checking the host's layout.
#ifdef WESTNET_EXPECT_HOST_LAYOUT
static_assert(sizeof(void*) == 4, "compiled for a target with 32-bit pointers");
#endif
