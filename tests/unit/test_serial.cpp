// The serial line layer against the scripted platform: what it asks of the
// device, in which order, and what it makes of every answer.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "fake_platform.h"
#include "serial/serial.h"

namespace westnet {
namespace {

using fake::Call;
using fake::FakePlatform;

constexpr LineParams kLine{9600, 8, kOneStopBit, kNoParity};

std::vector<Call> CallKinds(const FakePlatform& fake) {
    std::vector<Call> kinds;
    for (const fake::Record& r : fake.Calls()) {
        kinds.push_back(r.call);
    }
    return kinds;
}

std::vector<const fake::Record*> Records(const FakePlatform& fake, Call call) {
    std::vector<const fake::Record*> out;
    for (const fake::Record& r : fake.Calls()) {
        if (r.call == call) {
            out.push_back(&r);
        }
    }
    return out;
}

Handle OpenOrDie(const char* name, const LineParams& line = kLine, ControlFlags flags = 0x0002) {
    Handle handle = 0;
    EXPECT_EQ(SerialOpen(name, line, flags, &handle), SerOk);
    return handle;
}

void SetReadConstant(Handle handle, std::uint32_t ms) {
    CommTimeouts t;
    ASSERT_NE(ActivePlatform().GetCommTimeouts(handle, &t), 0);
    t.ReadTotalTimeoutConstant = ms;
    ASSERT_NE(ActivePlatform().SetCommTimeouts(handle, &t), 0);
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t first = 0) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(first + i);
    }
    return v;
}

// --- DTR and RTS -----------------------------------------------------------

TEST(SerialControlFlags, FirstMatchSelectsDtrAndRts) {
    struct Case {
        ControlFlags flags;
        std::uint32_t dtr;
        std::uint32_t rts;
    };
    const Case cases[] = {
        {0x0000, kDtrDisable, kRtsDisable},   {0x0002, kDtrDisable, kRtsEnable},
        {0x0100, kDtrEnable, kRtsDisable},    {0x0001, kDtrEnable, kRtsDisable},
        {0x0200, kDtrDisable, kRtsEnable},    {0x8101, kDtrEnable, kRtsDisable},
        {0x8000, kDtrHandshake, kRtsDisable}, {0x3000, kDtrDisable, kRtsHandshake},
        {0x1000, kDtrDisable, kRtsHandshake}, {0x2000, kDtrDisable, kRtsToggle},
        {0x4000, kDtrDisable, kRtsDisable},   {0x00FC, kDtrDisable, kRtsDisable},
        {0x0C00, kDtrDisable, kRtsDisable},   {0x9000, kDtrHandshake, kRtsHandshake},
        {0xA202, kDtrHandshake, kRtsEnable},  {0xFFFF, kDtrEnable, kRtsEnable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(DtrModeFor(c.flags), c.dtr);
        EXPECT_EQ(RtsModeFor(c.flags), c.rts);

        FakePlatform fake;
        const Handle h = OpenOrDie("COM1", kLine, c.flags);
        EXPECT_EQ(fake.StateOf(h).fDtrControl, c.dtr);
        EXPECT_EQ(fake.StateOf(h).fRtsControl, c.rts);
    }
}

// --- Open --------------------------------------------------------------------

TEST(SerialOpenTest, ConfiguresTheLineInOrder) {
    FakePlatform fake;
    const CommState initial = fake.InitialState();
    Handle h = 0;
    // High bytes of the code words are not part of the codes.
    const LineParams line{19200, 0x0108, 0x0302, 0x0402};
    ASSERT_EQ(SerialOpen("COM3", line, 0x0002, &h), SerOk);
    EXPECT_EQ(h, fake.HandleOf("COM3"));
    EXPECT_NE(h, 0U);

    EXPECT_EQ(CallKinds(fake),
              (std::vector<Call>{Call::CreateFileA, Call::GetCommState, Call::SetCommTimeouts,
                                 Call::SetCommState, Call::SetupComm}));
    const fake::Record& create = fake.Calls()[0];
    EXPECT_EQ(create.name, "COM3");
    EXPECT_EQ(create.access, kGenericRead | kGenericWrite);
    EXPECT_EQ(create.share, 0U);
    EXPECT_EQ(create.creation, kOpenExisting);
    EXPECT_EQ(create.flags, kFileAttributeNormal);

    EXPECT_EQ(fake.Calls()[1].state.DCBlength, 28U);  // set before the read

    const CommTimeouts& t = fake.Calls()[2].timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, 0U);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0U);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000U);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0U);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0U);

    const CommState& s = fake.Calls()[3].state;
    EXPECT_EQ(s.DCBlength, 28U);
    EXPECT_EQ(s.BaudRate, 19200U);
    EXPECT_EQ(s.fBinary, 1U);
    EXPECT_EQ(s.fParity, 1U);
    EXPECT_EQ(s.fOutxCtsFlow, 0U);
    EXPECT_EQ(s.fOutxDsrFlow, 0U);
    EXPECT_EQ(s.fDtrControl, kDtrDisable);
    EXPECT_EQ(s.fDsrSensitivity, 0U);
    EXPECT_EQ(s.fOutX, 0U);
    EXPECT_EQ(s.fInX, 0U);
    EXPECT_EQ(s.fErrorChar, 0U);
    EXPECT_EQ(s.fNull, 0U);
    EXPECT_EQ(s.fRtsControl, kRtsEnable);
    EXPECT_EQ(s.fAbortOnError, 0U);
    EXPECT_EQ(s.ByteSize, 8);
    EXPECT_EQ(s.StopBits, kTwoStopBits);
    EXPECT_EQ(s.Parity, kEvenParity);
    EXPECT_EQ(s.ErrorChar, static_cast<char>(0xFC));
    // Everything else stays as the device reported it.
    EXPECT_EQ(s.fTXContinueOnXoff, initial.fTXContinueOnXoff);
    EXPECT_EQ(s.fDummy2, initial.fDummy2);
    EXPECT_EQ(s.wReserved, initial.wReserved);
    EXPECT_EQ(s.XonLim, initial.XonLim);
    EXPECT_EQ(s.XoffLim, initial.XoffLim);
    EXPECT_EQ(s.XonChar, initial.XonChar);
    EXPECT_EQ(s.XoffChar, initial.XoffChar);
    EXPECT_EQ(s.EofChar, initial.EofChar);
    EXPECT_EQ(s.EvtChar, initial.EvtChar);
    EXPECT_EQ(s.wReserved1, initial.wReserved1);

    EXPECT_EQ(fake.Calls()[4].count, 1200U);
    EXPECT_EQ(fake.Calls()[4].count2, 1200U);
}

TEST(SerialOpenTest, BaudRateIsZeroExtended) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1", LineParams{65535, 7, kOneStopBit, kMarkParity});
    EXPECT_EQ(fake.StateOf(h).BaudRate, 65535U);
    EXPECT_EQ(fake.StateOf(h).ByteSize, 7);
    EXPECT_EQ(fake.StateOf(h).Parity, kMarkParity);
}

TEST(SerialOpenTest, NullDeviceIsOpenedButNotConfigured) {
    FakePlatform fake;
    Handle h = 0;
    ASSERT_EQ(SerialOpen("NUL", kLine, 0x0002, &h), SerOk);
    EXPECT_EQ(h, fake.HandleOf("NUL"));
    EXPECT_EQ(CallKinds(fake), std::vector<Call>{Call::CreateFileA});
}

TEST(SerialOpenTest, OnlyTheExactNullNameSkipsConfiguration) {
    for (const char* name : {"nul", "NUL ", "NUL:"}) {
        SCOPED_TRACE(name);
        FakePlatform fake;
        fake.AddDevice(name);
        OpenOrDie(name);
        EXPECT_EQ(fake.Count(Call::SetCommState), 1U);
    }
}

TEST(SerialOpenTest, MissingOrBusyDeviceFails) {
    FakePlatform fake;
    Handle h = 0;
    EXPECT_EQ(SerialOpen("COM12", kLine, 0x0002, &h), SerOpenFailed);
    EXPECT_EQ(h, kInvalidHandle);

    const Handle first = OpenOrDie("COM2");
    fake.ClearCalls();
    EXPECT_EQ(SerialOpen("COM2", kLine, 0x0002, &h), SerOpenFailed);
    EXPECT_EQ(h, kInvalidHandle);
    EXPECT_EQ(fake.Count(Call::CloseHandle), 0U);  // nothing to close
    EXPECT_EQ(fake.HandleOf("COM2"), first);
}

TEST(SerialOpenTest, EachFailingStepGivesItsCodeAndClosesTheDevice) {
    struct Case {
        Call call;
        int result;
    };
    const Case cases[] = {
        {Call::CreateFileA, SerOpenFailed},
        {Call::GetCommState, SerGetStateFailed},
        {Call::SetCommTimeouts, SerOpenFailed},
        {Call::SetCommState, SerSetStateFailed},
        {Call::SetupComm, SerOk},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fake::CallName(c.call));
        FakePlatform fake;
        fake.FailNext(c.call);
        Handle h = 0;
        EXPECT_EQ(SerialOpen("COM1", kLine, 0x0002, &h), c.result);
        if (c.result == SerOk) {
            EXPECT_TRUE(fake.IsOpen("COM1"));
            EXPECT_EQ(h, fake.HandleOf("COM1"));
            continue;
        }
        EXPECT_FALSE(fake.IsOpen("COM1"));
        const auto closes = Records(fake, Call::CloseHandle);
        if (c.call == Call::CreateFileA) {
            EXPECT_EQ(h, kInvalidHandle);
            EXPECT_TRUE(closes.empty());
        } else {
            // The handle was handed out at once and then closed again.
            ASSERT_EQ(closes.size(), 1U);
            EXPECT_EQ(closes[0]->handle, h);
            EXPECT_NE(h, kInvalidHandle);
        }
        EXPECT_EQ(SerialOpen("COM1", kLine, 0x0002, &h), SerOk);  // free for the next open
    }
}

TEST(SerialOpenTest, FailureAtEveryPlatformCallLeavesNothingOpen) {
    int failures = 0;
    for (int n = 1; n < 50; ++n) {
        SCOPED_TRACE(n);
        FakePlatform fake;
        fake.FailAtCall(n);
        Handle h = 0;
        const int result =
            SerialOpen("COM4", LineParams{4800, 7, kTwoStopBits, kOddParity}, 0x8101, &h);
        if (!fake.FailureFired()) {
            EXPECT_EQ(result, SerOk);
            break;
        }
        ++failures;
        const Call failed = fake.Calls()[static_cast<std::size_t>(n - 1)].call;
        int expected = SerOk;
        switch (failed) {
            case Call::CreateFileA:
            case Call::SetCommTimeouts:
                expected = SerOpenFailed;
                break;
            case Call::GetCommState:
                expected = SerGetStateFailed;
                break;
            case Call::SetCommState:
                expected = SerSetStateFailed;
                break;
            default:
                break;
        }
        EXPECT_EQ(result, expected) << fake::CallName(failed);
        EXPECT_EQ(fake.IsOpen("COM4"), result == SerOk) << fake::CallName(failed);
    }
    EXPECT_EQ(failures, 5);
}

TEST(SerialOpenTest, MissingNameOrHandleSlotOpensNothing) {
    FakePlatform fake;
    Handle h = 0;
    EXPECT_EQ(SerialOpen(nullptr, kLine, 0x0002, &h), SerOpenFailed);
    EXPECT_EQ(SerialOpen("COM1", kLine, 0x0002, nullptr), SerOpenFailed);
    EXPECT_TRUE(fake.Calls().empty());
}

// --- Close -------------------------------------------------------------------

TEST(SerialCloseTest, ReportsWhetherTheDeviceClosed) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1");
    fake.FailNext(Call::CloseHandle);
    EXPECT_EQ(SerialClose(h), SerIoFailed);
    EXPECT_TRUE(fake.IsOpen("COM1"));
    EXPECT_EQ(SerialClose(h), SerOk);
    EXPECT_FALSE(fake.IsOpen("COM1"));
    EXPECT_EQ(SerialClose(h), SerIoFailed);  // no longer a device
}

// --- Reply time-out ----------------------------------------------------------

TEST(SerialReplyTimeoutTest, WritesOnlyTheConstantAndOnlyWhenItChanges) {
    FakePlatform fake;
    // The null device keeps the device's own time-outs, all fields distinct.
    const Handle h = OpenOrDie("NUL");
    const CommTimeouts before = fake.TimeoutsOf(h);
    fake.ClearCalls();

    EXPECT_EQ(SerialSetReplyTimeout(h, 7),
              static_cast<std::int32_t>(before.ReadTotalTimeoutConstant / 10));
    const CommTimeouts after = fake.TimeoutsOf(h);
    EXPECT_EQ(after.ReadTotalTimeoutConstant, 70U);
    EXPECT_EQ(after.ReadIntervalTimeout, before.ReadIntervalTimeout);
    EXPECT_EQ(after.ReadTotalTimeoutMultiplier, before.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(after.WriteTotalTimeoutMultiplier, before.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(after.WriteTotalTimeoutConstant, before.WriteTotalTimeoutConstant);
    EXPECT_EQ(fake.Count(Call::SetCommTimeouts), 1U);

    fake.ClearCalls();
    EXPECT_EQ(SerialSetReplyTimeout(h, 7), 7);
    EXPECT_EQ(CallKinds(fake), std::vector<Call>{Call::GetCommTimeouts});
}

TEST(SerialReplyTimeoutTest, PreviousValueIsRoundedDown) {
    struct Case {
        std::uint32_t previousMs;
        std::int32_t result;
    };
    const Case cases[] = {{1005, 100}, {5, 0},  {1000, 100},
                          {9, 0},      {10, 1}, {4294967295U, 429496729}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.previousMs);
        FakePlatform fake;
        const Handle h = OpenOrDie("COM1");
        SetReadConstant(h, c.previousMs);
        EXPECT_EQ(SerialSetReplyTimeout(h, 30), c.result);
        EXPECT_EQ(fake.TimeoutsOf(h).ReadTotalTimeoutConstant, 300U);
    }
}

TEST(SerialReplyTimeoutTest, ValuesBelowOneLeaveTheTimeoutAlone) {
    for (std::int32_t value : {0, -1, -100, INT_MIN}) {
        SCOPED_TRACE(value);
        FakePlatform fake;
        const Handle h = OpenOrDie("COM1");
        fake.ClearCalls();
        EXPECT_EQ(SerialSetReplyTimeout(h, value), 100);
        EXPECT_EQ(fake.Count(Call::SetCommTimeouts), 0U);
        EXPECT_EQ(fake.TimeoutsOf(h).ReadTotalTimeoutConstant, 1000U);
    }
}

TEST(SerialReplyTimeoutTest, ValuesTooLargeForMillisecondsAreClamped) {
    for (std::int32_t value : {214748364, 214748365, 300000000, INT_MAX}) {
        SCOPED_TRACE(value);
        FakePlatform fake;
        const Handle h = OpenOrDie("COM1");
        EXPECT_EQ(SerialSetReplyTimeout(h, value), 100);
        EXPECT_EQ(fake.TimeoutsOf(h).ReadTotalTimeoutConstant, 2147483640U);
        fake.ClearCalls();
        EXPECT_EQ(SerialSetReplyTimeout(h, value), 214748364);  // already in force
        EXPECT_EQ(fake.Count(Call::SetCommTimeouts), 0U);
    }
}

TEST(SerialReplyTimeoutTest, PlatformFailureGivesZeroAndChangesNothing) {
    for (Call call : {Call::GetCommTimeouts, Call::SetCommTimeouts}) {
        SCOPED_TRACE(fake::CallName(call));
        FakePlatform fake;
        const Handle h = OpenOrDie("COM1");
        fake.FailNext(call);
        EXPECT_EQ(SerialSetReplyTimeout(h, 20), 0);
        EXPECT_EQ(fake.TimeoutsOf(h).ReadTotalTimeoutConstant, 1000U);
    }
}

// --- Purge -------------------------------------------------------------------

TEST(SerialPurgeTest, CleanInputCostsOneStatusQuery) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1");
    fake.ClearCalls();
    EXPECT_EQ(SerialPurgeInput(h), 0);
    EXPECT_EQ(CallKinds(fake), std::vector<Call>{Call::ClearCommError});
}

TEST(SerialPurgeTest, DrainsWaitingBytesUnderTheShortTimeoutAndRestoresIt) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1");
    ASSERT_EQ(SerialSetReplyTimeout(h, 37), 100);
    fake.PutWaiting(Bytes(600));
    fake.ClearCalls();

    EXPECT_EQ(SerialPurgeInput(h), 0);
    EXPECT_EQ(fake.Waiting(), 0U);
    const auto reads = Records(fake, Call::ReadFile);
    ASSERT_EQ(reads.size(), 2U);
    EXPECT_EQ(reads[0]->count, 512U);
    EXPECT_EQ(reads[0]->bytes.size(), 512U);
    EXPECT_EQ(reads[1]->count, 512U);
    EXPECT_EQ(reads[1]->bytes.size(), 88U);
    EXPECT_EQ(reads[0]->readTimeoutMs, 50U);
    EXPECT_EQ(reads[1]->readTimeoutMs, 50U);
    EXPECT_EQ(fake.TimeoutsOf(h).ReadTotalTimeoutConstant, 370U);
}

TEST(SerialPurgeTest, ALineThatNeverFallsQuietIsDrainedABoundedTime) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1");
    fake.PutWaiting(Bytes(kDrainChunk * 100 + 7));
    fake.ClearCalls();

    EXPECT_EQ(SerialPurgeInput(h), 0);
    EXPECT_EQ(fake.Count(Call::ReadFile), static_cast<std::size_t>(kDrainMaxReads));
    EXPECT_EQ(fake.Waiting(), kDrainChunk * (100 - kDrainMaxReads) + 7);
    EXPECT_EQ(fake.TimeoutsOf(h).ReadTotalTimeoutConstant, 1000U);
}

TEST(SerialPurgeTest, FailedStatusQueryDrainsAnyway) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1");
    fake.FailNext(Call::ClearCommError);
    fake.Arrive(Bytes(20));
    fake.ClearCalls();

    EXPECT_EQ(SerialPurgeInput(h), 0);
    const auto reads = Records(fake, Call::ReadFile);
    ASSERT_EQ(reads.size(), 1U);
    EXPECT_EQ(reads[0]->bytes.size(), 20U);
    EXPECT_EQ(fake.TimeoutsOf(h).ReadTotalTimeoutConstant, 1000U);
}

TEST(SerialPurgeTest, FailedDrainReadIsReportedAndTheTimeoutStillRestored) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1");
    fake.PutWaiting(Bytes(1500));
    fake.FailNext(Call::ReadFile, 2);
    EXPECT_EQ(SerialPurgeInput(h), 1);
    EXPECT_EQ(fake.Count(Call::ReadFile), 2U);
    EXPECT_EQ(fake.TimeoutsOf(h).ReadTotalTimeoutConstant, 1000U);
}

TEST(SerialPurgeTest, ATimeoutBelowTenMillisecondsIsNotRestored) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1");
    SetReadConstant(h, 8);
    fake.PutWaiting(Bytes(3));
    EXPECT_EQ(SerialPurgeInput(h), 0);
    EXPECT_EQ(fake.TimeoutsOf(h).ReadTotalTimeoutConstant, 50U);
}

// --- Write -------------------------------------------------------------------

TEST(SerialWriteTest, ReportsFullShortAndFailedWrites) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1");
    const std::vector<std::uint8_t> frame = Bytes(6, 0x0A);

    std::uint32_t written = 0xDEAD;
    EXPECT_EQ(SerialWrite(h, frame.data(), 6, &written), SerOk);
    EXPECT_EQ(written, 6U);
    EXPECT_EQ(fake.Writes().back(), frame);
    EXPECT_EQ(SerialWrite(h, frame.data(), 6, nullptr), SerOk);

    fake.ShortWrite(4);
    written = 0xDEAD;
    EXPECT_EQ(SerialWrite(h, frame.data(), 6, &written), SerShortWrite);
    EXPECT_EQ(written, 4U);

    fake.FailNext(Call::WriteFile);
    written = 0xDEAD;
    EXPECT_EQ(SerialWrite(h, frame.data(), 6, &written), SerIoFailed);
    EXPECT_EQ(written, 0xDEADU);
}

// --- Exact read --------------------------------------------------------------

TEST(SerialReadExactTest, CollectsAReplyAcrossWindows) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1");
    const std::vector<std::uint8_t> reply = Bytes(10, 0x40);
    fake.Arrive({reply.begin(), reply.begin() + 4});
    fake.EndWindow();
    fake.Arrive({reply.begin() + 4, reply.end()});
    fake.ClearCalls();

    std::uint8_t buffer[10] = {};
    std::uint32_t received = 0xDEAD;
    EXPECT_EQ(SerialReadExact(h, buffer, 10, &received), SerOk);
    EXPECT_EQ(received, 10U);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 10), reply);
    const auto reads = Records(fake, Call::ReadFile);
    ASSERT_EQ(reads.size(), 2U);
    EXPECT_EQ(reads[0]->count, 10U);
    EXPECT_EQ(reads[1]->count, 6U);
}

TEST(SerialReadExactTest, SilenceOrFailureEndsTheReadWithWhatCame) {
    struct Case {
        const char* name;
        std::size_t arrives;  // bytes in the first window
        bool failSecond;      // the second read fails instead of timing out
        std::uint32_t received;
        std::size_t reads;
    };
    const Case cases[] = {
        {"nothing", 0, false, 0, 1},
        {"four then silence", 4, false, 4, 2},
        {"four then failure", 4, true, 4, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform fake;
        const Handle h = OpenOrDie("COM1");
        if (c.arrives > 0) {
            fake.Arrive(Bytes(c.arrives));
            fake.EndWindow();
        }
        if (c.failSecond) {
            fake.FailRead();
        }
        fake.ClearCalls();
        std::uint8_t buffer[10] = {};
        std::uint32_t received = 0xDEAD;
        EXPECT_EQ(SerialReadExact(h, buffer, 10, &received), SerIoFailed);
        EXPECT_EQ(received, c.received);
        EXPECT_EQ(fake.Count(Call::ReadFile), c.reads);
    }
}

TEST(SerialReadExactTest, FirstReadFailureLeavesZeroCount) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1");
    fake.FailNext(Call::ReadFile);
    std::uint8_t buffer[6] = {};
    std::uint32_t received = 0xDEAD;
    EXPECT_EQ(SerialReadExact(h, buffer, 6, &received), SerIoFailed);
    EXPECT_EQ(received, 0U);
    fake.Arrive(Bytes(6));
    EXPECT_EQ(SerialReadExact(h, buffer, 6, nullptr), SerOk);
}

TEST(SerialReadExactTest, CountIsPassedAsItsLow16Bits) {
    FakePlatform fake;
    const Handle h = OpenOrDie("COM1");
    fake.Arrive(Bytes(65535));
    fake.ClearCalls();
    std::vector<std::uint8_t> buffer(0x10003);
    std::uint32_t received = 0;
    EXPECT_EQ(SerialReadExact(h, buffer.data(), 65535, &received), SerOk);
    EXPECT_EQ(received, 65535U);

    // Beyond the layer's range the asked count wraps; the read never goes
    // past what is left of the buffer and fails instead.
    fake.Arrive(Bytes(3));
    fake.EndWindow();
    fake.ClearCalls();
    EXPECT_EQ(SerialReadExact(h, buffer.data(), 0x10003, &received), SerIoFailed);
    const auto reads = Records(fake, Call::ReadFile);
    ASSERT_EQ(reads.size(), 2U);
    EXPECT_EQ(reads[0]->count, 3U);
    EXPECT_EQ(reads[1]->count, 0U);
    EXPECT_EQ(received, 3U);
}

}  // namespace
}  // namespace westnet
