// A scripted stand-in for the platform's serial services, for unit tests.
// It records every call with its arguments and plays back what the test
// scripted: bytes that arrive, read windows that pass in silence, and the
// failure of any call (by kind, or the Nth platform call of all, so that a
// test can walk every failure path of a scenario).
//
// One FakePlatform is current at a time: constructing one installs it,
// destroying it uninstalls it. ActivePlatform() routes to the current one.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "serial/platform.h"

namespace westnet::fake {

enum class Call {
    CreateFileA,
    CloseHandle,
    GetCommState,
    SetCommState,
    GetCommTimeouts,
    SetCommTimeouts,
    SetupComm,
    ClearCommError,
    ReadFile,
    WriteFile,
};
const char* CallName(Call call);

struct Record {
    Call call{};
    Handle handle = 0;
    bool ok = false;                  // what the call answered
    std::string name;                 // CreateFileA: the device name
    std::uint32_t access = 0;         // CreateFileA
    std::uint32_t share = 0;          // CreateFileA
    std::uint32_t creation = 0;       // CreateFileA
    std::uint32_t flags = 0;          // CreateFileA
    std::uint32_t count = 0;          // ReadFile/WriteFile: bytes asked; SetupComm: input queue
    std::uint32_t count2 = 0;         // SetupComm: output queue
    std::vector<std::uint8_t> bytes;  // WriteFile: bytes written; ReadFile: bytes delivered
    CommState state;                  // SetCommState: the state written
    CommTimeouts timeouts;            // SetCommTimeouts: the time-outs written
    std::uint32_t readTimeoutMs = 0;  // ReadFile: the read time-out constant in force
};

class FakePlatform;
// Called after every successful WriteFile with the bytes written: a test's
// station answers here by scripting arrivals.
using Responder = std::function<void(FakePlatform& fake, const std::vector<std::uint8_t>& frame)>;

class FakePlatform {
public:
    FakePlatform();
    ~FakePlatform();
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    // Devices that CreateFileA can open ("NUL" and COM1 to COM9 exist from
    // the start). A device can be open once at a time.
    void AddDevice(const std::string& name);
    void RemoveDevice(const std::string& name);
    bool IsOpen(const std::string& name) const;
    Handle HandleOf(const std::string& name) const;  // 0 when not open
    // The line state a device reports before anyone changed it.
    CommState& InitialState() { return initialState_; }

    // The read script of every open device (one line at a time is enough):
    void Arrive(const std::vector<std::uint8_t>& bytes);  // bytes arrive in this window
    void EndWindow();  // the current read window passes: a pending read returns short
    void FailRead();   // the next read that reaches this step fails
    // Bytes already waiting in the input queue (ClearCommError reports them).
    void PutWaiting(const std::vector<std::uint8_t>& bytes);
    std::size_t Waiting() const { return input_.size(); }
    void SetResponder(Responder responder) { responder_ = std::move(responder); }

    // Failures. FailNext: the nth next call of that kind fails (1 = the very
    // next). FailAtCall: the nth platform call from now, of any kind, fails.
    void FailNext(Call call, int nth = 1);
    void FailAtCall(int nth);
    // The next WriteFile writes only `count` bytes and reports success.
    void ShortWrite(std::uint32_t count);

    const std::vector<Record>& Calls() const { return calls_; }
    std::size_t Count(Call call) const;
    void ClearCalls() { calls_.clear(); }
    std::vector<std::vector<std::uint8_t>> Writes() const;  // every WriteFile's bytes
    CommState StateOf(Handle handle) const;
    CommTimeouts TimeoutsOf(Handle handle) const;
    // True once a platform call failed because a FailAtCall fired.
    bool FailureFired() const { return failureFired_; }

    // The platform table's entry points (public for the table only).
    Handle DoCreateFile(const char* name, std::uint32_t access, std::uint32_t share,
                        std::uint32_t creation, std::uint32_t flags);
    int DoCloseHandle(Handle handle);
    int DoGetCommState(Handle handle, CommState* state);
    int DoSetCommState(Handle handle, const CommState* state);
    int DoGetCommTimeouts(Handle handle, CommTimeouts* timeouts);
    int DoSetCommTimeouts(Handle handle, const CommTimeouts* timeouts);
    int DoSetupComm(Handle handle, std::uint32_t in, std::uint32_t out);
    int DoClearCommError(Handle handle, std::uint32_t* errors, CommStatus* status);
    int DoReadFile(Handle handle, void* buffer, std::uint32_t count, std::uint32_t* got);
    int DoWriteFile(Handle handle, const void* buffer, std::uint32_t count, std::uint32_t* written);

    static FakePlatform* Current();

private:
    struct Device {
        bool open = false;
        Handle handle = 0;
        CommState state;
        CommTimeouts timeouts;
    };
    enum class Step { Arrive, EndWindow, Fail };
    struct ScriptStep {
        Step step;
        std::vector<std::uint8_t> bytes;
    };

    bool ShouldFail(Call call);
    Record& Log(Call call, Handle handle);
    Device* Find(Handle handle);
    const Device* Find(Handle handle) const;

    std::map<std::string, Device> devices_;
    CommState initialState_;
    std::deque<std::uint8_t> input_;
    std::deque<ScriptStep> script_;
    Responder responder_;
    std::map<Call, int> failNext_;
    int failAtCall_ = 0;
    bool failureFired_ = false;
    std::uint32_t shortWrite_ = 0;
    bool shortWritePending_ = false;
    Handle nextHandle_ = 0x100;
    std::vector<Record> calls_;
};

}  // namespace westnet::fake
