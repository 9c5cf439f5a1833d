/* The public header as a C host sees it: it must compile on its own as C99
 * and C11 without warnings, and on the 32-bit target (the DLL's) the offsets
 * the header asserts must hold. Nothing runs: the checks are the compile
 * (see check-header.sh). */
#include <westnet/westnet.h>

#ifdef WESTNET_EXPECT_HOST_LAYOUT
WESTNET_STATIC_ASSERT(sizeof(void*) == 4, "compiled for a target with 32-bit pointers");
#endif

/* Every offset the host relies on is checked by the header itself. */

/* A host's call, as C writes it. */
int32_t westnet_layout_example(ChannelState* channel, PointIo* io);
int32_t westnet_layout_example(ChannelState* channel, PointIo* io) {
    DriverRequest request = {0};
    request.channel = channel;
    request.command = CmdReadPoint;
    request.params = io;
    return ZanMain(&request);
}
