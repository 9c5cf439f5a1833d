#include "simulator.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image.h"
#include "text.h"

namespace westnet::sim {

bool WriteDump(const std::string& path, const Plant& plant) {
    std::string temporary = path + ".tmp";
    std::string text = DumpImage(plant);
    FILE* file = std::fopen(temporary.c_str(), "wb");
    bool ok = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file != nullptr && std::fclose(file) != 0) {
        ok = false;
    }
    if (ok && !PutInPlace(temporary, path)) {
        ok = false;
    }
    if (!ok) {
        std::fprintf(stderr, "westnet-sim: cannot write dump %s: %s\n", path.c_str(),
                     std::strerror(errno));
        std::remove(temporary.c_str());
    }
    return ok;
}

bool CheckDumpPath(const std::string& path, std::string& what) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFDIR) {
        what = "--dump " + path + " is a directory; give the file to write";
        return false;
    }
    // The dump is written beside its place first; a folder that takes this
    // file now will take the dump.
    std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        what = "cannot write --dump " + path + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(file);
    std::remove(temporary.c_str());
    return true;
}

Simulator::Simulator(const Options& options, Plant& plant, FaultPlan& faults,
                     StationControls& controls, Animator& animator, Line& line)
    : options_(options),
      plant_(plant),
      faults_(faults),
      controls_(controls),
      animator_(animator),
      line_(line),
      start_(line.Now()) {
    line_.SetControl([this](const std::string& command) {
        std::string answer = controls_.Execute(command, plant_);
        Trace(line_.Now(), Bytes(), Bytes(), "CONTROL " + Shown(command) + " -> " + answer);
        return answer;
    });
    if (options.baud != 0) {
        // A character is a start bit, the data bits, a parity bit unless
        // there is none, and the stop bits.
        long halves = 2 + 2 * options.format.data_bits + (options.format.parity == 'N' ? 0 : 2) +
                      options.format.stop_halves;
        char_ns_ = halves * 500000000LL / options.baud;
    }
    gap_ns_ = options.gap_ms >= 0 ? options.gap_ms * 1000000LL
                                  : std::max<std::int64_t>(20000000LL, 3 * char_ns_);
}

int Simulator::Run() {
    std::int64_t last_byte = 0;
    // The gap runs from the last byte read, or from the end of the last
    // reply if that came later: bytes that arrive while a reply is being
    // sent wait unread and must not count as a gap.
    std::int64_t quiet_since = 0;
    while (true) {
        std::int64_t deadline = framer_.Pending() ? quiet_since + gap_ns_ : kNever;
        switch (line_.Wait(framer_.Missing(), deadline)) {
            case Wake::kStop:
                return kExitOk;
            case Wake::kFailed:
                LineFailed("wait");
                return kExitLine;
            case Wake::kDump:
                if (!options_.dump.empty()) {
                    Dump();
                }
                continue;
            case Wake::kDeadline:
                break;
            case Wake::kInput: {
                std::uint8_t buffer[1024];
                long got = line_.Read(buffer, sizeof buffer);
                if (got < 0) {
                    LineFailed("read");
                    return kExitLine;
                }
                if (got > 0) {
                    last_byte = line_.Now();
                    quiet_since = last_byte;
                }
                for (long i = 0; i < got; ++i) {
                    if (!framer_.Push(buffer[i])) {
                        continue;
                    }
                    Step step = Answer(framer_.frame(), last_byte);
                    if (step != Step::kGoOn) {
                        return step == Step::kStop ? kExitOk : kExitLine;
                    }
                    quiet_since = line_.Now();
                }
                break;
            }
        }
        if (framer_.Pending() && line_.Now() - quiet_since >= gap_ns_) {
            Bytes dropped = framer_.Gap();
            if (!dropped.empty()) {
                ++stats_.partial;
                stats_.partial_bytes += dropped.size();
                Trace(last_byte, dropped, Bytes(),
                      "dropped " + std::to_string(dropped.size()) +
                          " bytes: incomplete frame, or the rest of an ignored one");
            }
        }
    }
}

bool Simulator::Dump() {
    Animate(line_.Now());
    return WriteDump(options_.dump, plant_);
}

void Simulator::PrintStats() const {
    std::fprintf(stderr, "westnet-sim: %lu frames, %lu replies, %lu writes applied\n",
                 stats_.frames, stats_.replies, stats_.writes_applied);
    for (const auto& entry : stats_.answered) {
        std::fprintf(stderr, "  answered %-12s %lu\n", entry.first.c_str(), entry.second);
    }
    for (const auto& entry : stats_.ignored) {
        std::fprintf(stderr, "  ignored  %-20s %lu\n", entry.first.c_str(), entry.second);
    }
    for (const auto& entry : stats_.faults) {
        std::fprintf(stderr, "  fault    %-12s %lu\n", entry.first.c_str(), entry.second);
    }
    std::fprintf(stderr, "  dropped  %lu bytes in %lu incomplete frames or ignored tails\n",
                 stats_.partial_bytes, stats_.partial);
    if (stats_.send_stalls != 0) {
        std::fprintf(stderr, "  stalled  %lu replies could not be written\n", stats_.send_stalls);
    }
}

// `arrival`: when the read that completed the request returned.
Simulator::Step Simulator::Answer(const Bytes& frame, std::int64_t arrival) {
    Animate(arrival);
    Outcome outcome = Serve(plant_, faults_, controls_, frame);
    ++stats_.frames;
    if (outcome.request.Answered()) {
        std::string name = Describe(outcome.request);
        ++stats_.answered[name.substr(0, name.find(' '))];
        if (outcome.fault.kind != FaultKind::kOk) {
            ++stats_.faults[FaultName(outcome.fault.kind)];
        }
        if (outcome.applied && outcome.request.IsWrite()) {
            ++stats_.writes_applied;
        }
    } else {
        ++stats_.ignored[VerdictName(outcome.request.verdict)];
    }
    Trace(arrival, frame, outcome.reply, outcome.text);
    if (outcome.reply.empty()) {
        return Step::kGoOn;
    }
    ++stats_.replies;
    std::int64_t deadline = arrival + (options_.turnaround_ms + outcome.delay_ms) * 1000000LL;
    return Send(outcome.reply, deadline);
}

// Writes a reply at `deadline`; with a baud rate every byte leaves one
// character time after the one before, as it would come off a wire.
Simulator::Step Simulator::Send(const Bytes& reply, std::int64_t deadline) {
    if (char_ns_ == 0) {
        Step step = Delay(deadline);
        return step == Step::kGoOn ? Put(reply.data(), reply.size()) : step;
    }
    std::int64_t at = deadline;
    for (std::uint8_t byte : reply) {
        at += char_ns_;
        Step step = Delay(at);
        if (step == Step::kGoOn) {
            step = Put(&byte, 1);
        }
        if (step != Step::kGoOn) {
            return step;
        }
    }
    return Step::kGoOn;
}

Simulator::Step Simulator::Put(const std::uint8_t* bytes, std::size_t length) {
    switch (line_.Write(bytes, length)) {
        case Sent::kOk:
            return Step::kGoOn;
        case Sent::kStalled:
            ++stats_.send_stalls;
            return Step::kGoOn;
        case Sent::kStopped:
            return Step::kStop;
        case Sent::kFailed:
            break;
    }
    return LineFailed("write");
}

Simulator::Step Simulator::LineFailed(const char* doing) {
    std::fprintf(stderr, "westnet-sim: %s: %s: %s\n", line_.Path().c_str(), doing,
                 line_.Failure().c_str());
    return Step::kFail;
}

Simulator::Step Simulator::Delay(std::int64_t deadline) {
    while (line_.Now() < deadline) {
        switch (line_.Wait(0, deadline)) {
            case Wake::kStop:
                return Step::kStop;
            case Wake::kFailed:
                return LineFailed("wait");
            case Wake::kDump:
                if (!options_.dump.empty()) {
                    Dump();
                }
                break;
            case Wake::kDeadline:
            case Wake::kInput:
                break;
        }
    }
    return Step::kGoOn;
}

void Simulator::Animate(std::int64_t at) {
    if (animator_.empty()) {
        return;
    }
    std::vector<AnimationStep> steps;
    animator_.Update(plant_, (at - start_) / 1000000, steps);
    for (const AnimationStep& step : steps) {
        char text[96];
        std::snprintf(text, sizeof text, "ANIMATE %s %s -> 0x%04X (period %lld)",
                      step.animation->address.c_str(), AnimationName(step.animation->kind),
                      step.value, static_cast<long long>(step.at_ms / step.animation->period_ms));
        Trace(start_ + step.at_ms * 1000000, Bytes(), Bytes(), text);
    }
}

void Simulator::Trace(std::int64_t at, const Bytes& rx, const Bytes& tx,
                      const std::string& text) const {
    if (!options_.trace) {
        return;
    }
    std::int64_t since = at - start_;
    std::fprintf(stderr, "%lld.%06lld rx %s | tx %s | %s\n",
                 static_cast<long long>(since / 1000000000),
                 static_cast<long long>(since % 1000000000 / 1000), HexBytes(rx).c_str(),
                 HexBytes(tx).c_str(), text.c_str());
}

}  // namespace westnet::sim
