// Fuzzes every command through ZanMain over the scripted fake platform: a
// short session of commands on one channel, with arbitrary records and an
// arbitrary line: after each frame the input decides what the station sends
// back (a good reply, one in pieces, silence, a bad checksum, a bad data check,
// stray bytes, a failed read), and platform calls fail or writes come short
// where it says so.
//
// Checked after every command, besides the sanitizers' own checks:
// - the result is 0, 1 or 2, and ZanMain refuses codes without a handler
//   touching nothing;
// - the PointIo is never written, a write never changes the value buffer, and
//   a read changes it only on ResOk: then exactly the value(s) that the line
//   delivered in the last reply, and nothing past `count` words (guard bytes,
//   or a heap block of exactly the needed size);
// - every frame sent has a correct header checksum and a valid length, an
//   acknowledged write sent exactly the host's values, and a read or write
//   makes at most twelve exchanges;
// - err() is called once for a failed open and never otherwise, and the
//   channel's port is always 0 or a device the platform holds open.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "address/parser.h"
#include "entry/driver_info.h"
#include "entry/records.h"
#include "entry/zanmain.h"
#include "fake_platform.h"
#include "highway/frame.h"

namespace wn = westnet;
using Bytes = std::vector<std::uint8_t>;
using wn::fake::Call;
using wn::fake::FakePlatform;

namespace {

[[noreturn]] void Fail(const char* what, std::int32_t code) {
    std::fprintf(stderr, "command %d: %s\n", code, what);
    std::abort();
}

#define CHECK(cond, code)                       \
    do {                                        \
        if (!(cond)) {                          \
            Fail("check failed: " #cond, code); \
        }                                       \
    } while (0)

// What the host library saw of err().
int g_errCalls = 0;
bool g_errBad = false;
char g_expectedDevice[wn::DEVICE_NAME_SIZE];

}  // namespace

extern "C" int err(int code, const char* format, ...) {
    ++g_errCalls;
    va_list args;
    va_start(args, format);
    const char* name = va_arg(args, const char*);
    const char* device = va_arg(args, const char*);
    va_end(args);
    // The device shown is what fits of the host's name, terminated within 12.
    const bool ok = code == 32 && std::strcmp(format, "ZAN%s : Fail to open %s") == 0 &&
                    std::strcmp(name, wn::DRIVER_NAME) == 0 &&
                    std::memchr(device, '\0', wn::DEVICE_NAME_SIZE) != nullptr &&
                    std::strncmp(device, g_expectedDevice, wn::DEVICE_NAME_SIZE - 1) == 0;
    g_errBad = g_errBad || !ok;
    return 0;
}

namespace {

// Copies what the input had left (possibly nothing) to the front of `to`.
void CopyIn(void* to, const Bytes& raw) {
    if (!raw.empty()) {
        std::memcpy(to, raw.data(), raw.size());
    }
}

std::uint8_t Sum(const Bytes& b, std::size_t from, std::size_t to) {
    std::uint8_t s = 0;
    for (std::size_t i = from; i < to; ++i) {
        s = static_cast<std::uint8_t>(s + b[i]);
    }
    return s;
}

// The station on the line: after each frame written, the input decides what
// comes back.
void Respond(FuzzedDataProvider& in, FakePlatform& fake, const Bytes& request) {
    if (request.size() < 6) {
        // A short write: the station heard half a frame. Maybe it mumbles.
        if (in.ConsumeBool()) {
            fake.Arrive(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 8)));
        }
        return;
    }
    std::size_t length = 6;
    if (request[0] == wn::OP_READ_BLOCK) {
        length = 2 * (static_cast<std::size_t>(request[3]) + 1) + 7;
    }
    Bytes good(length);
    for (std::size_t i = 0; i < 5; ++i) {
        good[i] = in.ConsumeIntegral<std::uint8_t>();
    }
    good[5] = Sum(good, 0, 5);
    if (length > 6) {
        for (std::size_t i = 6; i + 1 < length; ++i) {
            good[i] = in.ConsumeIntegral<std::uint8_t>();
        }
        good[length - 1] = Sum(good, 6, length - 1);
    }
    // 0 (an empty input too): a good reply at once.
    switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0:
        case 1:
            fake.Arrive(good);
            break;
        case 2: {  // in two pieces, each in a read window of its own
            const std::size_t cut = in.ConsumeIntegralInRange<std::size_t>(1, length - 1);
            fake.Arrive(Bytes(good.begin(), good.begin() + static_cast<long>(cut)));
            fake.EndWindow();
            fake.Arrive(Bytes(good.begin() + static_cast<long>(cut), good.end()));
            break;
        }
        case 3:  // silence
            fake.EndWindow();
            break;
        case 4:  // wrong header checksum
            good[5] = static_cast<std::uint8_t>(good[5] + in.ConsumeIntegralInRange(1, 255));
            fake.Arrive(good);
            break;
        case 5:  // wrong data check byte (a header-only reply: a wrong checksum)
            good[length - 1] =
                static_cast<std::uint8_t>(good[length - 1] + in.ConsumeIntegralInRange(1, 255));
            fake.Arrive(good);
            break;
        case 6: {  // part of the reply, then silence
            const std::size_t cut = in.ConsumeIntegralInRange<std::size_t>(0, length - 1);
            fake.Arrive(Bytes(good.begin(), good.begin() + static_cast<long>(cut)));
            fake.EndWindow();
            break;
        }
        case 7:  // whatever the input holds, then silence
            fake.Arrive(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 260)));
            fake.EndWindow();
            break;
        case 8:  // the read itself fails
            fake.FailRead();
            break;
        default:  // a good reply with more behind it
            good.resize(length + in.ConsumeIntegralInRange<std::size_t>(1, 40), 0x55);
            fake.Arrive(good);
            break;
    }
}

// A heap block of exactly `size` bytes, optionally followed by guard bytes.
struct Buffer {
    Buffer(std::size_t size, std::size_t guard, FuzzedDataProvider& in)
        : length(size), guardLength(guard), bytes(new std::uint8_t[size + guard]) {
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = in.ConsumeIntegral<std::uint8_t>();
        }
        std::memset(bytes.get() + size, 0xA7, guard);
        before.assign(bytes.get(), bytes.get() + size + guard);
    }
    Bytes Now() const { return Bytes(bytes.get(), bytes.get() + length + guardLength); }
    bool GuardIntact() const {
        for (std::size_t i = 0; i < guardLength; ++i) {
            if (bytes[length + i] != 0xA7) {
                return false;
            }
        }
        return true;
    }
    std::uint16_t WordAt(std::size_t offset) const {
        std::uint16_t v;
        std::memcpy(&v, bytes.get() + offset, 2);
        return v;
    }
    std::uint16_t OldWordAt(std::size_t offset) const {
        std::uint16_t v;
        std::memcpy(&v, before.data() + offset, 2);
        return v;
    }
    std::size_t length;
    std::size_t guardLength;
    std::unique_ptr<std::uint8_t[]> bytes;
    Bytes before;
};

// The records of the last successful frame exchange: the frame written last
// and every byte read after it.
struct LastExchange {
    Bytes request;
    Bytes reply;
};
LastExchange Last(const FakePlatform& fake) {
    LastExchange last;
    const auto& calls = fake.Calls();
    std::size_t i = calls.size();
    while (i > 0 && !(calls[i - 1].call == Call::WriteFile && calls[i - 1].ok)) {
        --i;
    }
    if (i == 0) {
        return last;
    }
    last.request = calls[i - 1].bytes;
    for (; i < calls.size(); ++i) {
        if (calls[i].call == Call::ReadFile && calls[i].ok) {
            last.reply.insert(last.reply.end(), calls[i].bytes.begin(), calls[i].bytes.end());
        }
    }
    return last;
}

void CheckFramesSent(const FakePlatform& fake, std::size_t from, std::int32_t code) {
    const auto& calls = fake.Calls();
    for (std::size_t i = from; i < calls.size(); ++i) {
        if (calls[i].call != Call::WriteFile) {
            continue;
        }
        const std::uint32_t asked = calls[i].count;  // what the driver handed over
        CHECK(asked == 6 || (asked >= 9 && asked <= 199 && asked % 2 == 1), code);
        const Bytes& b = calls[i].bytes;  // what went out (less on a short write)
        if (b.size() >= 6) {
            CHECK(b[5] == Sum(b, 0, 5), code);
        }
    }
}

void CheckReadStored(const FakePlatform& fake, const wn::PointIo& point, const Buffer& values,
                     std::int32_t code) {
    const LastExchange last = Last(fake);
    const Bytes& r = last.reply;
    const auto reg = static_cast<std::uint32_t>(point.reg);
    CHECK(last.request.size() == 6, code);
    CHECK(last.request[1] == (reg & 0xFF) && last.request[2] == ((reg >> 8) & 0xFF), code);
    if (code == 5) {
        CHECK(last.request[0] == wn::OP_READ_WORD, code);
        CHECK(r.size() == 6 && r[5] == Sum(r, 0, 5), code);
        const auto word = static_cast<std::uint16_t>(r[3] | (r[4] << 8));
        const std::uint16_t want =
            point.kind == wn::KIND_BIT
                ? static_cast<std::uint16_t>(
                      (word >> (static_cast<std::uint32_t>(point.bit) & 15U)) & 1U)
                : word;
        CHECK(values.WordAt(2) == want, code);
        CHECK(values.bytes[0] == values.before[0] && values.bytes[1] == values.before[1], code);
    } else {
        const auto n = static_cast<std::size_t>(point.count);
        CHECK(last.request[0] == wn::OP_READ_BLOCK && last.request[3] == n - 1, code);
        CHECK(r.size() == 2 * n + 7 && r[5] == Sum(r, 0, 5), code);
        CHECK(r[2 * n + 6] == Sum(r, 6, 2 * n + 6), code);
        for (std::size_t i = 0; i < n; ++i) {
            CHECK(values.WordAt(2 * i) ==
                      static_cast<std::uint16_t>(r[6 + 2 * i] | (r[7 + 2 * i] << 8)),
                  code);
        }
    }
    CHECK(values.GuardIntact(), code);
}

void CheckWriteSent(const FakePlatform& fake, const wn::PointIo& point, const Buffer& values,
                    std::int32_t code) {
    const LastExchange last = Last(fake);
    const Bytes& q = last.request;
    const Bytes& r = last.reply;
    CHECK(r.size() == 6 && r[5] == Sum(r, 0, 5), code);
    const auto reg = static_cast<std::uint32_t>(point.reg);
    CHECK(q.size() >= 6 && q[1] == (reg & 0xFF) && q[2] == ((reg >> 8) & 0xFF), code);
    if (code == 7) {
        const std::uint16_t v = values.WordAt(2);
        CHECK(q.size() == 6, code);
        if (point.kind == wn::KIND_WORD) {
            CHECK(q[0] == wn::OP_WRITE_WORD && q[3] == (v & 0xFF) && q[4] == (v >> 8), code);
        } else {
            CHECK(q[0] == wn::OP_WRITE_BIT, code);
            CHECK(q[3] == ((static_cast<std::uint32_t>(point.bit) & 15U) | ((v & 1U) << 4)), code);
            CHECK(q[4] == 0, code);
        }
    } else {
        const auto n = static_cast<std::size_t>(point.count);
        CHECK(q[0] == wn::OP_WRITE_BLOCK && q[3] == n - 1 && q[4] == 0, code);
        CHECK(q.size() == 2 * n + 7, code);
        std::uint8_t check = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint16_t v = values.WordAt(2 * i);
            CHECK(q[6 + 2 * i] == (v & 0xFF) && q[7 + 2 * i] == (v >> 8), code);
            check = static_cast<std::uint8_t>(check + (v & 0xFF));
        }
        CHECK(q[2 * n + 6] == check, code);
    }
}

bool PortHeld(const FakePlatform& fake, wn::Handle port) {
    if (port == 0) {
        return true;
    }
    // Every device the fake platform has: its own and the one added here.
    for (const char* name :
         {"NUL", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "ttyS0"}) {
        if (fake.HandleOf(name) == port) {
            return true;
        }
    }
    return false;
}

// A device name: one that exists, one that does not, or any twelve bytes.
void PickName(FuzzedDataProvider& in, char (&name)[wn::DEVICE_NAME_SIZE]) {
    static const char* const kNames[] = {"COM1", "COM2", "NUL", "COM3", "ttyS0", "nosuch", ""};
    std::memset(name, 0, sizeof name);
    const int pick = in.ConsumeIntegralInRange(0, 8);
    if (pick < 7) {
        std::strcpy(name, kNames[pick]);
    } else {
        const Bytes raw = in.ConsumeBytes<std::uint8_t>(wn::DEVICE_NAME_SIZE);
        CopyIn(name, raw);
    }
}

std::int32_t PickCode(FuzzedDataProvider& in) {
    static const std::int32_t kCodes[] = {5, 6,  7,  10, 5,  6,  7, 10, 1, 2,  3,
                                          4, 11, 12, 13, 14, 15, 0, 8,  9, 16, -1};
    const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, sizeof kCodes / sizeof kCodes[0]);
    if (pick == sizeof kCodes / sizeof kCodes[0]) {
        return in.ConsumeIntegral<std::int32_t>();
    }
    return kCodes[pick];
}

void InjectFailures(FuzzedDataProvider& in, FakePlatform& fake) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 1:
            fake.FailAtCall(in.ConsumeIntegralInRange(1, 60));
            break;
        case 2:
            fake.FailNext(static_cast<Call>(in.ConsumeIntegralInRange(0, 9)),
                          in.ConsumeIntegralInRange(1, 8));
            break;
        case 3:
            fake.ShortWrite(in.ConsumeIntegralInRange<std::uint32_t>(0, 200));
            break;
        case 4:  // stale bytes already waiting before the command
            fake.PutWaiting(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(1, 1100)));
            break;
        default:
            break;
    }
}

// One point or block command over a fuzzed PointIo.
void RunPointCommand(FuzzedDataProvider& in, FakePlatform& fake, wn::ChannelState* channel,
                     std::int32_t code) {
    auto point = std::make_unique<wn::PointIo>();
    std::memset(point.get(), 0x6B, sizeof *point);
    switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0:
            point->station = channel->selectedStation;
            break;
        case 1:
            point->station = in.ConsumeBool() ? 0 : 255;
            break;
        case 2:
            point->station = in.ConsumeIntegral<std::int32_t>();
            break;
        default:
            point->station = in.ConsumeIntegralInRange(1, 99);
            break;
    }
    point->reg =
        in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 65534) : in.ConsumeIntegral<std::int32_t>();
    point->bit =
        in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 15) : in.ConsumeIntegral<std::int32_t>();
    switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0:
        case 1:
            point->kind = wn::KIND_WORD;
            break;
        case 2:
        case 3:
            point->kind = wn::KIND_BIT;
            break;
        default:
            point->kind = in.ConsumeIntegral<std::int32_t>();
            break;
    }
    point->count = in.ConsumeIntegralInRange(0, 9) != 0 ? in.ConsumeIntegralInRange(1, 96)
                                                        : in.ConsumeIntegral<std::int32_t>();
    const bool block = code == 6 || code == 10;
    const bool countOk = point->count >= 1 && point->count <= 96;
    const std::size_t size = block ? (countOk ? 2 * static_cast<std::size_t>(point->count) : 2) : 4;
    const std::size_t guard = in.ConsumeBool() ? 16 : 0;
    Buffer values(size, guard, in);
    point->values = values.bytes.get();
    if (in.ConsumeIntegralInRange(0, 31) == 0) {
        point->values = nullptr;
    }
    const Bytes pointBefore(reinterpret_cast<std::uint8_t*>(point.get()),
                            reinterpret_cast<std::uint8_t*>(point.get()) + sizeof *point);
    const std::uint8_t selectedBefore = channel->selectedStation;

    InjectFailures(in, fake);
    const std::size_t callsBefore = fake.Calls().size();
    wn::DriverRequest request{channel, code, {}, point.get()};
    const std::int32_t result = ZanMain(&request);

    CHECK(result == wn::ResOk || result == wn::ResBad || result == wn::ResFail, code);
    CHECK(std::memcmp(point.get(), pointBefore.data(), sizeof *point) == 0, code);
    CHECK(g_errCalls == 0, code);
    CheckFramesSent(fake, callsBefore, code);
    std::size_t writes = 0;
    for (std::size_t i = callsBefore; i < fake.Calls().size(); ++i) {
        writes += fake.Calls()[i].call == Call::WriteFile ? 1 : 0;
    }
    CHECK(writes <= 12, code);
    const bool known = point->kind == wn::KIND_BIT || point->kind == wn::KIND_WORD;
    // Refused before the selection: nothing sent, nothing changed.
    if ((point->values == nullptr && (block || known)) || (block && !countOk)) {
        CHECK(result == wn::ResBad && writes == 0, code);
        CHECK(channel->selectedStation == selectedBefore, code);
    }
    if (!block && !known) {
        CHECK(result != wn::ResOk, code);
    }
    if (result == wn::ResOk) {
        CHECK(channel->selectedStation == static_cast<std::uint8_t>(point->station), code);
    }
    if (code == 7 || code == 10 || result != wn::ResOk) {
        CHECK(values.Now() == values.before, code);
    }
    if (result == wn::ResOk && point->values != nullptr) {
        if (code == 5 || code == 6) {
            CheckReadStored(fake, *point, values, code);
        } else {
            CheckWriteSent(fake, *point, values, code);
        }
    }
}

void RunLifecycleCommand(FuzzedDataProvider& in, FakePlatform& fake, wn::ChannelState* channel,
                         std::int32_t code) {
    const wn::ChannelState before = *channel;
    InjectFailures(in, fake);
    g_errCalls = 0;
    g_errBad = false;
    std::int32_t result = -1;
    switch (code) {
        case 1: {
            auto params = std::make_unique<wn::OpenParams>();
            PickName(in, params->device);
            std::memcpy(g_expectedDevice, params->device, sizeof g_expectedDevice);
            params->enabled = in.ConsumeBool() ? 1 : in.ConsumeIntegral<std::int32_t>();
            params->replyTimeout = in.ConsumeBool() ? in.ConsumeIntegralInRange(1, 300)
                                                    : in.ConsumeIntegral<std::int32_t>();
            params->line = wn::LineParams{
                in.ConsumeIntegral<std::uint16_t>(), in.ConsumeIntegral<std::uint16_t>(),
                in.ConsumeIntegral<std::uint16_t>(), in.ConsumeIntegral<std::uint16_t>()};
            wn::DriverRequest request{channel, code, {}, params.get()};
            result = ZanMain(&request);
            CHECK(result == wn::ResOk || result == wn::ResFail, code);
            CHECK(channel->selectedStation == wn::STATION_NONE, code);
            CHECK(channel->enabled == params->enabled, code);
            CHECK(g_errCalls == (result == wn::ResFail ? 1 : 0) && !g_errBad, code);
            if (params->enabled == 0) {
                CHECK(result == wn::ResOk && channel->port == before.port, code);
            } else if (result == wn::ResOk) {
                CHECK(channel->port != 0 && channel->port == fake.HandleOf(params->device), code);
                CHECK(channel->replyTimeout == params->replyTimeout, code);
                CHECK(std::strcmp(channel->settings.device, params->device) == 0, code);
                CHECK(channel->settings.controlFlags == 2, code);
            } else {
                CHECK(channel->replyTimeout == before.replyTimeout, code);
            }
            break;
        }
        case 15: {
            auto params = std::make_unique<wn::ReconfigureParams>();
            PickName(in, params->device);
            params->replyTimeout = in.ConsumeBool() ? 0 : in.ConsumeIntegral<std::int32_t>();
            params->line = wn::LineParams{in.ConsumeIntegral<std::uint16_t>(), 8, 0, 0};
            wn::DriverRequest request{channel, code, {}, params.get()};
            result = ZanMain(&request);
            CHECK(result == wn::ResOk || result == wn::ResFail, code);
            CHECK(g_errCalls == 0, code);
            CHECK(channel->selectedStation == before.selectedStation, code);
            CHECK(channel->enabled == before.enabled, code);
            if (result == wn::ResOk) {
                CHECK(channel->port != 0 && channel->port == fake.HandleOf(params->device), code);
            }
            if (std::memchr(params->device, '\0', sizeof params->device) == nullptr) {
                CHECK(result == wn::ResFail, code);
                CHECK(std::memcmp(channel, &before, sizeof before) == 0, code);
            }
            break;
        }
        case 3:
        case 4: {
            auto text = std::make_unique<char[]>(wn::ADDRESS_TEXT_SIZE);
            const Bytes raw = in.ConsumeBytes<std::uint8_t>(wn::ADDRESS_TEXT_SIZE);
            CopyIn(text.get(), raw);
            auto address = std::make_unique<wn::PointAddress>();
            address->text = text.get();
            address->dataType = in.ConsumeBool() ? 6 : 0;
            address->count = in.ConsumeIntegral<std::int32_t>();
            const std::size_t calls = fake.Calls().size();
            wn::DriverRequest request{
                in.ConsumeBool() ? channel : nullptr, code, {}, address.get()};
            result = ZanMain(&request);
            CHECK(result == wn::ResOk || result == wn::ResBad, code);
            CHECK(fake.Calls().size() == calls, code);
            CHECK(std::memcmp(channel, &before, sizeof before) == 0, code);
            break;
        }
        case 14: {
            auto info = std::make_unique<wn::DriverInfo>();
            wn::DriverRequest request{nullptr, code, {}, info.get()};
            result = ZanMain(&request);
            CHECK(result == wn::ResOk && info->value0 == 70 && info->value28 == 3, code);
            CHECK(std::strcmp(info->name, wn::DRIVER_NAME) == 0, code);
            break;
        }
        default: {  // 2, 11, 12, 13 and every code without a handler
            const std::size_t calls = fake.Calls().size();
            wn::DriverRequest request{channel, code, {}, nullptr};
            result = ZanMain(&request);
            CHECK(result == wn::ResOk || result == wn::ResBad || result == wn::ResFail, code);
            CHECK(g_errCalls == 0, code);
            if (code == 2) {
                CHECK(result == wn::ResOk, code);
                CHECK(std::memcmp(channel, &before, sizeof before) == 0, code);
            } else if (code == 11 || code == 12) {
                CHECK(result == wn::ResOk ? channel->port == 0 : channel->port == before.port,
                      code);
            } else if (code == 13) {
                if (result == wn::ResOk) {
                    CHECK(channel->enabled == 1 && channel->port != 0, code);
                    CHECK(channel->port == fake.HandleOf(channel->settings.device), code);
                } else {
                    CHECK(std::memcmp(channel, &before, sizeof before) == 0, code);
                }
            } else {
                CHECK(result == wn::ResBad, code);
                CHECK(fake.Calls().size() == calls, code);
                CHECK(std::memcmp(channel, &before, sizeof before) == 0, code);
            }
            break;
        }
    }
    g_errCalls = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    FakePlatform fake;
    fake.AddDevice("ttyS0");
    fake.SetResponder([&in](FakePlatform& f, const Bytes& frame) { Respond(in, f, frame); });
    g_errCalls = 0;
    g_errBad = false;

    auto channel = std::make_unique<wn::ChannelState>();
    std::memset(channel.get(), 0, sizeof *channel);
    bool sane = true;
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            break;  // a new channel: no port
        case 1: {   // arbitrary bytes: the driver may not trust port or name
            const Bytes raw = in.ConsumeBytes<std::uint8_t>(sizeof *channel);
            CopyIn(channel.get(), raw);
            sane = PortHeld(fake, channel->port);
            break;
        }
        default: {  // opened on COM1, as a host does
            wn::OpenParams open{};
            std::strcpy(open.device, "COM1");
            std::strcpy(g_expectedDevice, "COM1");
            open.enabled = 1;
            open.replyTimeout = in.ConsumeIntegralInRange(1, 100);
            open.line = wn::LineParams{9600, 8, 2, 1};
            wn::DriverRequest request{channel.get(), 1, {}, &open};
            if (ZanMain(&request) != wn::ResOk) {
                Fail("the first open failed", 1);
            }
            channel->selectedStation = in.ConsumeIntegral<std::uint8_t>();
            break;
        }
    }
    g_errCalls = 0;

    const int commands = in.ConsumeIntegralInRange(1, 6);
    for (int i = 0; i < commands; ++i) {
        const std::int32_t code = PickCode(in);
        if (code == 5 || code == 6 || code == 7 || code == 10) {
            RunPointCommand(in, fake, channel.get(), code);
        } else {
            RunLifecycleCommand(in, fake, channel.get(), code);
        }
        if (sane && !PortHeld(fake, channel->port)) {
            Fail("the channel's port is no device the platform holds open", code);
        }
    }
    return 0;
}
