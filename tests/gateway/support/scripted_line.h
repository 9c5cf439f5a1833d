// A line for the scan engine's tests: a clock that moves only when told and a
// channel over a few stations held in memory. Every command moves the clock
// by what it would cost on the wire (a failed one by its time-outs), and is
// written to a log the test reads back.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scan/channel.h"
#include "scan/scanner.h"

namespace westnet::gateway::testing {

class FakeClock : public Clock {
public:
    SteadyTime Now() const override { return SteadyTime(std::chrono::milliseconds(ms_.load())); }
    WallTime WallNow() const override {
        return WallTime(std::chrono::milliseconds(1'800'000'000'000LL + ms_.load()));
    }
    void Advance(long ms) { ms_ += ms; }
    void Set(SteadyTime t) {
        ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    }
    long Ms() const { return static_cast<long>(ms_.load()); }

private:
    std::atomic<long long> ms_{1000};
};

class ScriptedChannel : public Channel {
public:
    explicit ScriptedChannel(FakeClock& clock) : clock_(clock) {}

    // --- what the test sets
    std::map<int, std::map<int, std::uint16_t>> registers;  // station -> register -> word
    std::set<int> silent;                                   // stations that never answer
    bool openFails = false;
    long commandMs = 10;   // a good command
    long failureMs = 600;  // a failed one: its attempts' time-outs
    // Replies that passed the checksum with the wrong words: the next reads
    // answer these first words instead of the register's.
    std::deque<std::uint16_t> forged;

    // --- what the test reads: "open", "close", "read 1 40000 12", "word 2 5",
    // "write 1 40000 2", "bit 1 40001 3=1"; times in `at`.
    std::vector<std::string> log;
    std::vector<long> at;

    std::vector<std::string> Commands(int station) const {
        std::vector<std::string> out;
        for (const std::string& line : log) {
            if (line.rfind("open", 0) != 0 && line.rfind("close", 0) != 0 &&
                std::stoi(line.substr(line.find(' ') + 1)) == station) {
                out.push_back(line);
            }
        }
        return out;
    }

    // --- Channel
    bool Open(std::string& why) override {
        Note("open");
        if (openFails) {
            why = "no such device";
            return false;
        }
        open_ = true;
        selected_ = 255;
        return true;
    }
    void Close() override {
        Note("close");
        open_ = false;
    }
    std::string Device() const override { return "/dev/fake"; }
    int SelectedStation() const override { return selected_; }

    std::int32_t ReadWord(int station, int reg, std::uint16_t& value) override {
        Note("word " + std::to_string(station) + " " + std::to_string(reg));
        if (!Answers(station)) {
            return kResultLineFailure;
        }
        value = registers[station][reg];
        Forge(value);
        return kResultOk;
    }
    std::int32_t ReadBlock(int station, int reg, int count,
                           std::vector<std::uint16_t>& words) override {
        Note("read " + std::to_string(station) + " " + std::to_string(reg) + " " +
             std::to_string(count));
        if (!Answers(station)) {
            return kResultLineFailure;
        }
        words.clear();
        for (int i = 0; i < count; ++i) {
            words.push_back(registers[station][reg + i]);
        }
        Forge(words[0]);
        return kResultOk;
    }
    std::int32_t WriteWord(int station, int reg, std::uint16_t value) override {
        return WriteBlock(station, reg, {value});
    }
    std::int32_t WriteBit(int station, int reg, int bit, bool value) override {
        Note("bit " + std::to_string(station) + " " + std::to_string(reg) + " " +
             std::to_string(bit) + "=" + (value ? "1" : "0"));
        if (!Answers(station)) {
            return kResultLineFailure;
        }
        std::uint16_t& word = registers[station][reg];
        word = static_cast<std::uint16_t>(value ? word | (1u << bit) : word & ~(1u << bit));
        return kResultOk;
    }
    std::int32_t WriteBlock(int station, int reg,
                            const std::vector<std::uint16_t>& words) override {
        Note("write " + std::to_string(station) + " " + std::to_string(reg) + " " +
             std::to_string(words.size()));
        if (!Answers(station)) {
            return kResultLineFailure;
        }
        for (std::size_t i = 0; i < words.size(); ++i) {
            registers[station][reg + static_cast<int>(i)] = words[i];
        }
        return kResultOk;
    }

private:
    void Forge(std::uint16_t& first) {
        if (!forged.empty()) {
            first = forged.front();
            forged.pop_front();
        }
    }
    void Note(const std::string& what) {
        log.push_back(what);
        at.push_back(clock_.Ms());
    }
    bool Answers(int station) {
        if (!open_ || silent.count(station) != 0) {
            clock_.Advance(failureMs);
            selected_ = 255;
            return false;
        }
        clock_.Advance(commandMs);
        selected_ = station;
        return true;
    }

    FakeClock& clock_;
    bool open_ = false;
    int selected_ = 255;
};

// Records what a scanner tells.
class RecordedEvents : public LineEvents {
public:
    void PointUpdated(std::size_t, std::size_t point, const PointSample& sample) override {
        points.emplace_back(point, sample);
    }
    void StationChanged(std::size_t, int station, StationState state) override {
        stations.emplace_back(station, state);
    }
    std::vector<std::pair<std::size_t, PointSample>> points;
    std::vector<std::pair<int, StationState>> stations;
};

// Runs the scanner's steps, moving the clock to each time it asks for, until
// the clock reaches `untilMs`.
inline void RunUntil(LineScanner& scanner, FakeClock& clock, long untilMs) {
    while (clock.Ms() < untilMs) {
        const SteadyTime next = scanner.Step();
        if (next > clock.Now()) {
            clock.Set(std::min(next, SteadyTime(std::chrono::milliseconds(untilMs))));
        }
    }
}

}  // namespace westnet::gateway::testing
