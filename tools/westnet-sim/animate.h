// Registers that change by themselves (--animate ADDRESS=KIND[:MS]), so that
// a scan's change detection, a dashboard or a latency measurement has
// something to see:
//   counter  one up every period, 65535 wrapping to 0
//   sine     one cycle every 64 periods, from 0 up to 65535 and back to 0
//   toggle   0 and 1 by turns
// A register's value is a function of the whole periods since the start, so
// that a test can tell what it holds at any moment. A write to an animated
// register lasts until the next period; a counter or a toggle then goes on
// from the written value, a sine takes up its cycle again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "station.h"

namespace westnet::sim {

enum class AnimationKind { kCounter, kSine, kToggle };
const char* AnimationName(AnimationKind kind);

constexpr std::int64_t kAnimationDefaultMs = 1000;
constexpr std::int64_t kAnimationMaxMs = 3600000;
constexpr std::size_t kSinePeriods = 64;

// The first half of the sine's cycle, rounded: 32767.5 (1 - cos(pi k / 32)).
// The second half mirrors it. A table rather than cos() so that every
// platform's library gives the same values.
constexpr std::array<std::uint16_t, kSinePeriods / 2 + 1> kSineHalf = {
    0,     158,   630,   1411,  2494,  3869,  5522,  7438,  9597,  11980, 14563,
    17321, 20228, 23256, 26375, 29556, 32768, 35979, 39160, 42279, 45307, 48214,
    50972, 53555, 55938, 58097, 60013, 61666, 63041, 64124, 64905, 65377, 65535};

struct Animation {
    std::string address;  // as given: "0140001"
    int station = 0;
    std::size_t reg = 0;  // zero-based
    AnimationKind kind = AnimationKind::kCounter;
    std::int64_t period_ms = kAnimationDefaultMs;
};

// "0140001=counter", "0540010=sine:100".
bool ParseAnimation(const std::string& text, Animation& animation, std::string& what);

// The value of an animated register `period` periods after the start, when
// it held `from` at period `since` (the start, or the period of a write).
std::uint16_t AnimatedValue(AnimationKind kind, std::uint16_t from, std::int64_t since,
                            std::int64_t period);

// One register taking a new value, for the trace.
struct AnimationStep {
    const Animation* animation;
    std::int64_t at_ms;  // since the start: the beginning of the period
    std::uint16_t value;
};

class Animator {
public:
    // Adds the station if it is not there yet; false (with `what`) for a
    // register that is animated already.
    bool Add(const Animation& animation, Plant& plant, std::string& what);
    bool empty() const { return running_.empty(); }
    // Brings every animated register to its value `elapsed_ms` after the
    // start; `steps` receives the registers whose value changed.
    void Update(Plant& plant, std::int64_t elapsed_ms, std::vector<AnimationStep>& steps);

private:
    struct Running {
        Animation animation;
        std::int64_t period = 0;  // the period the register was last brought to
        std::uint16_t last = 0;   // what it was given then
        std::int64_t since = 0;   // origin of the count: the start or a write
        std::uint16_t from = 0;
    };
    std::vector<Running> running_;
};

}  // namespace westnet::sim
