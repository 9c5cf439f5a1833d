// The channel lifecycle commands: open, purge, close, reopen, reconfigure,
// and the driver's description. They keep everything in the host's
// ChannelState and reach the device only through the serial line layer.
//
// Besides the result code, the one report to the host is the open failure of
// CmdOpen through err().
#include <cstdint>
#include <cstring>

#include "entry/commands.h"
#include "entry/driver_info.h"
#include "entry/host.h"
#include "entry/records.h"
#include "serial/serial.h"

namespace westnet {

// Opens a port from stored or new settings; the handle, or 0 when the device
// cannot be opened. Shared by CmdOpen, CmdReopen and CmdReconfigure.
Handle OpenFromSettings(const PortSettings& settings);

namespace {

constexpr std::int32_t kOpenFailureCode = 32;
constexpr const char kOpenFailureFormat[] = "ZAN%s : Fail to open %s";
constexpr ControlFlags kOpenControlFlags = 0x0002;  // RTS raised, DTR off

// A device name must end within its 12-byte field: an unterminated one would
// make every copy or open read past the host's record.
bool NameFits(const char (&name)[DEVICE_NAME_SIZE]) {
    return std::memchr(name, '\0', DEVICE_NAME_SIZE) != nullptr;
}

// Copies a name up to and including its terminator; the bytes after it in
// `to` keep their values. `from` must fit (NameFits).
void CopyName(char (&to)[DEVICE_NAME_SIZE], const char (&from)[DEVICE_NAME_SIZE]) {
    std::size_t i = 0;
    while (from[i] != '\0') {
        to[i] = from[i];
        ++i;
    }
    to[i] = '\0';
}

// Puts a newly opened handle in place of the channel's port. A handle the
// channel still held is closed, or nobody could ever close it again; the
// result of that close does not matter to the command.
void InstallPort(ChannelState& channel, Handle handle) {
    const Handle replaced = channel.port;
    channel.port = handle;
    if (replaced != 0 && replaced != handle) {
        SerialClose(replaced);
    }
}

// Shared by CmdClose, CmdShutdown and the close inside CmdReconfigure. A
// refused close keeps the handle, so that a later close tries again.
std::int32_t ClosePort(ChannelState& channel) {
    if (channel.port == 0) {
        return ResOk;
    }
    if (SerialClose(channel.port) != SerOk) {
        return ResFail;
    }
    channel.port = 0;
    return ResOk;
}

}  // namespace

Handle OpenFromSettings(const PortSettings& settings) {
    // A stored name comes from the host's record when no open has stored one.
    if (!NameFits(settings.device)) {
        return 0;
    }
    Handle handle = 0;
    if (SerialOpen(settings.device, settings.line, settings.controlFlags, &handle) != SerOk) {
        return 0;
    }
    return handle;
}

std::int32_t CmdOpen(DriverRequest* request) {
    ChannelState* channel = request->channel;
    const auto* params = static_cast<const OpenParams*>(request->params);
    if (channel == nullptr || params == nullptr) {
        return ResBad;
    }

    channel->selectedStation = STATION_NONE;
    channel->enabled = params->enabled;
    if (params->enabled == 0) {
        return ResOk;  // a disabled channel opens nothing and keeps its port
    }

    if (!NameFits(params->device)) {
        // Refused unopened; the message names what fits of it.
        char shown[DEVICE_NAME_SIZE];
        std::memcpy(shown, params->device, DEVICE_NAME_SIZE - 1);
        shown[DEVICE_NAME_SIZE - 1] = '\0';
        err(kOpenFailureCode, kOpenFailureFormat, DRIVER_NAME, shown);
        return ResFail;
    }

    PortSettings settings{};
    CopyName(settings.device, params->device);
    settings.line = params->line;
    settings.controlFlags = kOpenControlFlags;

    const Handle handle = OpenFromSettings(settings);
    if (handle == 0) {
        err(kOpenFailureCode, kOpenFailureFormat, DRIVER_NAME, params->device);
        return ResFail;
    }

    InstallPort(*channel, handle);
    // A time-out below one unit would give the port no wait at all: the port
    // keeps the one second it was opened with, the channel still records it.
    if (params->replyTimeout >= 1) {
        SerialSetReplyTimeout(handle, params->replyTimeout);
    }
    channel->settings = settings;
    channel->replyTimeout = params->replyTimeout;
    return ResOk;
}

std::int32_t CmdPurge(DriverRequest* request) {
    ChannelState* channel = request->channel;
    if (channel == nullptr) {
        return ResBad;
    }
    if (channel->port != 0) {
        SerialPurgeInput(channel->port);
    }
    return ResOk;
}

std::int32_t CmdClose(DriverRequest* request) {
    ChannelState* channel = request->channel;
    if (channel == nullptr) {
        return ResBad;
    }
    return ClosePort(*channel);
}

std::int32_t CmdShutdown(DriverRequest* request) {
    return CmdClose(request);
}

// Opens from what the channel stores. The port runs with the default reply
// time-out of an open, and the station selected before a close still counts
// as selected.
std::int32_t CmdReopen(DriverRequest* request) {
    ChannelState* channel = request->channel;
    if (channel == nullptr) {
        return ResBad;
    }
    const Handle handle = OpenFromSettings(channel->settings);
    if (handle == 0) {
        return ResFail;
    }
    channel->enabled = 1;
    InstallPort(*channel, handle);
    return ResOk;
}

std::int32_t CmdGetInfo(DriverRequest* request) {
    auto* info = static_cast<DriverInfo*>(request->params);
    if (info == nullptr) {
        return ResBad;
    }
    info->value0 = 70;
    info->name = DRIVER_NAME;
    info->banner = DRIVER_BANNER;
    info->value12 = 40;
    info->value16 = 4;
    info->line = LineParams{9600, 8, 2, 1};  // 9600 baud, 8 data bits, two stop bits, odd
    info->value28 = 3;
    return ResOk;
}

// Takes new device and line settings and opens them. The names are compared
// case for case: another spelling counts as another device, and the old port
// is closed first. With the same name the open port stays and the open of the
// still-open device fails.
std::int32_t CmdReconfigure(DriverRequest* request) {
    ChannelState* channel = request->channel;
    const auto* params = static_cast<const ReconfigureParams*>(request->params);
    if (channel == nullptr || params == nullptr) {
        return ResBad;
    }
    if (!NameFits(params->device)) {
        return ResFail;
    }

    if (params->replyTimeout != 0) {
        channel->replyTimeout = params->replyTimeout;  // recorded, not applied
    }
    // Bounded: the stored name may be the host's unterminated initial bytes.
    if (std::strncmp(params->device, channel->settings.device, DEVICE_NAME_SIZE) != 0) {
        ClosePort(*channel);  // a refused close leaves the old handle in port
    }
    CopyName(channel->settings.device, params->device);
    channel->settings.line = params->line;

    const Handle handle = OpenFromSettings(channel->settings);
    if (handle == 0) {
        return ResFail;
    }
    InstallPort(*channel, handle);
    return ResOk;
}

}  // namespace westnet
