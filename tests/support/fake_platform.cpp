#include "fake_platform.h"

#include <cstring>

namespace westnet::fake {
namespace {

FakePlatform* g_current = nullptr;

FakePlatform& Cur() {
    return *FakePlatform::Current();
}

const Platform kTable = {
    [](const char* n, std::uint32_t a, std::uint32_t s, std::uint32_t c, std::uint32_t f) {
        return Cur().DoCreateFile(n, a, s, c, f);
    },
    [](Handle h) { return Cur().DoCloseHandle(h); },
    [](Handle h, CommState* st) { return Cur().DoGetCommState(h, st); },
    [](Handle h, const CommState* st) { return Cur().DoSetCommState(h, st); },
    [](Handle h, CommTimeouts* t) { return Cur().DoGetCommTimeouts(h, t); },
    [](Handle h, const CommTimeouts* t) { return Cur().DoSetCommTimeouts(h, t); },
    [](Handle h, std::uint32_t i, std::uint32_t o) { return Cur().DoSetupComm(h, i, o); },
    [](Handle h, std::uint32_t* e, CommStatus* st) { return Cur().DoClearCommError(h, e, st); },
    [](Handle h, void* b, std::uint32_t n, std::uint32_t* g) {
        return Cur().DoReadFile(h, b, n, g);
    },
    [](Handle h, const void* b, std::uint32_t n, std::uint32_t* w) {
        return Cur().DoWriteFile(h, b, n, w);
    },
};

// A line state whose every field differs from what an open writes, so a test
// sees both the fields that changed and the ones that must not.
CommState DistinctState() {
    CommState s;
    s.DCBlength = 0;
    s.BaudRate = 1200;
    s.fBinary = 0;
    s.fParity = 0;
    s.fOutxCtsFlow = 1;
    s.fOutxDsrFlow = 1;
    s.fDtrControl = 3;
    s.fDsrSensitivity = 1;
    s.fTXContinueOnXoff = 1;
    s.fOutX = 1;
    s.fInX = 1;
    s.fErrorChar = 1;
    s.fNull = 1;
    s.fRtsControl = 3;
    s.fAbortOnError = 1;
    s.fDummy2 = 0x1234;
    s.wReserved = 0x4321;
    s.XonLim = 2048;
    s.XoffLim = 512;
    s.ByteSize = 7;
    s.Parity = 3;
    s.StopBits = 1;
    s.XonChar = 0x11;
    s.XoffChar = 0x13;
    s.ErrorChar = '?';
    s.EofChar = 0x1A;
    s.EvtChar = 0x7E;
    s.wReserved1 = 0x5A5A;
    return s;
}

}  // namespace

const char* CallName(Call call) {
    switch (call) {
        case Call::CreateFileA:
            return "CreateFileA";
        case Call::CloseHandle:
            return "CloseHandle";
        case Call::GetCommState:
            return "GetCommState";
        case Call::SetCommState:
            return "SetCommState";
        case Call::GetCommTimeouts:
            return "GetCommTimeouts";
        case Call::SetCommTimeouts:
            return "SetCommTimeouts";
        case Call::SetupComm:
            return "SetupComm";
        case Call::ClearCommError:
            return "ClearCommError";
        case Call::ReadFile:
            return "ReadFile";
        case Call::WriteFile:
            return "WriteFile";
    }
    return "?";
}

FakePlatform::FakePlatform() : initialState_(DistinctState()) {
    for (const char* name :
         {"NUL", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9"}) {
        AddDevice(name);
    }
    calls_.reserve(4096);
    g_current = this;
}

FakePlatform::~FakePlatform() {
    if (g_current == this) {
        g_current = nullptr;
    }
}

FakePlatform* FakePlatform::Current() {
    return g_current;
}

void FakePlatform::AddDevice(const std::string& name) {
    devices_[name];
}

void FakePlatform::RemoveDevice(const std::string& name) {
    devices_.erase(name);
}

bool FakePlatform::IsOpen(const std::string& name) const {
    auto it = devices_.find(name);
    return it != devices_.end() && it->second.open;
}

Handle FakePlatform::HandleOf(const std::string& name) const {
    auto it = devices_.find(name);
    return it != devices_.end() && it->second.open ? it->second.handle : 0;
}

void FakePlatform::Arrive(const std::vector<std::uint8_t>& bytes) {
    script_.push_back({Step::Arrive, bytes});
}
void FakePlatform::EndWindow() {
    script_.push_back({Step::EndWindow, {}});
}
void FakePlatform::FailRead() {
    script_.push_back({Step::Fail, {}});
}
void FakePlatform::PutWaiting(const std::vector<std::uint8_t>& bytes) {
    input_.insert(input_.end(), bytes.begin(), bytes.end());
}

void FakePlatform::FailNext(Call call, int nth) {
    failNext_[call] = nth;
}
void FakePlatform::FailAtCall(int nth) {
    failAtCall_ = nth;
    failureFired_ = false;
}
void FakePlatform::ShortWrite(std::uint32_t count) {
    shortWrite_ = count;
    shortWritePending_ = true;
}

std::size_t FakePlatform::Count(Call call) const {
    std::size_t n = 0;
    for (const Record& r : calls_) {
        n += r.call == call ? 1 : 0;
    }
    return n;
}

std::vector<std::vector<std::uint8_t>> FakePlatform::Writes() const {
    std::vector<std::vector<std::uint8_t>> out;
    for (const Record& r : calls_) {
        if (r.call == Call::WriteFile && r.ok) {
            out.push_back(r.bytes);
        }
    }
    return out;
}

CommState FakePlatform::StateOf(Handle handle) const {
    const Device* d = Find(handle);
    return d != nullptr ? d->state : CommState{};
}

CommTimeouts FakePlatform::TimeoutsOf(Handle handle) const {
    const Device* d = Find(handle);
    return d != nullptr ? d->timeouts : CommTimeouts{};
}

bool FakePlatform::ShouldFail(Call call) {
    bool fail = false;
    if (failAtCall_ > 0 && --failAtCall_ == 0) {
        fail = true;
        failureFired_ = true;
    }
    auto it = failNext_.find(call);
    if (it != failNext_.end() && it->second > 0 && --it->second == 0) {
        fail = true;
    }
    return fail;
}

Record& FakePlatform::Log(Call call, Handle handle) {
    calls_.emplace_back();
    calls_.back().call = call;
    calls_.back().handle = handle;
    return calls_.back();
}

FakePlatform::Device* FakePlatform::Find(Handle handle) {
    for (auto& [name, device] : devices_) {
        if (device.open && device.handle == handle) {
            return &device;
        }
    }
    return nullptr;
}

const FakePlatform::Device* FakePlatform::Find(Handle handle) const {
    return const_cast<FakePlatform*>(this)->Find(handle);
}

Handle FakePlatform::DoCreateFile(const char* name, std::uint32_t access, std::uint32_t share,
                                  std::uint32_t creation, std::uint32_t flags) {
    Record& r = Log(Call::CreateFileA, 0);
    r.name = name;
    r.access = access;
    r.share = share;
    r.creation = creation;
    r.flags = flags;
    auto it = devices_.find(name);
    if (ShouldFail(Call::CreateFileA) || it == devices_.end() || it->second.open) {
        r.handle = kInvalidHandle;
        return kInvalidHandle;
    }
    Device& d = it->second;
    d.open = true;
    d.handle = nextHandle_;
    nextHandle_ += 4;
    d.state = initialState_;
    d.timeouts = CommTimeouts{50, 10, 200, 5, 100};
    r.handle = d.handle;
    r.ok = true;
    return d.handle;
}

int FakePlatform::DoCloseHandle(Handle handle) {
    Record& r = Log(Call::CloseHandle, handle);
    Device* d = Find(handle);
    if (ShouldFail(Call::CloseHandle) || d == nullptr) {
        return 0;
    }
    d->open = false;
    d->handle = 0;
    r.ok = true;
    return 1;
}

int FakePlatform::DoGetCommState(Handle handle, CommState* state) {
    Record& r = Log(Call::GetCommState, handle);
    r.state = *state;  // what the caller handed in (its DCBlength)
    Device* d = Find(handle);
    if (ShouldFail(Call::GetCommState) || d == nullptr) {
        return 0;
    }
    const std::uint32_t length = state->DCBlength;
    *state = d->state;
    state->DCBlength = length;
    r.ok = true;
    return 1;
}

int FakePlatform::DoSetCommState(Handle handle, const CommState* state) {
    Record& r = Log(Call::SetCommState, handle);
    r.state = *state;
    Device* d = Find(handle);
    if (ShouldFail(Call::SetCommState) || d == nullptr) {
        return 0;
    }
    d->state = *state;
    r.ok = true;
    return 1;
}

int FakePlatform::DoGetCommTimeouts(Handle handle, CommTimeouts* timeouts) {
    Record& r = Log(Call::GetCommTimeouts, handle);
    Device* d = Find(handle);
    if (ShouldFail(Call::GetCommTimeouts) || d == nullptr) {
        return 0;
    }
    *timeouts = d->timeouts;
    r.timeouts = d->timeouts;
    r.ok = true;
    return 1;
}

int FakePlatform::DoSetCommTimeouts(Handle handle, const CommTimeouts* timeouts) {
    Record& r = Log(Call::SetCommTimeouts, handle);
    r.timeouts = *timeouts;
    Device* d = Find(handle);
    if (ShouldFail(Call::SetCommTimeouts) || d == nullptr) {
        return 0;
    }
    d->timeouts = *timeouts;
    r.ok = true;
    return 1;
}

int FakePlatform::DoSetupComm(Handle handle, std::uint32_t in, std::uint32_t out) {
    Record& r = Log(Call::SetupComm, handle);
    r.count = in;
    r.count2 = out;
    if (ShouldFail(Call::SetupComm) || Find(handle) == nullptr) {
        return 0;
    }
    r.ok = true;
    return 1;
}

int FakePlatform::DoClearCommError(Handle handle, std::uint32_t* errors, CommStatus* status) {
    Record& r = Log(Call::ClearCommError, handle);
    if (ShouldFail(Call::ClearCommError) || Find(handle) == nullptr) {
        return 0;
    }
    if (errors != nullptr) {
        *errors = 0;
    }
    if (status != nullptr) {
        status->cbInQue = static_cast<std::uint32_t>(input_.size());
        status->cbOutQue = 0;
    }
    r.count = static_cast<std::uint32_t>(input_.size());
    r.ok = true;
    return 1;
}

int FakePlatform::DoReadFile(Handle handle, void* buffer, std::uint32_t count, std::uint32_t* got) {
    Record& r = Log(Call::ReadFile, handle);
    r.count = count;
    Device* d = Find(handle);
    if (d != nullptr) {
        r.readTimeoutMs = d->timeouts.ReadTotalTimeoutConstant;
    }
    if (ShouldFail(Call::ReadFile) || d == nullptr) {
        return 0;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t n = 0;
    for (;;) {
        while (n < count && !input_.empty()) {
            out[n++] = input_.front();
            input_.pop_front();
        }
        if (n == count || script_.empty()) {
            break;
        }
        ScriptStep step = std::move(script_.front());
        script_.pop_front();
        if (step.step == Step::Arrive) {
            input_.insert(input_.end(), step.bytes.begin(), step.bytes.end());
        } else if (step.step == Step::EndWindow) {
            break;
        } else {
            r.bytes.assign(out, out + n);
            return 0;
        }
    }
    if (got != nullptr) {
        *got = n;
    }
    r.bytes.assign(out, out + n);
    r.ok = true;
    return 1;
}

int FakePlatform::DoWriteFile(Handle handle, const void* buffer, std::uint32_t count,
                              std::uint32_t* written) {
    Record& r = Log(Call::WriteFile, handle);
    r.count = count;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    if (ShouldFail(Call::WriteFile) || Find(handle) == nullptr) {
        return 0;
    }
    std::uint32_t n = count;
    if (shortWritePending_) {
        shortWritePending_ = false;
        n = shortWrite_ < count ? shortWrite_ : count;
    }
    r.bytes.assign(in, in + n);
    r.ok = true;
    if (written != nullptr) {
        *written = n;
    }
    if (responder_) {
        std::vector<std::uint8_t> frame(in, in + n);
        responder_(*this, frame);
    }
    return 1;
}

}  // namespace westnet::fake

namespace westnet {
const Platform& ActivePlatform() {
    return fake::kTable;
}
}  // namespace westnet
