/* westnet.h - the records a host exchanges with the WestNet II Data HighWay
 * driver (westnet.dll, libwestnet.so) through its one entry point, ZanMain.
 *
 * Self-contained C (C99 or later) and C++. The host allocates and owns every
 * record; the driver writes only their output fields. On 32-bit Windows, the
 * DLL's own platform, the layouts are fixed: little-endian, 32-bit pointers
 * and handles, and the byte offsets noted below (checked at compile time
 * there). Elsewhere the same fields keep their natural layout, which is what
 * the native library was built with.
 *
 * docs/integrating.md describes every command and field.
 */
#ifndef WESTNET_WESTNET_H
#define WESTNET_WESTNET_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The calling convention of ZanMain: __stdcall on 32-bit Windows. */
#if defined(_WIN32) && !defined(_WIN64)
#define WESTNET_CALL __stdcall
#else
#define WESTNET_CALL
#endif

/* Result codes of every command. */
enum {
    ResOk = 0,  /* done, or nothing to do */
    ResBad = 1, /* data refused or corrupt, unknown command, missing record */
    ResFail = 2 /* the line failed */
};

/* Command codes (DriverRequest.command). 0, 8, 9 and above 15 have none. */
enum {
    CmdOpen = 1,
    CmdPurge = 2,
    CmdParsePoint = 3,
    CmdParseBlock = 4,
    CmdReadPoint = 5,
    CmdReadBlock = 6,
    CmdWritePoint = 7,
    CmdWriteBlock = 10,
    CmdShutdown = 11,
    CmdClose = 12,
    CmdReopen = 13,
    CmdGetInfo = 14,
    CmdReconfigure = 15
};

enum {
    STATION_NONE = 255, /* ChannelState.selectedStation: no station selected */
    KIND_BIT = 1,       /* PointAddress.kind, PointIo.kind */
    KIND_WORD = 16,
    BLOCK_MAX = 64,           /* largest block CmdParseBlock accepts */
    WESTNET_DEVICE_SIZE = 12, /* device name field: NUL-terminated, 11 characters */
    WESTNET_DATA_TYPE_BIT = 6 /* PointAddress.dataType of a bit point */
};

/* ControlFlags masks (PortSettings.controlFlags); first match wins. */
enum {
    WESTNET_DTR_ON = 0x0101,
    WESTNET_DTR_HANDSHAKE = 0x8000,
    WESTNET_RTS_ON = 0x0202,
    WESTNET_RTS_HANDSHAKE = 0x1000,
    WESTNET_RTS_TOGGLE = 0x2000
};

/* A device handle: 32 bits in the DLL; 0 means no port open. */
typedef uintptr_t WestnetHandle;
typedef uint16_t ControlFlags;

/* Line parameters, 8 bytes. The stop-bits word comes before the parity word. */
typedef struct LineParams {
    uint16_t baudRate; /* 0: 1 to 65535 */
    uint16_t dataBits; /* 2: low byte used */
    uint16_t stopBits; /* 4: 0 one, 1 one and a half, 2 two */
    uint16_t parity;   /* 6: 0 none, 1 odd, 2 even, 3 mark, 4 space */
} LineParams;

struct ChannelState;

/* The block handed to ZanMain on every call, 20 bytes. */
typedef struct DriverRequest {
    struct ChannelState* channel; /* 0: not used by commands 3, 4, 14 */
    int32_t command;              /* 4 */
    uint8_t hostReserved[8];      /* 8: the host's; never read */
    void* params;                 /* 16: the command's parameter block */
} DriverRequest;

/* 22 bytes, no gaps. */
typedef struct PortSettings {
    char device[WESTNET_DEVICE_SIZE]; /* 0 */
    LineParams line;                  /* 12 */
    ControlFlags controlFlags;        /* 20 */
} PortSettings;

/* One per channel, owned by the host, 40 bytes (the driver uses 0 to 37).
 * Start it with 0 in port and hand the same record back on every call. */
typedef struct ChannelState {
    uint8_t selectedStation; /* 0 */
    uint8_t unused1[3];
    int32_t replyTimeout;  /* 4: tens of milliseconds */
    int32_t enabled;       /* 8 */
    WestnetHandle port;    /* 12 */
    PortSettings settings; /* 16 */
} ChannelState;

/* CmdOpen, 28 bytes. */
typedef struct OpenParams {
    char device[WESTNET_DEVICE_SIZE]; /* 0 */
    int32_t enabled;                  /* 12: 0 opens nothing */
    int32_t replyTimeout;             /* 16: tens of milliseconds */
    LineParams line;                  /* 20 */
} OpenParams;

/* CmdReconfigure, 24 bytes. */
typedef struct ReconfigureParams {
    char device[WESTNET_DEVICE_SIZE]; /* 0 */
    int32_t replyTimeout;             /* 12: 0 keeps the stored one */
    LineParams line;                  /* 16 */
} ReconfigureParams;

/* CmdGetInfo, 32 bytes; every field is a constant of the library. */
typedef struct DriverInfo {
    int32_t value0;     /* 0: 70 */
    const char* name;   /* 4: "WestNet II Data HighWay" */
    const char* banner; /* 8: 185 bytes, code page 437 */
    int32_t value12;    /* 12: 40 */
    int32_t value16;    /* 16: 4 */
    LineParams line;    /* 20: 9600 baud, 8 data bits, stop code 2, odd parity */
    int32_t value28;    /* 28: 3 */
} DriverInfo;

/* CmdParsePoint and CmdParseBlock, 36 bytes. */
typedef struct PointAddress {
    const char* text; /* 0: in, at least 12 readable bytes */
    int32_t unused4;
    int32_t dataType; /* 8: in, WESTNET_DATA_TYPE_BIT or a word point */
    int32_t count;    /* 12: in, words in a block (CmdParseBlock) */
    int32_t station;  /* 16: out, 0 to 99 */
    int32_t parsed;   /* 20: out, 1 after a parse that passed */
    int32_t reg;      /* 24: out, zero-based register */
    int32_t bit;      /* 28: in/out, 0 to 15, or 255 for a word point */
    int32_t kind;     /* 32: out, KIND_BIT or KIND_WORD */
} PointAddress;

/* CmdReadPoint, CmdReadBlock, CmdWritePoint, CmdWriteBlock, 44 bytes. The
 * value buffer: a single point's 16-bit value at byte offset 2, a block's
 * words from byte offset 0. */
typedef struct PointIo {
    uint8_t hostReserved0[8];
    int32_t station; /* 8 */
    int32_t hostReserved12;
    int32_t reg;  /* 16: zero-based */
    int32_t bit;  /* 20: 0 to 15 */
    int32_t kind; /* 24: KIND_BIT or KIND_WORD (commands 5, 7) */
    int32_t hostReserved28;
    int32_t count; /* 32: words in a block (commands 6, 10), 1 to 96 */
    int32_t hostReserved36;
    void* values; /* 40 */
} PointIo;

/* The library's only export (ordinal 1, undecorated name in the DLL). */
int32_t WESTNET_CALL ZanMain(DriverRequest* request);

/* The fixed layouts, checked wherever pointers are 32 bits wide: every
 * compile of the DLL, of a 32-bit host and of the package checks them. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define WESTNET_STATIC_ASSERT(condition, what) static_assert(condition, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define WESTNET_STATIC_ASSERT(condition, what) _Static_assert(condition, what)
#else
/* C99: a negative array size stops the compile. */
#define WESTNET_STATIC_ASSERT_JOIN2(a, b) a##b
#define WESTNET_STATIC_ASSERT_JOIN(a, b) WESTNET_STATIC_ASSERT_JOIN2(a, b)
#define WESTNET_STATIC_ASSERT(condition, what) \
    typedef char WESTNET_STATIC_ASSERT_JOIN(westnet_layout_check_, __LINE__)[(condition) ? 1 : -1]
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
WESTNET_STATIC_ASSERT(sizeof(LineParams) == 8, "LineParams");
WESTNET_STATIC_ASSERT(offsetof(LineParams, parity) == 6, "LineParams.parity");
WESTNET_STATIC_ASSERT(offsetof(DriverRequest, channel) == 0, "DriverRequest.channel");
WESTNET_STATIC_ASSERT(offsetof(DriverRequest, command) == 4, "DriverRequest.command");
WESTNET_STATIC_ASSERT(offsetof(DriverRequest, hostReserved) == 8, "DriverRequest.hostReserved");
WESTNET_STATIC_ASSERT(offsetof(DriverRequest, params) == 16, "DriverRequest.params");
WESTNET_STATIC_ASSERT(sizeof(DriverRequest) == 20, "DriverRequest");
WESTNET_STATIC_ASSERT(sizeof(PortSettings) == 22, "PortSettings has no gaps");
WESTNET_STATIC_ASSERT(offsetof(PortSettings, line) == 12, "PortSettings.line");
WESTNET_STATIC_ASSERT(offsetof(PortSettings, controlFlags) == 20, "PortSettings.controlFlags");
WESTNET_STATIC_ASSERT(offsetof(ChannelState, selectedStation) == 0, "ChannelState.selectedStation");
WESTNET_STATIC_ASSERT(offsetof(ChannelState, replyTimeout) == 4, "ChannelState.replyTimeout");
WESTNET_STATIC_ASSERT(offsetof(ChannelState, enabled) == 8, "ChannelState.enabled");
WESTNET_STATIC_ASSERT(offsetof(ChannelState, port) == 12, "ChannelState.port");
WESTNET_STATIC_ASSERT(offsetof(ChannelState, settings) == 16, "ChannelState.settings");
WESTNET_STATIC_ASSERT(offsetof(ChannelState, settings.line) == 28, "ChannelState.settings.line");
WESTNET_STATIC_ASSERT(offsetof(ChannelState, settings.controlFlags) == 36,
                      "ChannelState.settings.controlFlags");
WESTNET_STATIC_ASSERT(sizeof(ChannelState) == 40, "ChannelState: bytes 0-37 used, then padding");
WESTNET_STATIC_ASSERT(offsetof(OpenParams, enabled) == 12, "OpenParams.enabled");
WESTNET_STATIC_ASSERT(offsetof(OpenParams, replyTimeout) == 16, "OpenParams.replyTimeout");
WESTNET_STATIC_ASSERT(offsetof(OpenParams, line) == 20, "OpenParams.line");
WESTNET_STATIC_ASSERT(sizeof(OpenParams) == 28, "size of OpenParams");
WESTNET_STATIC_ASSERT(offsetof(ReconfigureParams, replyTimeout) == 12,
                      "ReconfigureParams.replyTimeout");
WESTNET_STATIC_ASSERT(offsetof(ReconfigureParams, line) == 16, "ReconfigureParams.line");
WESTNET_STATIC_ASSERT(sizeof(ReconfigureParams) == 24, "size of ReconfigureParams");
WESTNET_STATIC_ASSERT(offsetof(DriverInfo, name) == 4, "DriverInfo.name");
WESTNET_STATIC_ASSERT(offsetof(DriverInfo, banner) == 8, "DriverInfo.banner");
WESTNET_STATIC_ASSERT(offsetof(DriverInfo, value12) == 12, "DriverInfo.value12");
WESTNET_STATIC_ASSERT(offsetof(DriverInfo, value16) == 16, "DriverInfo.value16");
WESTNET_STATIC_ASSERT(offsetof(DriverInfo, line) == 20, "DriverInfo.line");
WESTNET_STATIC_ASSERT(offsetof(DriverInfo, value28) == 28, "DriverInfo.value28");
WESTNET_STATIC_ASSERT(sizeof(DriverInfo) == 32, "DriverInfo");
WESTNET_STATIC_ASSERT(offsetof(PointAddress, text) == 0, "PointAddress.text");
WESTNET_STATIC_ASSERT(offsetof(PointAddress, dataType) == 8, "PointAddress.dataType");
WESTNET_STATIC_ASSERT(offsetof(PointAddress, count) == 12, "PointAddress.count");
WESTNET_STATIC_ASSERT(offsetof(PointAddress, station) == 16, "PointAddress.station");
WESTNET_STATIC_ASSERT(offsetof(PointAddress, parsed) == 20, "PointAddress.parsed");
WESTNET_STATIC_ASSERT(offsetof(PointAddress, reg) == 24, "PointAddress.reg");
WESTNET_STATIC_ASSERT(offsetof(PointAddress, bit) == 28, "PointAddress.bit");
WESTNET_STATIC_ASSERT(offsetof(PointAddress, kind) == 32, "PointAddress.kind");
WESTNET_STATIC_ASSERT(sizeof(PointAddress) == 36, "PointAddress");
WESTNET_STATIC_ASSERT(offsetof(PointIo, station) == 8, "PointIo.station");
WESTNET_STATIC_ASSERT(offsetof(PointIo, reg) == 16, "PointIo.reg");
WESTNET_STATIC_ASSERT(offsetof(PointIo, bit) == 20, "PointIo.bit");
WESTNET_STATIC_ASSERT(offsetof(PointIo, kind) == 24, "PointIo.kind");
WESTNET_STATIC_ASSERT(offsetof(PointIo, count) == 32, "PointIo.count");
WESTNET_STATIC_ASSERT(offsetof(PointIo, values) == 40, "PointIo.values");
WESTNET_STATIC_ASSERT(sizeof(PointIo) == 44, "PointIo");
#endif

#ifdef __cplusplus
}
#endif

#endif /* WESTNET_WESTNET_H */
