/* The public header as a C host sees it: it must compile on its own as C99
 * and C11 without warnings, and on the 32-bit target (the DLL's) every offset
 * the host relies on must hold. Nothing runs: the checks are the compile
 * (see check-header.sh). */
#include <westnet/westnet.h>

#ifdef WESTNET_EXPECT_HOST_LAYOUT
WESTNET_STATIC_ASSERT(sizeof(void*) == 4, "compiled for a target with 32-bit pointers");
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
#define AT(type, field, offset) \
    WESTNET_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field)
#define SIZE(type, size) WESTNET_STATIC_ASSERT(sizeof(type) == (size), "size of " #type)

AT(LineParams, dataBits, 2);
AT(LineParams, stopBits, 4);
AT(LineParams, parity, 6);
AT(DriverRequest, command, 4);
AT(DriverRequest, hostReserved, 8);
AT(DriverRequest, params, 16);
AT(ChannelState, replyTimeout, 4);
AT(ChannelState, enabled, 8);
AT(ChannelState, port, 12);
AT(ChannelState, settings.device, 16);
AT(ChannelState, settings.line, 28);
AT(ChannelState, settings.controlFlags, 36);
SIZE(ChannelState, 40);
AT(OpenParams, enabled, 12);
AT(OpenParams, replyTimeout, 16);
AT(OpenParams, line, 20);
AT(ReconfigureParams, replyTimeout, 12);
AT(ReconfigureParams, line, 16);
AT(DriverInfo, name, 4);
AT(DriverInfo, banner, 8);
AT(DriverInfo, value12, 12);
AT(DriverInfo, value16, 16);
AT(DriverInfo, line, 20);
AT(DriverInfo, value28, 28);
SIZE(DriverInfo, 32);
AT(PointAddress, dataType, 8);
AT(PointAddress, count, 12);
AT(PointAddress, station, 16);
AT(PointAddress, parsed, 20);
AT(PointAddress, reg, 24);
AT(PointAddress, bit, 28);
AT(PointAddress, kind, 32);
SIZE(PointAddress, 36);
AT(PointIo, station, 8);
AT(PointIo, reg, 16);
AT(PointIo, bit, 20);
AT(PointIo, kind, 24);
AT(PointIo, count, 32);
AT(PointIo, values, 40);
SIZE(PointIo, 44);
#endif

/* A host's call, as C writes it. */
int32_t westnet_layout_example(ChannelState* channel, PointIo* io);
int32_t westnet_layout_example(ChannelState* channel, PointIo* io) {
    DriverRequest request = {0};
    request.channel = channel;
    request.command = CmdReadPoint;
    request.params = io;
    return ZanMain(&request);
}
