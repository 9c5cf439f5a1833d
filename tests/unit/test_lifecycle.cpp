// The channel lifecycle commands through ZanMain, against the scripted fake:
// every transition of a channel's port, what each one leaves in the channel,
// which device calls it makes, and the one message a failed open sends.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "entry/driver_info.h"
#include "entry/zanmain.h"
#include "fake_platform.h"

namespace westnet {
namespace {

using fake::Call;

constexpr LineParams kLineA{19200, 8, 0, 0};
constexpr LineParams kLineB{4800, 7, 2, 1};
constexpr unsigned char kPattern = 0xA5;
constexpr std::int32_t kPatternWord = static_cast<std::int32_t>(0xA5A5A5A5U);
const std::string kErrPrefix = "[32] ZANWestNet II Data HighWay : Fail to open ";

bool SameLine(const LineParams& a, const LineParams& b) {
    return a.baudRate == b.baudRate && a.dataBits == b.dataBits && a.stopBits == b.stopBits &&
           a.parity == b.parity;
}

// One channel over a fresh fake, with the stand-in host's err log in a
// temporary file of its own.
class Bench {
public:
    Bench() {
        char path[] = "/tmp/westnet_err_XXXXXX";
        const int fd = mkstemp(path);
        EXPECT_GE(fd, 0);
        close(fd);
        logPath_ = path;
        setenv("TARVEK_ERR_LOG", logPath_.c_str(), 1);
        std::memset(&channel, kPattern, sizeof channel);
        channel.port = 0;
    }
    ~Bench() {
        unsetenv("TARVEK_ERR_LOG");
        std::remove(logPath_.c_str());
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    std::int32_t Run(std::int32_t code, ChannelState* ch, void* params) {
        DriverRequest request;
        std::memset(&request, 0x77, sizeof request);  // the host's bytes 8-15 included
        request.channel = ch;
        request.command = code;
        request.params = params;
        return ZanMain(&request);
    }
    std::int32_t Run(std::int32_t code) { return Run(code, &channel, nullptr); }

    std::int32_t Open(const char* device, std::int32_t enabled = 1, std::int32_t timeout = 20,
                      LineParams line = kLineA) {
        OpenParams params;
        std::memset(&params, 0, sizeof params);
        std::memcpy(params.device, device, std::min(std::strlen(device), sizeof params.device - 1));
        params.enabled = enabled;
        params.replyTimeout = timeout;
        params.line = line;
        return Run(1, &channel, &params);
    }
    std::int32_t Reconfigure(const char* device, std::int32_t timeout = 30,
                             LineParams line = kLineB) {
        ReconfigureParams params;
        std::memset(&params, 0, sizeof params);
        std::memcpy(params.device, device, std::min(std::strlen(device), sizeof params.device - 1));
        params.replyTimeout = timeout;
        params.line = line;
        return Run(15, &channel, &params);
    }

    std::vector<std::string> ErrLines() const {
        std::vector<std::string> lines;
        std::ifstream in(logPath_);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    void ClearErrLog() { std::ofstream(logPath_, std::ios::trunc); }

    // Read time-out constants written, in order.
    std::vector<std::uint32_t> TimeoutsWritten() const {
        std::vector<std::uint32_t> out;
        for (const fake::Record& r : fake.Calls()) {
            if (r.call == Call::SetCommTimeouts) {
                out.push_back(r.timeouts.ReadTotalTimeoutConstant);
            }
        }
        return out;
    }
    std::size_t IndexOf(Call call, std::size_t nth = 0) const {
        const auto& calls = fake.Calls();
        for (std::size_t i = 0; i < calls.size(); ++i) {
            if (calls[i].call == call && nth-- == 0) {
                return i;
            }
        }
        return calls.size();
    }

    fake::FakePlatform fake;
    ChannelState channel;

private:
    std::string logPath_;
};

// ---------------------------------------------------------------------------
// The whole state table.

enum class Start {
    Fresh,      // the host's new record: port 0, every other byte 0xA5
    Closed,     // opened on COM1 (enabled 3, time-out 20, line A), station 7, closed
    Open,       // the same, still open
    OpenMoved,  // open on COM1 while the settings already name COM2
};
enum class Port { Zero, Old, New };

struct Row {
    const char* what;
    Start start;
    std::int32_t code;
    const char* device;  // OpenParams / ReconfigureParams
    std::int32_t enabled;
    bool refuseClose;  // the command's first CloseHandle fails
    bool refuseOpen;   // the command's first CreateFileA fails
    std::int32_t result;
    Port port;
    const char* portDevice;  // Port::New: the device whose handle port holds
    std::vector<std::string> openAfter;
    std::size_t creates;
    std::size_t closes;
    std::size_t errs;
    const char* settingsDevice;
    bool newLine;  // settings.line is the command's line B, else the start's
    std::uint16_t flags;
    std::int32_t enabledAfter;
    std::uint8_t stationAfter;
    std::int32_t timeoutAfter;
    std::vector<std::uint32_t> timeoutsWritten;
};

void Prepare(Bench& b, Start start) {
    if (start == Start::Fresh) {
        return;
    }
    ASSERT_EQ(b.Open("COM1", 3, 20, kLineA), ResOk);
    b.channel.selectedStation = 7;
    if (start == Start::Closed) {
        ASSERT_EQ(b.Run(12), ResOk);
    }
    if (start == Start::OpenMoved) {
        std::strcpy(b.channel.settings.device, "COM2");
    }
    b.fake.ClearCalls();
    b.ClearErrLog();
}

TEST(LifecycleTable, EveryTransition) {
    const std::uint16_t kF = 0xA5A5;  // control flags of a fresh record
    // clang-format off
    const Row rows[] = {
        // CmdOpen (line B, time-out 40)
        {"disabled open of a closed channel", Start::Closed, 1, "COM2", 0, false, false,
         ResOk, Port::Zero, "", {}, 0, 0, 0, "COM1", false, 2, 0, 255, 20, {}},
        {"disabled open keeps an open port", Start::Open, 1, "COM2", 0, false, false,
         ResOk, Port::Old, "", {"COM1"}, 0, 0, 0, "COM1", false, 2, 0, 255, 20, {}},
        {"open of a closed channel", Start::Closed, 1, "COM2", 1, false, false,
         ResOk, Port::New, "COM2", {"COM2"}, 1, 0, 0, "COM2", true, 2, 1, 255, 40, {1000, 400}},
        {"open of a fresh channel", Start::Fresh, 1, "COM2", 5, false, false,
         ResOk, Port::New, "COM2", {"COM2"}, 1, 0, 0, "COM2", true, 2, 5, 255, 40, {1000, 400}},
        {"failed open of a closed channel", Start::Closed, 1, "NOSUCH", 1, false, false,
         ResFail, Port::Zero, "", {}, 1, 0, 1, "COM1", false, 2, 1, 255, 20, {}},
        {"failed open of a fresh channel", Start::Fresh, 1, "COM2", 1, false, true,
         ResFail, Port::Zero, "", {}, 1, 0, 1, nullptr, false, kF, 1, 255, kPatternWord, {}},
        {"open of another device replaces and closes the old port", Start::Open, 1, "COM2", 1,
         false, false,
         ResOk, Port::New, "COM2", {"COM2"}, 1, 1, 0, "COM2", true, 2, 1, 255, 40, {1000, 400}},
        {"open of the same device fails, old port stays", Start::Open, 1, "COM1", 1, false, false,
         ResFail, Port::Old, "", {"COM1"}, 1, 0, 1, "COM1", false, 2, 1, 255, 20, {}},
        {"failed open of another device keeps the old port", Start::Open, 1, "NOSUCH", 1, false,
         false,
         ResFail, Port::Old, "", {"COM1"}, 1, 0, 1, "COM1", false, 2, 1, 255, 20, {}},
        // CmdClose and CmdShutdown
        {"close", Start::Open, 12, "", 0, false, false,
         ResOk, Port::Zero, "", {}, 0, 1, 0, "COM1", false, 2, 3, 7, 20, {}},
        {"shutdown", Start::Open, 11, "", 0, false, false,
         ResOk, Port::Zero, "", {}, 0, 1, 0, "COM1", false, 2, 3, 7, 20, {}},
        {"refused close keeps the port", Start::Open, 12, "", 0, true, false,
         ResFail, Port::Old, "", {"COM1"}, 0, 1, 0, "COM1", false, 2, 3, 7, 20, {}},
        {"refused shutdown keeps the port", Start::Open, 11, "", 0, true, false,
         ResFail, Port::Old, "", {"COM1"}, 0, 1, 0, "COM1", false, 2, 3, 7, 20, {}},
        {"close of a closed channel", Start::Closed, 12, "", 0, false, false,
         ResOk, Port::Zero, "", {}, 0, 0, 0, "COM1", false, 2, 3, 7, 20, {}},
        {"shutdown of a closed channel", Start::Closed, 11, "", 0, false, false,
         ResOk, Port::Zero, "", {}, 0, 0, 0, "COM1", false, 2, 3, 7, 20, {}},
        // CmdReopen
        {"reopen of a closed channel", Start::Closed, 13, "", 0, false, false,
         ResOk, Port::New, "COM1", {"COM1"}, 1, 0, 0, "COM1", false, 2, 1, 7, 20, {1000}},
        {"reopen of the device still open fails", Start::Open, 13, "", 0, false, false,
         ResFail, Port::Old, "", {"COM1"}, 1, 0, 0, "COM1", false, 2, 3, 7, 20, {}},
        {"reopen on other settings replaces and closes the old port", Start::OpenMoved, 13, "", 0,
         false, false,
         ResOk, Port::New, "COM2", {"COM2"}, 1, 1, 0, "COM2", false, 2, 1, 7, 20, {1000}},
        {"failed reopen of a closed channel", Start::Closed, 13, "", 0, false, true,
         ResFail, Port::Zero, "", {}, 1, 0, 0, "COM1", false, 2, 3, 7, 20, {}},
        // CmdReconfigure (line B, time-out 30)
        {"reconfigure of a closed channel", Start::Closed, 15, "COM2", 0, false, false,
         ResOk, Port::New, "COM2", {"COM2"}, 1, 0, 0, "COM2", true, 2, 3, 7, 30, {1000}},
        {"reconfigure of a fresh channel", Start::Fresh, 15, "COM2", 0, false, false,
         ResOk, Port::New, "COM2", {"COM2"}, 1, 0, 0, "COM2", true, kF, kPatternWord, kPattern,
         30, {1000}},
        {"failed reconfigure of a closed channel", Start::Closed, 15, "NOSUCH", 0, false, false,
         ResFail, Port::Zero, "", {}, 1, 0, 0, "NOSUCH", true, 2, 3, 7, 30, {}},
        {"reconfigure to another device", Start::Open, 15, "COM2", 0, false, false,
         ResOk, Port::New, "COM2", {"COM2"}, 1, 1, 0, "COM2", true, 2, 3, 7, 30, {1000}},
        {"reconfigure to another device that fails", Start::Open, 15, "NOSUCH", 0, false, false,
         ResFail, Port::Zero, "", {}, 1, 1, 0, "NOSUCH", true, 2, 3, 7, 30, {}},
        {"reconfigure after a refused close closes the replaced port", Start::Open, 15, "COM2", 0,
         true, false,
         ResOk, Port::New, "COM2", {"COM2"}, 1, 2, 0, "COM2", true, 2, 3, 7, 30, {1000}},
        {"failed reconfigure after a refused close", Start::Open, 15, "NOSUCH", 0, true, false,
         ResFail, Port::Old, "", {"COM1"}, 1, 1, 0, "NOSUCH", true, 2, 3, 7, 30, {}},
        {"reconfigure of the same device fails, old port stays", Start::Open, 15, "COM1", 0,
         false, false,
         ResFail, Port::Old, "", {"COM1"}, 1, 0, 0, "COM1", true, 2, 3, 7, 30, {}},
        // CmdPurge and CmdGetInfo change nothing
        {"purge of an open channel", Start::Open, 2, "", 0, false, false,
         ResOk, Port::Old, "", {"COM1"}, 0, 0, 0, "COM1", false, 2, 3, 7, 20, {}},
        {"purge of a closed channel", Start::Closed, 2, "", 0, false, false,
         ResOk, Port::Zero, "", {}, 0, 0, 0, "COM1", false, 2, 3, 7, 20, {}},
        {"info on an open channel", Start::Open, 14, "", 0, false, false,
         ResOk, Port::Old, "", {"COM1"}, 0, 0, 0, "COM1", false, 2, 3, 7, 20, {}},
    };
    // clang-format on

    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bench b;
        Prepare(b, row.start);
        const Handle old = b.channel.port;
        ChannelState before;
        std::memcpy(&before, &b.channel, sizeof before);
        if (row.refuseClose) {
            b.fake.FailNext(Call::CloseHandle);
        }
        if (row.refuseOpen) {
            b.fake.FailNext(Call::CreateFileA);
        }

        std::int32_t result = 0;
        if (row.code == 1) {
            result = b.Open(row.device, row.enabled, 40, kLineB);
        } else if (row.code == 15) {
            result = b.Reconfigure(row.device, 30, kLineB);
        } else if (row.code == 14) {
            DriverInfo info;
            result = b.Run(14, &b.channel, &info);
        } else {
            result = b.Run(row.code);
        }

        EXPECT_EQ(result, row.result);
        switch (row.port) {
            case Port::Zero:
                EXPECT_EQ(b.channel.port, 0U);
                break;
            case Port::Old:
                EXPECT_EQ(b.channel.port, old);
                EXPECT_NE(old, 0U);
                break;
            case Port::New:
                EXPECT_NE(b.channel.port, 0U);
                EXPECT_NE(b.channel.port, old);
                EXPECT_EQ(b.channel.port, b.fake.HandleOf(row.portDevice));
                break;
        }
        for (const char* device : {"COM1", "COM2", "COM3"}) {
            bool expected = false;
            for (const std::string& d : row.openAfter) {
                expected = expected || d == device;
            }
            EXPECT_EQ(b.fake.IsOpen(device), expected) << device;
        }
        EXPECT_EQ(b.fake.Count(Call::CreateFileA), row.creates);
        EXPECT_EQ(b.fake.Count(Call::CloseHandle), row.closes);
        EXPECT_EQ(b.TimeoutsWritten(), row.timeoutsWritten);
        if (row.port == Port::New && row.timeoutsWritten.size() == 1) {
            EXPECT_EQ(b.fake.TimeoutsOf(b.channel.port).ReadTotalTimeoutConstant, 1000U);
        }

        const std::vector<std::string> errs = b.ErrLines();
        ASSERT_EQ(errs.size(), row.errs);
        if (row.errs == 1) {
            EXPECT_EQ(errs[0], kErrPrefix + row.device);
        }

        if (row.settingsDevice != nullptr) {
            EXPECT_STREQ(b.channel.settings.device, row.settingsDevice);
        } else {
            EXPECT_EQ(std::memcmp(b.channel.settings.device, before.settings.device,
                                  sizeof before.settings.device),
                      0);
        }
        EXPECT_TRUE(SameLine(b.channel.settings.line, row.newLine ? kLineB : before.settings.line));
        EXPECT_EQ(b.channel.settings.controlFlags, row.flags);
        EXPECT_EQ(b.channel.enabled, row.enabledAfter);
        EXPECT_EQ(b.channel.selectedStation, row.stationAfter);
        EXPECT_EQ(b.channel.replyTimeout, row.timeoutAfter);
        if (row.port == Port::New) {
            // The port really runs on the stored settings.
            const CommState state = b.fake.StateOf(b.channel.port);
            EXPECT_EQ(state.BaudRate, std::uint32_t{b.channel.settings.line.baudRate});
            EXPECT_EQ(state.ByteSize, b.channel.settings.line.dataBits);
        }
    }
}

// ---------------------------------------------------------------------------
// CmdOpen

TEST(LifecycleOpen, FailureMessageIsExactlyOneLine) {
    Bench b;
    b.fake.RemoveDevice("COM7");
    EXPECT_EQ(b.Open("COM7"), ResFail);
    EXPECT_EQ(b.ErrLines(), std::vector<std::string>{kErrPrefix + "COM7"});
    EXPECT_EQ(b.ErrLines()[0], "[32] ZANWestNet II Data HighWay : Fail to open COM7");

    // Each failed open reports once more; nothing else ever reports.
    EXPECT_EQ(b.Open("COM1", 1, 50), ResOk);
    b.channel.settings.device[0] = 'X';  // make the reopen fail
    EXPECT_EQ(b.Run(12), ResOk);
    EXPECT_EQ(b.Run(13), ResFail);
    EXPECT_EQ(b.Reconfigure("COM7"), ResFail);
    EXPECT_EQ(b.Run(2), ResOk);
    EXPECT_EQ(b.ErrLines().size(), 1U);
    EXPECT_EQ(b.Open("COM7"), ResFail);
    EXPECT_EQ(b.ErrLines().size(), 2U);
}

TEST(LifecycleOpen, FailuresAfterCreateReportAndLeaveNothingOpen) {
    // Line state refused, time-outs refused, state unreadable: each is a failed open.
    for (Call call : {Call::GetCommState, Call::SetCommTimeouts, Call::SetCommState}) {
        SCOPED_TRACE(fake::CallName(call));
        Bench b;
        b.fake.FailNext(call);
        EXPECT_EQ(b.Open("COM4"), ResFail);
        EXPECT_EQ(b.channel.port, 0U);
        EXPECT_FALSE(b.fake.IsOpen("COM4"));
        EXPECT_EQ(b.ErrLines(), std::vector<std::string>{kErrPrefix + "COM4"});
    }
}

TEST(LifecycleOpen, ReplyTimeoutReachesThePortOnlyWhenPositive) {
    struct Case {
        std::int32_t timeout;
        std::uint32_t portMs;
        std::size_t timeoutReads;  // GetCommTimeouts calls
    };
    for (const Case& c : {Case{50, 500, 1}, Case{1, 10, 1}, Case{100, 1000, 1}, Case{0, 1000, 0},
                          Case{-1, 1000, 0}, Case{-2147483647 - 1, 1000, 0}}) {
        SCOPED_TRACE(c.timeout);
        Bench b;
        EXPECT_EQ(b.Open("COM3", 7, c.timeout), ResOk);
        EXPECT_EQ(b.fake.TimeoutsOf(b.channel.port).ReadTotalTimeoutConstant, c.portMs);
        EXPECT_EQ(b.fake.Count(Call::GetCommTimeouts), c.timeoutReads);
        EXPECT_EQ(b.channel.replyTimeout, c.timeout);  // stored as given
        EXPECT_EQ(b.channel.settings.controlFlags, 2);
        EXPECT_EQ(b.channel.enabled, 7);
        EXPECT_EQ(b.channel.selectedStation, STATION_NONE);
        EXPECT_STREQ(b.channel.settings.device, "COM3");
        // DTR off, RTS raised.
        EXPECT_EQ(b.fake.StateOf(b.channel.port).fDtrControl, kDtrDisable);
        EXPECT_EQ(b.fake.StateOf(b.channel.port).fRtsControl, kRtsEnable);
    }
}

TEST(LifecycleOpen, FailingReplyTimeoutIsIgnored) {
    Bench b;
    b.fake.FailNext(Call::GetCommTimeouts);
    EXPECT_EQ(b.Open("COM3", 1, 50), ResOk);
    EXPECT_EQ(b.channel.port, b.fake.HandleOf("COM3"));
    EXPECT_EQ(b.channel.replyTimeout, 50);
    EXPECT_TRUE(b.ErrLines().empty());
}

TEST(LifecycleOpen, StoresAFreshSettingsRecord) {
    // The 22 bytes come from the new open alone: nothing of an old, longer
    // name survives behind the terminator.
    Bench b;
    b.fake.AddDevice("LONGNAME123");
    ASSERT_EQ(b.Open("LONGNAME123"), ResOk);
    ASSERT_EQ(b.Run(12), ResOk);
    ASSERT_EQ(b.Open("COM2"), ResOk);
    const char expected[DEVICE_NAME_SIZE] = {'C', 'O', 'M', '2'};
    EXPECT_EQ(std::memcmp(b.channel.settings.device, expected, sizeof expected), 0);
}

TEST(LifecycleOpen, NullDeviceOpensWithoutLineSetup) {
    Bench b;
    EXPECT_EQ(b.Open("NUL", 1, 50), ResOk);
    EXPECT_EQ(b.channel.port, b.fake.HandleOf("NUL"));
    EXPECT_EQ(b.fake.Count(Call::SetCommState), 0U);
    EXPECT_TRUE(b.ErrLines().empty());
}

// ---------------------------------------------------------------------------
// Names that do not end within their 12 bytes are refused, never opened.

TEST(LifecycleNames, UnterminatedOpenNameIsRefusedWithTheNameCutShort) {
    Bench b;
    ASSERT_EQ(b.Open("COM1", 3, 20, kLineA), ResOk);
    b.channel.selectedStation = 9;
    b.fake.ClearCalls();
    ChannelState before;
    std::memcpy(&before, &b.channel, sizeof before);

    OpenParams params;
    std::memcpy(params.device, "COM1ABCDEFGH", 12);  // no terminator
    params.enabled = 4;
    params.replyTimeout = 77;
    params.line = kLineB;
    EXPECT_EQ(b.Run(1, &b.channel, &params), ResFail);
    EXPECT_EQ(b.ErrLines(), std::vector<std::string>{kErrPrefix + "COM1ABCDEFG"});
    EXPECT_TRUE(b.fake.Calls().empty());
    EXPECT_EQ(b.channel.selectedStation, STATION_NONE);
    EXPECT_EQ(b.channel.enabled, 4);
    EXPECT_EQ(b.channel.port, before.port);
    EXPECT_EQ(b.channel.replyTimeout, 20);
    EXPECT_EQ(std::memcmp(&b.channel.settings, &before.settings, sizeof before.settings), 0);

    // Disabled, the name is never looked at.
    params.enabled = 0;
    EXPECT_EQ(b.Run(1, &b.channel, &params), ResOk);
    EXPECT_EQ(b.ErrLines().size(), 1U);
    EXPECT_EQ(b.channel.enabled, 0);
}

TEST(LifecycleNames, UnterminatedReconfigureNameChangesNothing) {
    for (bool open : {false, true}) {
        SCOPED_TRACE(open);
        Bench b;
        ASSERT_EQ(b.Open("COM1"), ResOk);
        if (!open) {
            ASSERT_EQ(b.Run(12), ResOk);
        }
        b.fake.ClearCalls();
        ChannelState before;
        std::memcpy(&before, &b.channel, sizeof before);
        ReconfigureParams params;
        std::memset(params.device, 'C', sizeof params.device);
        params.replyTimeout = 30;
        params.line = kLineB;
        EXPECT_EQ(b.Run(15, &b.channel, &params), ResFail);
        EXPECT_EQ(std::memcmp(&b.channel, &before, sizeof before), 0);
        EXPECT_TRUE(b.fake.Calls().empty());
        EXPECT_TRUE(b.ErrLines().empty());
    }
}

TEST(LifecycleNames, ReopenOfAnUnterminatedStoredNameFails) {
    Bench b;  // the host's record, never opened: its name bytes are all 0xA5
    EXPECT_EQ(b.Run(13), ResFail);
    EXPECT_TRUE(b.fake.Calls().empty());
    EXPECT_EQ(b.channel.port, 0U);
    EXPECT_EQ(b.channel.enabled, kPatternWord);
}

TEST(LifecycleNames, ElevenCharacterNameIsAccepted) {
    Bench b;
    b.fake.AddDevice("ABCDEFGHIJK");
    EXPECT_EQ(b.Open("ABCDEFGHIJK"), ResOk);
    EXPECT_STREQ(b.channel.settings.device, "ABCDEFGHIJK");
    ASSERT_EQ(b.Run(12), ResOk);
    b.fake.AddDevice("LMNOPQRSTUV");
    EXPECT_EQ(b.Reconfigure("LMNOPQRSTUV"), ResOk);
    EXPECT_EQ(b.channel.port, b.fake.HandleOf("LMNOPQRSTUV"));
}

// ---------------------------------------------------------------------------
// Close, purge, reopen, reconfigure

TEST(LifecycleClose, SecondCloseCallsNothing) {
    Bench b;
    ASSERT_EQ(b.Open("COM1"), ResOk);
    b.fake.ClearCalls();
    EXPECT_EQ(b.Run(12), ResOk);
    EXPECT_EQ(b.fake.Count(Call::CloseHandle), 1U);
    EXPECT_FALSE(b.fake.IsOpen("COM1"));
    b.fake.ClearCalls();
    EXPECT_EQ(b.Run(12), ResOk);
    EXPECT_TRUE(b.fake.Calls().empty());
}

TEST(LifecycleClose, RefusedCloseIsTriedAgainLater) {
    Bench b;
    ASSERT_EQ(b.Open("COM1"), ResOk);
    const Handle port = b.channel.port;
    b.fake.FailNext(Call::CloseHandle);
    EXPECT_EQ(b.Run(11), ResFail);
    EXPECT_EQ(b.channel.port, port);
    EXPECT_EQ(b.Run(11), ResOk);
    EXPECT_EQ(b.channel.port, 0U);
    EXPECT_FALSE(b.fake.IsOpen("COM1"));
}

TEST(LifecycleClose, ShutdownAndCloseLeaveTheSameChannel) {
    enum class Setup { Open, OpenRefusing, Closed };
    for (Setup setup : {Setup::Open, Setup::OpenRefusing, Setup::Closed}) {
        SCOPED_TRACE(static_cast<int>(setup));
        std::int32_t results[2];
        ChannelState after[2];
        std::size_t calls[2];
        const std::int32_t codes[2] = {11, 12};
        for (int i = 0; i < 2; ++i) {
            Bench b;
            ASSERT_EQ(b.Open("COM1", 1, 20), ResOk);
            if (setup == Setup::Closed) {
                ASSERT_EQ(b.Run(12), ResOk);
            }
            if (setup == Setup::OpenRefusing) {
                b.fake.FailNext(Call::CloseHandle);
            }
            b.fake.ClearCalls();
            results[i] = b.Run(codes[i]);
            std::memcpy(&after[i], &b.channel, sizeof after[i]);
            calls[i] = b.fake.Calls().size();
        }
        EXPECT_EQ(results[0], results[1]);
        EXPECT_EQ(std::memcmp(&after[0], &after[1], sizeof after[0]), 0);
        EXPECT_EQ(calls[0], calls[1]);
    }
}

TEST(LifecyclePurge, ClosedChannelCallsNothing) {
    Bench b;
    EXPECT_EQ(b.Run(2), ResOk);
    EXPECT_TRUE(b.fake.Calls().empty());
}

TEST(LifecyclePurge, OpenChannelDiscardsWaitingInputWhateverTheDrainSays) {
    Bench b;
    ASSERT_EQ(b.Open("COM1", 1, 50), ResOk);
    b.fake.PutWaiting(std::vector<std::uint8_t>(40, 0x55));
    b.fake.EndWindow();
    EXPECT_EQ(b.Run(2), ResOk);
    EXPECT_EQ(b.fake.Waiting(), 0U);
    EXPECT_EQ(b.fake.TimeoutsOf(b.channel.port).ReadTotalTimeoutConstant, 500U);

    b.fake.PutWaiting({1, 2, 3});
    b.fake.FailNext(Call::ReadFile);
    EXPECT_EQ(b.Run(2), ResOk);
}

TEST(LifecycleReopen, AfterCloseOpensTheStoredSettings) {
    Bench b;
    ASSERT_EQ(b.Open("COM5", 1, 50, kLineB), ResOk);
    b.channel.selectedStation = 12;  // as a selection would leave it
    ASSERT_EQ(b.Run(12), ResOk);
    b.channel.enabled = 0;
    b.fake.ClearCalls();

    EXPECT_EQ(b.Run(13), ResOk);
    ASSERT_EQ(b.fake.Count(Call::CreateFileA), 1U);
    EXPECT_EQ(b.fake.Calls()[b.IndexOf(Call::CreateFileA)].name, "COM5");
    EXPECT_EQ(b.channel.port, b.fake.HandleOf("COM5"));
    const CommState state = b.fake.StateOf(b.channel.port);
    EXPECT_EQ(state.BaudRate, 4800U);
    EXPECT_EQ(state.ByteSize, 7);
    EXPECT_EQ(state.StopBits, kTwoStopBits);
    EXPECT_EQ(state.Parity, kOddParity);
    EXPECT_EQ(state.fDtrControl, kDtrDisable);
    EXPECT_EQ(state.fRtsControl, kRtsEnable);
    EXPECT_EQ(b.channel.enabled, 1);
    EXPECT_EQ(b.channel.selectedStation, 12);
    EXPECT_EQ(b.fake.TimeoutsOf(b.channel.port).ReadTotalTimeoutConstant, 1000U);
    EXPECT_EQ(b.channel.replyTimeout, 50);
    EXPECT_TRUE(b.ErrLines().empty());
}

TEST(LifecycleReopen, AfterDisabledOpenOpensWhateverIsStored) {
    Bench b;
    std::strcpy(b.channel.settings.device, "COM6");
    b.channel.settings.line = kLineA;
    b.channel.settings.controlFlags = 0x0100;  // DTR raised, RTS off
    ASSERT_EQ(b.Open("COM2", 0), ResOk);
    EXPECT_EQ(b.Run(13), ResOk);
    EXPECT_EQ(b.channel.port, b.fake.HandleOf("COM6"));
    EXPECT_FALSE(b.fake.IsOpen("COM2"));
    EXPECT_EQ(b.fake.StateOf(b.channel.port).fDtrControl, kDtrEnable);
    EXPECT_EQ(b.fake.StateOf(b.channel.port).fRtsControl, kRtsDisable);
    EXPECT_EQ(b.channel.selectedStation, STATION_NONE);
}

TEST(LifecycleReconfigure, ReplyTimeoutIsStoredOnlyWhenGiven) {
    for (std::int32_t given : {0, 30, -4}) {
        SCOPED_TRACE(given);
        Bench b;
        ASSERT_EQ(b.Open("COM1", 1, 50), ResOk);
        EXPECT_EQ(b.Reconfigure("COM2", given), ResOk);
        EXPECT_EQ(b.channel.replyTimeout, given == 0 ? 50 : given);
        EXPECT_EQ(b.fake.TimeoutsOf(b.channel.port).ReadTotalTimeoutConstant, 1000U);
    }
}

TEST(LifecycleReconfigure, OtherNameClosesBeforeOpening) {
    // Names compare case for case: com1 is another device than COM1.
    for (const char* next : {"COM2", "com1"}) {
        SCOPED_TRACE(next);
        Bench b;
        b.fake.AddDevice("com1");
        ASSERT_EQ(b.Open("COM1"), ResOk);
        const Handle old = b.channel.port;
        b.fake.ClearCalls();
        EXPECT_EQ(b.Reconfigure(next), ResOk);
        ASSERT_EQ(b.fake.Count(Call::CloseHandle), 1U);
        EXPECT_EQ(b.fake.Calls()[b.IndexOf(Call::CloseHandle)].handle, old);
        EXPECT_LT(b.IndexOf(Call::CloseHandle), b.IndexOf(Call::CreateFileA));
        EXPECT_EQ(b.fake.Calls()[b.IndexOf(Call::CreateFileA)].name, next);
        EXPECT_FALSE(b.fake.IsOpen("COM1"));
        EXPECT_EQ(b.channel.port, b.fake.HandleOf(next));
    }
}

TEST(LifecycleReconfigure, SameNameFailsThenCloseAndReopenTakeTheNewLine) {
    Bench b;
    ASSERT_EQ(b.Open("COM1", 1, 20, kLineA), ResOk);
    const Handle old = b.channel.port;
    EXPECT_EQ(b.Reconfigure("COM1", 0, kLineB), ResFail);
    EXPECT_EQ(b.channel.port, old);
    EXPECT_TRUE(b.fake.IsOpen("COM1"));
    EXPECT_EQ(b.fake.StateOf(old).BaudRate, std::uint32_t{kLineA.baudRate});  // still the old line
    EXPECT_TRUE(SameLine(b.channel.settings.line, kLineB));

    ASSERT_EQ(b.Run(12), ResOk);
    b.fake.ClearCalls();
    EXPECT_EQ(b.Run(13), ResOk);
    EXPECT_EQ(b.fake.Calls()[b.IndexOf(Call::CreateFileA)].name, "COM1");
    const CommState state = b.fake.StateOf(b.channel.port);
    EXPECT_EQ(state.BaudRate, std::uint32_t{kLineB.baudRate});
    EXPECT_EQ(state.ByteSize, kLineB.dataBits);
    EXPECT_EQ(state.StopBits, kLineB.stopBits);
    EXPECT_EQ(state.Parity, kLineB.parity);
    EXPECT_TRUE(b.ErrLines().empty());
}

// ---------------------------------------------------------------------------
// Pointers the commands use and do not use

TEST(LifecyclePointers, NullPointersACommandUsesAreRefusedUntouched) {
    struct Case {
        std::int32_t code;
        bool nullChannel;
    };
    const Case cases[] = {{1, true},  {1, false},  {2, true},  {11, true}, {12, true},
                          {13, true}, {14, false}, {15, true}, {15, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.code << (c.nullChannel ? " channel" : " params"));
        Bench b;
        ASSERT_EQ(b.Open("COM1", 1, 20), ResOk);
        b.fake.ClearCalls();
        b.ClearErrLog();
        ChannelState before;
        std::memcpy(&before, &b.channel, sizeof before);
        unsigned char params[32];
        std::memset(params, 0, sizeof params);
        std::memcpy(params, "COM2", 5);  // a usable name for 1 and 15
        std::int32_t enabled = 1;
        std::memcpy(params + 12, &enabled, sizeof enabled);
        EXPECT_EQ(b.Run(c.code, c.nullChannel ? nullptr : &b.channel,
                        c.nullChannel ? static_cast<void*>(params) : nullptr),
                  ResBad);
        EXPECT_EQ(std::memcmp(&b.channel, &before, sizeof before), 0);
        EXPECT_TRUE(b.fake.Calls().empty());
        EXPECT_TRUE(b.ErrLines().empty());
    }
}

TEST(LifecyclePointers, CommandsWithoutParamsIgnoreWhateverIsThere) {
    unsigned char garbage[32];
    std::memset(garbage, 0xEE, sizeof garbage);
    for (void* params : {static_cast<void*>(nullptr), static_cast<void*>(garbage)}) {
        Bench b;
        ASSERT_EQ(b.Open("COM1"), ResOk);
        b.fake.PutWaiting({9, 9});
        EXPECT_EQ(b.Run(2, &b.channel, params), ResOk);
        EXPECT_EQ(b.fake.Waiting(), 0U);
        EXPECT_EQ(b.Run(11, &b.channel, params), ResOk);
        EXPECT_FALSE(b.fake.IsOpen("COM1"));
        EXPECT_EQ(b.Run(13, &b.channel, params), ResOk);
        EXPECT_TRUE(b.fake.IsOpen("COM1"));
        EXPECT_EQ(b.Run(12, &b.channel, params), ResOk);
        EXPECT_FALSE(b.fake.IsOpen("COM1"));
    }
    for (unsigned char byte : garbage) {
        ASSERT_EQ(byte, 0xEE);
    }
}

// ---------------------------------------------------------------------------
// CmdGetInfo

TEST(LifecycleInfo, FillsTheRecordIdenticallyEveryTime) {
    fake::FakePlatform fake;
    DriverInfo first;
    DriverInfo second;
    std::memset(&first, 0xCC, sizeof first);
    std::memset(&second, 0xCC, sizeof second);
    unsigned char garbage[40];
    std::memset(garbage, 0x5A, sizeof garbage);
    for (DriverInfo* info : {&first, &second}) {
        DriverRequest request{};
        request.channel = info == &first ? nullptr : reinterpret_cast<ChannelState*>(garbage);
        request.command = 14;
        request.params = info;
        EXPECT_EQ(ZanMain(&request), ResOk);
    }
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_EQ(std::memcmp(&first, &second, sizeof first), 0);

    EXPECT_EQ(first.value0, 70);
    EXPECT_EQ(first.value12, 40);
    EXPECT_EQ(first.value16, 4);
    EXPECT_EQ(first.value28, 3);
    EXPECT_EQ(first.line.baudRate, 9600);
    EXPECT_EQ(first.line.dataBits, 8);
    EXPECT_EQ(first.line.stopBits, 2);
    EXPECT_EQ(first.line.parity, 1);
    const unsigned char lineBytes[8] = {0x80, 0x25, 8, 0, 2, 0, 1, 0};
    EXPECT_EQ(std::memcmp(&first.line, lineBytes, sizeof lineBytes), 0);

    ASSERT_NE(first.name, nullptr);
    const char name[] = "WestNet II Data HighWay";
    EXPECT_EQ(std::memcmp(first.name, name, sizeof name), 0);
    EXPECT_EQ(first.name, DRIVER_NAME);

    // clang-format off
    const char banner[] =
        "\r\n"
        "   "
        "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4" "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
        "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4" "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
        "\xC4"
        "                 "
        "\r\n"
        "   "
        "Westnet II Data Highway, driver Installed."
        "             "
        "\r\n"
        "   "
        "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4" "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
        "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4" "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
        "\xC4"
        "              "
        "\r\n";
    // clang-format on
    static_assert(sizeof banner == 186, "185 bytes and the terminator");
    ASSERT_NE(first.banner, nullptr);
    EXPECT_EQ(std::memcmp(first.banner, banner, sizeof banner), 0);
    EXPECT_EQ(std::strlen(first.banner), 185U);
    EXPECT_EQ(first.banner, DRIVER_BANNER);
}

}  // namespace
}  // namespace westnet
