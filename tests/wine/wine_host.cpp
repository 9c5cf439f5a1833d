// A 32-bit test host for the shipped westnet.dll, run under Wine against two
// westnet-sim stations: COM5 plays the plant, COM6 the same plant with a
// script of faults.
//
// It loads the DLL as the real host does, with LoadLibraryA and
// GetProcAddress("ZanMain"), and fills every record as raw bytes with
// explicit little-endian stores at the offsets of the host interface. It
// never includes the driver's headers, so a layout mistake in them shows
// here instead of cancelling itself out.
//
//   wine_host.exe [--dll PATH] [--plant COM5] [--faulty COM6] [--paced COM7]
//                 [--reads N]
//
// One line per check, "N passed, M failed" at the end; exit status 1 when
// any check failed.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using ZanMainFn = std::int32_t(WINAPI*)(void* request);

// Result codes and command codes of the interface.
constexpr std::int32_t kOk = 0;
constexpr std::int32_t kBad = 1;
constexpr std::int32_t kFail = 2;
enum : std::int32_t {
    kOpen = 1,
    kPurge = 2,
    kParsePoint = 3,
    kParseBlock = 4,
    kReadPoint = 5,
    kReadBlock = 6,
    kWritePoint = 7,
    kWriteBlock = 10,
    kShutdown = 11,
    kClose = 12,
    kReopen = 13,
    kGetInfo = 14,
    kReconfigure = 15,
};

int gPassed = 0;
int gFailed = 0;

void Check(bool ok, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", text);
    std::fflush(stdout);
    (ok ? gPassed : gFailed) += 1;
}

// Little-endian stores and loads at byte offsets.
void Put16(std::uint8_t* at, std::uint16_t v) {
    at[0] = static_cast<std::uint8_t>(v);
    at[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}
void PutPointer(std::uint8_t* at, const void* pointer) {
    Put32(at, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer)));
}
std::uint16_t Get16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}
std::uint32_t Get32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}
std::int32_t GetS32(const std::uint8_t* at) {
    return static_cast<std::int32_t>(Get32(at));
}
const void* GetPointer(const std::uint8_t* at) {
    return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(Get32(at)));
}

// Offsets of the records.
namespace request_at {
constexpr int kChannel = 0, kCommand = 4, kHost = 8, kParams = 16, kSize = 20;
}
namespace channel_at {
constexpr int kSelected = 0, kTimeout = 4, kEnabled = 8, kPort = 12, kDevice = 16, kLine = 28,
              kFlags = 36, kSize = 40;
}
namespace open_at {
constexpr int kDevice = 0, kEnabled = 12, kTimeout = 16, kLine = 20, kSize = 28;
}
namespace reconfigure_at {
constexpr int kDevice = 0, kTimeout = 12, kLine = 16, kSize = 24;
}
namespace info_at {
constexpr int kValue0 = 0, kName = 4, kBanner = 8, kValue12 = 12, kValue16 = 16, kLine = 20,
              kValue28 = 28, kSize = 32;
}
namespace address_at {
constexpr int kText = 0, kDataType = 8, kCount = 12, kStation = 16, kParsed = 20, kReg = 24,
              kBit = 28, kKind = 32, kSize = 36;
}
namespace io_at {
constexpr int kStation = 8, kReg = 16, kBit = 20, kKind = 24, kCount = 32, kValues = 40, kSize = 44;
}

// One line of LineParams: baud, data bits, stop-bits code, parity code.
struct Line {
    std::uint16_t baud, dataBits, stopBits, parity;
};
void PutLine(std::uint8_t* at, const Line& line) {
    Put16(at, line.baud);
    Put16(at + 2, line.dataBits);
    Put16(at + 4, line.stopBits);
    Put16(at + 6, line.parity);
}
bool LineIs(const std::uint8_t* at, const Line& line) {
    return Get16(at) == line.baud && Get16(at + 2) == line.dataBits &&
           Get16(at + 4) == line.stopBits && Get16(at + 6) == line.parity;
}

// ZanMain, called so that the stack pointer can be compared before and
// after: the Windows API convention has the callee remove its argument.
std::int32_t CallMeasured(ZanMainFn fn, void* request, std::int32_t* stackDelta) {
    std::int32_t result = 0;
    std::uint32_t before = 0;
    std::uint32_t after = 0;
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "pushl %[request]\n\t"
        "call *%[fn]\n\t"
        "movl %%esp, %%edi\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(result), "=&S"(before), "=&D"(after)
        : [fn] "r"(fn), [request] "r"(request)
        : "ecx", "edx", "memory", "cc");
    *stackDelta = static_cast<std::int32_t>(after - before);
    return result;
}

class Host {
public:
    explicit Host(ZanMainFn zanMain) : zanMain_(zanMain) {}

    // A request with the host's own bytes 8-15 set to garbage: the driver
    // must never read them.
    std::int32_t Call(std::uint8_t* channel, std::int32_t command, void* params) {
        alignas(4) std::uint8_t request[request_at::kSize];
        std::memset(request, 0, sizeof request);
        PutPointer(request + request_at::kChannel, channel);
        Put32(request + request_at::kCommand, static_cast<std::uint32_t>(command));
        std::memset(request + request_at::kHost, 0xA5, 8);
        PutPointer(request + request_at::kParams, params);
        return zanMain_(request);
    }

private:
    ZanMainFn zanMain_;
};

// The banner as the interface describes it, built here byte by byte.
std::string ExpectedBanner() {
    const std::string rule(41, '\xC4');
    return "\r\n" + std::string(3, ' ') + rule + std::string(17, ' ') + "\r\n" +
           std::string(3, ' ') + "Westnet II Data Highway, driver Installed." +
           std::string(13, ' ') + "\r\n" + std::string(3, ' ') + rule + std::string(14, ' ') +
           "\r\n";
}

// A channel record of the host: 40 bytes, port 0 when new.
struct Channel {
    alignas(4) std::uint8_t bytes[channel_at::kSize + 8];
    Channel() {
        std::memset(bytes, 0, sizeof bytes);
        std::memset(bytes + channel_at::kSize, 0xC3, 8);  // past the record: never touched
    }
    std::uint8_t selected() const { return bytes[channel_at::kSelected]; }
    std::uint32_t port() const { return Get32(bytes + channel_at::kPort); }
    bool tailIntact() const {
        for (int i = 0; i < 8; ++i) {
            if (bytes[channel_at::kSize + i] != 0xC3) {
                return false;
            }
        }
        return true;
    }
};

struct Point {
    std::int32_t station, reg, bit, kind;
};
constexpr std::int32_t kKindBit = 1;
constexpr std::int32_t kKindWord = 16;

// A PointIo with the host's own fields filled with garbage.
void FillIo(std::uint8_t* io, const Point& point, std::int32_t count, void* values) {
    std::memset(io, 0x5A, io_at::kSize);
    Put32(io + io_at::kStation, static_cast<std::uint32_t>(point.station));
    Put32(io + io_at::kReg, static_cast<std::uint32_t>(point.reg));
    Put32(io + io_at::kBit, static_cast<std::uint32_t>(point.bit));
    Put32(io + io_at::kKind, static_cast<std::uint32_t>(point.kind));
    Put32(io + io_at::kCount, static_cast<std::uint32_t>(count));
    PutPointer(io + io_at::kValues, values);
}

// A single point's value travels at byte 2 of a 4-byte buffer.
std::int32_t ReadPoint(Host& host, Channel& channel, const Point& point, std::uint16_t* value,
                       bool* headIntact = nullptr) {
    alignas(4) std::uint8_t io[io_at::kSize];
    std::uint8_t buffer[4] = {0xEE, 0xEE, 0, 0};
    FillIo(io, point, 0, buffer);
    const std::int32_t result = host.Call(channel.bytes, kReadPoint, io);
    *value = Get16(buffer + 2);
    if (headIntact != nullptr) {
        *headIntact = buffer[0] == 0xEE && buffer[1] == 0xEE;
    }
    return result;
}

std::int32_t WritePoint(Host& host, Channel& channel, const Point& point, std::uint16_t value) {
    alignas(4) std::uint8_t io[io_at::kSize];
    std::uint8_t buffer[4] = {0xEE, 0xEE, 0, 0};
    Put16(buffer + 2, value);
    FillIo(io, point, 0, buffer);
    return host.Call(channel.bytes, kWritePoint, io);
}

std::int32_t OpenChannel(Host& host, Channel& channel, const char* device, std::int32_t enabled,
                         std::int32_t timeout, const Line& line) {
    alignas(4) std::uint8_t params[open_at::kSize];
    std::memset(params, 0, sizeof params);
    std::strncpy(reinterpret_cast<char*>(params + open_at::kDevice), device, 11);
    Put32(params + open_at::kEnabled, static_cast<std::uint32_t>(enabled));
    Put32(params + open_at::kTimeout, static_cast<std::uint32_t>(timeout));
    PutLine(params + open_at::kLine, line);
    return host.Call(channel.bytes, kOpen, params);
}

std::string ReadFileText(const char* path) {
    std::string text;
    if (std::FILE* f = std::fopen(path, "rb")) {
        char chunk[256];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
            text.append(chunk, n);
        }
        std::fclose(f);
    }
    return text;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

struct Arguments {
    std::string dll = "westnet.dll";
    std::string plant = "COM5";
    std::string faulty = "COM6";
    std::string paced;  // a station that sends its replies at the line's speed
    int reads = 200;
};

// Word reads of 0140001 one after another: the median, minimum and maximum
// time of a whole ZanMain call, and a check that every one read 1234.
void MeasureRoundTrip(Host& host, Channel& channel, const char* label, int reads) {
    std::vector<double> times;
    int failures = 0;
    for (int i = 0; i < reads; ++i) {
        LARGE_INTEGER start, end;
        std::uint16_t value = 0;
        QueryPerformanceCounter(&start);
        const std::int32_t result =
            ReadPoint(host, channel, Point{1, 40000, 255, kKindWord}, &value);
        QueryPerformanceCounter(&end);
        failures += result != kOk || value != 1234;
        times.push_back(Milliseconds(start, end));
    }
    std::sort(times.begin(), times.end());
    if (!times.empty()) {
        const std::size_t n = times.size();
        const double median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
        std::printf(
            "ROUNDTRIP word read under Wine%s: median %.3f ms, min %.3f ms, max %.3f ms "
            "over %d reads\n",
            label, median, times.front(), times.back(), reads);
    }
    Check(failures == 0, "%d word reads in a row%s, all 1234 (%d failed)", reads, label, failures);
}

// ---------------------------------------------------------------------------

void CheckExport(HMODULE library, ZanMainFn zanMain) {
    Check(zanMain != nullptr, "export: GetProcAddress(\"ZanMain\") finds the entry point");
    const FARPROC byOrdinal = GetProcAddress(library, MAKEINTRESOURCEA(1));
    Check(reinterpret_cast<void*>(byOrdinal) == reinterpret_cast<void*>(zanMain),
          "export: ordinal 1 is ZanMain");
    Check(GetProcAddress(library, "_ZanMain@4") == nullptr &&
              GetProcAddress(library, "ZanMain@4") == nullptr,
          "export: no decorated names");

    alignas(4) std::uint8_t info[info_at::kSize];
    alignas(4) std::uint8_t request[request_at::kSize] = {};
    Put32(request + request_at::kCommand, kGetInfo);
    PutPointer(request + request_at::kParams, info);
    std::int32_t delta = 1;
    const std::int32_t result = CallMeasured(zanMain, request, &delta);
    Check(result == kOk && delta == 0,
          "calling convention: ZanMain removes its argument (result %d, stack moved by %d)", result,
          delta);
}

void CheckInfo(Host& host) {
    alignas(4) std::uint8_t info[info_at::kSize + 4];
    std::memset(info, 0xCC, sizeof info);
    const std::int32_t result = host.Call(nullptr, kGetInfo, info);
    Check(result == kOk, "info: CmdGetInfo returns 0 with a null channel (got %d)", result);
    Check(GetS32(info + info_at::kValue0) == 70 && GetS32(info + info_at::kValue12) == 40 &&
              GetS32(info + info_at::kValue16) == 4 && GetS32(info + info_at::kValue28) == 3,
          "info: constants 70, 40, 4, 3 at offsets 0, 12, 16, 28 (got %d %d %d %d)",
          GetS32(info + info_at::kValue0), GetS32(info + info_at::kValue12),
          GetS32(info + info_at::kValue16), GetS32(info + info_at::kValue28));
    Check(LineIs(info + info_at::kLine, Line{9600, 8, 2, 1}),
          "info: line 9600, 8, stop code 2, parity code 1 at offset 20 (got %u %u %u %u)",
          Get16(info + 20), Get16(info + 22), Get16(info + 24), Get16(info + 26));
    Check(Get32(info + info_at::kSize) == 0xCCCCCCCCu, "info: nothing written past 32 bytes");
    const char* name = static_cast<const char*>(GetPointer(info + info_at::kName));
    Check(name != nullptr && std::memcmp(name, "WestNet II Data HighWay", 24) == 0,
          "info: name \"WestNet II Data HighWay\" byte for byte with its NUL");
    const char* banner = static_cast<const char*>(GetPointer(info + info_at::kBanner));
    const std::string expected = ExpectedBanner();
    Check(expected.size() == 185 && banner != nullptr &&
              std::memcmp(banner, expected.c_str(), 186) == 0,
          "info: banner of 185 bytes and its NUL, byte for byte");

    alignas(4) std::uint8_t again[info_at::kSize + 4];
    std::memset(again, 0x11, sizeof again);
    host.Call(nullptr, kGetInfo, again);
    Check(std::memcmp(info, again, info_at::kSize) == 0,
          "info: a second call fills the record identically");
}

void CheckParse(Host& host) {
    struct Row {
        const char* text;
        std::int32_t dataType, count, command;
        std::int32_t result, station, reg, bit, kind;  // bit/kind -1: unchanged (0)
    };
    const Row rows[] = {
        {"0100001", 0, 0, kParsePoint, kOk, 1, 0, 255, 16},
        {"9965535", 0, 0, kParsePoint, kOk, 99, 65534, 255, 16},
        {"0165536", 0, 0, kParsePoint, kBad, 1, 65536, 0, 0},
        {"0170000", 0, 0, kParsePoint, kBad, 0, 0, 0, 0},
        {"01000011", 6, 0, kParsePoint, kOk, 1, 0, 0, 1},
        {"0240001 9", 6, 0, kParsePoint, kOk, 2, 40000, 8, 1},
        {"024000117", 6, 0, kParsePoint, kBad, 2, 40001, 17, 0},
        {"0100001 2XY", 6, 0, kParsePoint, kOk, 1, 0, 1, 1},
        {"0140001", 0, 64, kParseBlock, kOk, 1, 40000, 255, 16},
        {"0140001", 0, 65, kParseBlock, kBad, 1, 40000, 255, 16},
    };
    for (const Row& row : rows) {
        char text[16] = {};
        std::strncpy(text, row.text, 12);
        alignas(4) std::uint8_t address[address_at::kSize + 4];
        std::memset(address, 0, sizeof address);
        std::memset(address + 4, 0x77, 4);  // the host's word: never read
        std::memset(address + address_at::kSize, 0xC3, 4);
        PutPointer(address + address_at::kText, text);
        Put32(address + address_at::kDataType, static_cast<std::uint32_t>(row.dataType));
        Put32(address + address_at::kCount, static_cast<std::uint32_t>(row.count));
        const std::int32_t result = host.Call(nullptr, row.command, address);
        const bool ok = result == row.result &&
                        GetS32(address + address_at::kStation) == row.station &&
                        GetS32(address + address_at::kReg) == row.reg &&
                        GetS32(address + address_at::kBit) == row.bit &&
                        GetS32(address + address_at::kKind) == row.kind &&
                        GetS32(address + address_at::kParsed) == (row.kind != 0 ? 1 : 0) &&
                        Get32(address + address_at::kSize) == 0xC3C3C3C3u;
        Check(ok, "parse %d \"%s\" type %d count %d: result %d station %d reg %d bit %d kind %d",
              row.command, row.text, row.dataType, row.count, result,
              GetS32(address + address_at::kStation), GetS32(address + address_at::kReg),
              GetS32(address + address_at::kBit), GetS32(address + address_at::kKind));
    }
}

void CheckFailedOpen(Host& host) {
    const char* log = "wine_host_err.log";
    std::remove(log);
    _putenv("TARVEK_ERR_LOG=wine_host_err.log");
    Channel channel;
    channel.bytes[channel_at::kSelected] = 7;
    const std::int32_t result =
        OpenChannel(host, channel, "\\\\.\\COM77", 1, 50, Line{9600, 8, 2, 1});
    Check(result == kFail, "failed open: CmdOpen of \\\\.\\COM77 returns 2 (got %d)", result);
    Check(channel.selected() == 0xFF && channel.port() == 0 &&
              GetS32(channel.bytes + channel_at::kEnabled) == 1,
          "failed open: selectedStation 0xFF, enabled 1, no port");
    const std::string text = ReadFileText(log);
    const bool oneLine = text == "[32] ZANWestNet II Data HighWay : Fail to open \\\\.\\COM77\n";
    Check(oneLine, "failed open: exactly one err line \"%.*s\"",
          static_cast<int>(text.empty() ? 0 : text.size() - 1), text.c_str());
    _putenv("TARVEK_ERR_LOG=");
}

void CheckPlant(Host& host, const Arguments& args, const Line& line) {
    const char* device = args.plant.c_str();
    Channel channel;
    std::int32_t result = OpenChannel(host, channel, device, 1, 50, line);
    Check(result == kOk, "open %s: CmdOpen returns 0 (got %d)", device, result);
    Check(channel.selected() == 0xFF && GetS32(channel.bytes + channel_at::kTimeout) == 50 &&
              GetS32(channel.bytes + channel_at::kEnabled) == 1 && channel.port() != 0,
          "open: selectedStation 0xFF, replyTimeout 50, enabled 1, a port");
    Check(std::strcmp(reinterpret_cast<const char*>(channel.bytes + channel_at::kDevice), device) ==
                  0 &&
              LineIs(channel.bytes + channel_at::kLine, line) &&
              Get16(channel.bytes + channel_at::kFlags) == 2 && channel.tailIntact(),
          "open: settings hold the device, the line and control flags 2 at offsets 16, 28, 36");
    if (result != kOk) {
        return;
    }

    std::uint16_t value = 0;
    bool head = false;
    result = ReadPoint(host, channel, Point{1, 40000, 255, kKindWord}, &value, &head);
    Check(result == kOk && value == 1234 && head,
          "read word 0140001: 1234 at byte 2, bytes 0-1 untouched (result %d value %u)", result,
          value);
    Check(channel.selected() == 1, "read: station 1 is selected (%u)", channel.selected());
    result = ReadPoint(host, channel, Point{1, 40001, 7, kKindBit}, &value);
    Check(result == kOk && value == 1, "read bit 0140002/8 of 0x00FF: 1 (got %u)", value);
    result = ReadPoint(host, channel, Point{1, 40001, 8, kKindBit}, &value);
    Check(result == kOk && value == 0, "read bit 0140002/9 of 0x00FF: 0 (got %u)", value);
    result = ReadPoint(host, channel, Point{5, 40000, 255, kKindWord}, &value);
    Check(result == kOk && value == 0x5678 && channel.selected() == 5,
          "read word 0540001 on station 5: 0x5678 (got 0x%04X)", value);

    // A block of 64 words from 0240001: 1 to 64, nothing written past it.
    alignas(4) std::uint8_t io[io_at::kSize];
    std::uint8_t block[128 + 4];
    std::memset(block, 0xEE, sizeof block);
    FillIo(io, Point{2, 40000, 255, kKindWord}, 64, block);
    result = host.Call(channel.bytes, kReadBlock, io);
    bool blockOk = result == kOk;
    for (int i = 0; i < 64 && blockOk; ++i) {
        blockOk = Get16(block + 2 * i) == i + 1;
    }
    Check(blockOk && Get32(block + 128) == 0xEEEEEEEEu,
          "read block 0240001 x64: words 1..64 from byte 0, nothing past them (result %d)", result);

    // Writes, each read back.
    result = WritePoint(host, channel, Point{1, 40002, 255, kKindWord}, 0x1234);
    ReadPoint(host, channel, Point{1, 40002, 255, kKindWord}, &value);
    Check(result == kOk && value == 0x1234, "write word 0140003 = 0x1234, read back 0x%04X", value);
    result = WritePoint(host, channel, Point{1, 40002, 15, kKindBit}, 1);
    ReadPoint(host, channel, Point{1, 40002, 255, kKindWord}, &value);
    Check(result == kOk && value == 0x9234, "write bit 0140003/16 = 1, read back 0x%04X", value);
    result = WritePoint(host, channel, Point{1, 40002, 4, kKindBit}, 2);
    ReadPoint(host, channel, Point{1, 40002, 255, kKindWord}, &value);
    Check(result == kOk && value == 0x9224,
          "write bit 0140003/5 = 2 clears it (lowest bit only), read back 0x%04X", value);

    std::uint8_t words[6];
    Put16(words, 0x0102);
    Put16(words + 2, 0x0304);
    Put16(words + 4, 0x00FF);
    FillIo(io, Point{1, 40019, 255, kKindWord}, 3, words);
    result = host.Call(channel.bytes, kWriteBlock, io);
    std::uint8_t back[6] = {};
    FillIo(io, Point{1, 40019, 255, kKindWord}, 3, back);
    const std::int32_t readBack = host.Call(channel.bytes, kReadBlock, io);
    Check(result == kOk && readBack == kOk && std::memcmp(words, back, 6) == 0,
          "write block 0140020 x3, read back (results %d, %d)", result, readBack);

    // Purge ignores whatever params holds.
    result = host.Call(channel.bytes, kPurge, reinterpret_cast<void*>(0x1));
    Check(result == kOk && channel.port() != 0, "purge: 0, the port stays open");

    MeasureRoundTrip(host, channel, "", args.reads);

    // Lifecycle: close, close again, reopen, shutdown, reconfigure.
    const std::uint8_t selectedBefore = channel.selected();
    result = host.Call(channel.bytes, kClose, reinterpret_cast<void*>(0x1));
    Check(result == kOk && channel.port() == 0, "close: 0, port 0");
    result = host.Call(channel.bytes, kClose, nullptr);
    Check(result == kOk && channel.port() == 0, "close again: 0");
    result = host.Call(channel.bytes, kPurge, nullptr);
    Check(result == kOk, "purge of a closed channel: 0");

    channel.bytes[channel_at::kEnabled] = 0;
    result = host.Call(channel.bytes, kReopen, nullptr);
    Check(result == kOk && channel.port() != 0 &&
              GetS32(channel.bytes + channel_at::kEnabled) == 1 &&
              channel.selected() == selectedBefore &&
              GetS32(channel.bytes + channel_at::kTimeout) == 50,
          "reopen: 0, a port, enabled 1, selection and replyTimeout kept (result %d)", result);
    result = ReadPoint(host, channel, Point{1, 40000, 255, kKindWord}, &value);
    Check(result == kOk && value == 1234, "read after reopen: 1234 (result %d)", result);

    result = host.Call(channel.bytes, kShutdown, nullptr);
    Check(result == kOk && channel.port() == 0, "shutdown: 0, port 0");

    const Line other{19200, 8, 0, 0};
    alignas(4) std::uint8_t reconfigure[reconfigure_at::kSize];
    std::memset(reconfigure, 0, sizeof reconfigure);
    std::strncpy(reinterpret_cast<char*>(reconfigure + reconfigure_at::kDevice), device, 11);
    Put32(reconfigure + reconfigure_at::kTimeout, 30);
    PutLine(reconfigure + reconfigure_at::kLine, other);
    result = host.Call(channel.bytes, kReconfigure, reconfigure);
    Check(result == kOk && channel.port() != 0 &&
              LineIs(channel.bytes + channel_at::kLine, other) &&
              GetS32(channel.bytes + channel_at::kTimeout) == 30 &&
              Get16(channel.bytes + channel_at::kFlags) == 2,
          "reconfigure: 0, open on 19200 baud no parity, replyTimeout 30, flags kept (result %d)",
          result);
    result = ReadPoint(host, channel, Point{5, 40000, 255, kKindWord}, &value);
    Check(result == kOk && value == 0x5678, "read after reconfigure: 0x5678 (result %d)", result);

    // Reconfigure with a timeout of 0 keeps the stored one.
    host.Call(channel.bytes, kClose, nullptr);
    Put32(reconfigure + reconfigure_at::kTimeout, 0);
    PutLine(reconfigure + reconfigure_at::kLine, line);
    result = host.Call(channel.bytes, kReconfigure, reconfigure);
    Check(result == kOk && GetS32(channel.bytes + channel_at::kTimeout) == 30 &&
              LineIs(channel.bytes + channel_at::kLine, line),
          "reconfigure back to the driver's line, time-out 0 keeps 30 (result %d)", result);
    result = ReadPoint(host, channel, Point{1, 40000, 255, kKindWord}, &value);
    Check(result == kOk && value == 1234, "read after the second reconfigure: 1234");

    // Codes without a handler are refused and touch nothing.
    Channel before = channel;
    result = host.Call(channel.bytes, 8, nullptr);
    Check(result != kOk && std::memcmp(before.bytes, channel.bytes, sizeof before.bytes) == 0,
          "code 8 has no handler: refused with %d, channel untouched", result);

    result = host.Call(channel.bytes, kClose, nullptr);
    Check(result == kOk && channel.port() == 0, "final close: 0");
}

// The faulty station's script, in order (one entry per answered request):
//   ok (select 1), bad-checksum, silence, short, ok      -> read recovers
//   silence x6                                           -> read fails, 2
//   bad-checksum x6                                      -> read refused, 1
//   bad-checksum, ok                                     -> write recovers
//   ok                                                   -> read back
//   silence x6 (select 5)                                -> selection fails
//   then every request answered.
void CheckRetries(Host& host, const Arguments& args, const Line& line) {
    const char* device = args.faulty.c_str();
    Channel channel;
    std::int32_t result = OpenChannel(host, channel, device, 1, 40, line);
    Check(result == kOk, "open %s (faulty station): 0 (got %d)", device, result);
    if (result != kOk) {
        return;
    }
    std::uint16_t value = 0;
    result = ReadPoint(host, channel, Point{1, 40000, 255, kKindWord}, &value);
    Check(result == kOk && value == 1234,
          "retries: bad checksum, silence, short reply, then a good one: 1234 (result %d)", result);
    value = 0xBEEF;
    result = ReadPoint(host, channel, Point{1, 40000, 255, kKindWord}, &value);
    Check(result == kFail && value == 0 && channel.selected() == 1,
          "retries: six silent attempts give 2, no value stored, station stays selected "
          "(result %d, selected %u)",
          result, channel.selected());
    result = ReadPoint(host, channel, Point{1, 40000, 255, kKindWord}, &value);
    Check(result == kBad, "retries: six bad checksums give 1 (result %d)", result);
    result = WritePoint(host, channel, Point{1, 40004, 255, kKindWord}, 4321);
    Check(result == kOk, "retries: a write acknowledged on its second attempt: 0 (result %d)",
          result);
    result = ReadPoint(host, channel, Point{1, 40004, 255, kKindWord}, &value);
    Check(result == kOk && value == 4321, "retries: the write took effect (%u)", value);
    result = ReadPoint(host, channel, Point{5, 40000, 255, kKindWord}, &value);
    Check(result == kFail && channel.selected() == 0xFF,
          "retries: six silent selections give 2 and no station selected (result %d, %u)", result,
          channel.selected());
    result = ReadPoint(host, channel, Point{5, 40000, 255, kKindWord}, &value);
    Check(result == kOk && value == 0x5678 && channel.selected() == 5,
          "retries: the next read selects again and reads 0x5678 (result %d)", result);
    host.Call(channel.bytes, kClose, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--dll") {
            args.dll = argv[i + 1];
        } else if (name == "--plant") {
            args.plant = argv[i + 1];
        } else if (name == "--faulty") {
            args.faulty = argv[i + 1];
        } else if (name == "--paced") {
            args.paced = argv[i + 1];
        } else if (name == "--reads") {
            args.reads = std::atoi(argv[i + 1]);
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }

    HMODULE library = LoadLibraryA(args.dll.c_str());
    Check(library != nullptr, "load: LoadLibraryA(\"%s\") (error %lu)", args.dll.c_str(),
          library == nullptr ? GetLastError() : 0UL);
    if (library == nullptr) {
        std::printf("%d passed, %d failed\n", gPassed, gFailed);
        return 1;
    }
    const auto zanMain =
        reinterpret_cast<ZanMainFn>(reinterpret_cast<void*>(GetProcAddress(library, "ZanMain")));
    CheckExport(library, zanMain);
    if (zanMain == nullptr) {
        std::printf("%d passed, %d failed\n", gPassed, gFailed);
        return 1;
    }
    Host host(zanMain);
    CheckInfo(host);
    CheckParse(host);
    CheckFailedOpen(host);

    // The line a host takes from the driver's own information record.
    alignas(4) std::uint8_t info[info_at::kSize];
    host.Call(nullptr, kGetInfo, info);
    const Line line{Get16(info + 20), Get16(info + 22), Get16(info + 24), Get16(info + 26)};
    CheckPlant(host, args, line);
    CheckRetries(host, args, line);
    if (!args.paced.empty()) {
        Channel paced;
        const std::int32_t result = OpenChannel(host, paced, args.paced.c_str(), 1, 50, line);
        Check(result == kOk, "open %s (replies paced at 9600 baud): 0 (got %d)", args.paced.c_str(),
              result);
        if (result == kOk) {
            MeasureRoundTrip(host, paced, " at 9600 baud, 8 data bits, odd parity, 2 stop bits",
                             args.reads);
            host.Call(paced.bytes, kClose, nullptr);
        }
    }

    std::printf("%d passed, %d failed\n", gPassed, gFailed);
    return gFailed == 0 ? 0 : 1;
}
