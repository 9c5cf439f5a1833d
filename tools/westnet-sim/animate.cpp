#include "animate.h"

#include <cerrno>
#include <cstdlib>

#include "image.h"
#include "text.h"

namespace westnet::sim {
namespace {

constexpr bool SineIsSymmetric() {
    for (std::size_t k = 0; k <= kSinePeriods / 2; ++k) {
        if (k != kSinePeriods / 4 && kSineHalf[k] + kSineHalf[kSinePeriods / 2 - k] != 65535) {
            return false;
        }
        if (k != 0 && kSineHalf[k] <= kSineHalf[k - 1]) {
            return false;
        }
    }
    return true;
}
static_assert(kSineHalf.front() == 0 && kSineHalf.back() == 65535, "the sine spans the range");
static_assert(SineIsSymmetric(), "the sine rises steadily and mirrors about its middle");

struct NamedKind {
    const char* name;
    AnimationKind kind;
};
constexpr NamedKind kKinds[] = {
    {"counter", AnimationKind::kCounter},
    {"sine", AnimationKind::kSine},
    {"toggle", AnimationKind::kToggle},
};

}  // namespace

const char* AnimationName(AnimationKind kind) {
    for (const NamedKind& entry : kKinds) {
        if (entry.kind == kind) {
            return entry.name;
        }
    }
    return "?";
}

bool ParseAnimation(const std::string& text, Animation& animation, std::string& what) {
    const std::string expected = ": expected ADDRESS=KIND[:MS], KIND counter, sine or toggle";
    std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        what = "bad --animate " + Quoted(text) + expected;
        return false;
    }
    Animation parsed;
    parsed.address = text.substr(0, equals);
    if (!ParseImageAddress(parsed.address, parsed.station, parsed.reg, what)) {
        what = "bad --animate " + Quoted(text) + ": " + what;
        return false;
    }
    std::string rest = text.substr(equals + 1);
    std::size_t colon = rest.find(':');
    std::string name = rest.substr(0, colon);
    bool known = false;
    for (const NamedKind& entry : kKinds) {
        if (name == entry.name) {
            parsed.kind = entry.kind;
            known = true;
        }
    }
    if (!known) {
        what = "bad --animate " + Quoted(text) + expected;
        return false;
    }
    if (colon != std::string::npos) {
        std::string ms = rest.substr(colon + 1);
        char* end = nullptr;
        errno = 0;
        long long value = std::strtoll(ms.c_str(), &end, 10);
        if (ms.empty() || ms[0] < '0' || ms[0] > '9' || *end != '\0' || errno != 0 || value < 1 ||
            value > kAnimationMaxMs) {
            what = "bad --animate " + Quoted(text) + ": the period MS is 1 to " +
                   std::to_string(kAnimationMaxMs) + " ms";
            return false;
        }
        parsed.period_ms = value;
    }
    animation = parsed;
    return true;
}

std::uint16_t AnimatedValue(AnimationKind kind, std::uint16_t from, std::int64_t since,
                            std::int64_t period) {
    std::int64_t steps = period - since;
    switch (kind) {
        case AnimationKind::kCounter:
            return static_cast<std::uint16_t>((from + steps) & 0xFFFF);
        case AnimationKind::kToggle:
            return steps == 0 ? from
                              : static_cast<std::uint16_t>(((from != 0 ? 1 : 0) + steps) % 2);
        case AnimationKind::kSine: {
            std::size_t k = static_cast<std::size_t>(period % kSinePeriods);
            return kSineHalf[k <= kSinePeriods / 2 ? k : kSinePeriods - k];
        }
    }
    return from;
}

bool Animator::Add(const Animation& animation, Plant& plant, std::string& what) {
    for (const Running& other : running_) {
        if (other.animation.station == animation.station && other.animation.reg == animation.reg) {
            what = "--animate names " + animation.address + " twice";
            return false;
        }
    }
    plant.AddStation(animation.station);
    std::uint16_t& reg = plant.Registers(animation.station)[animation.reg];
    Running running;
    running.animation = animation;
    running.from = reg;
    reg = AnimatedValue(animation.kind, reg, 0, 0);
    running.last = reg;
    running_.push_back(running);
    return true;
}

void Animator::Update(Plant& plant, std::int64_t elapsed_ms, std::vector<AnimationStep>& steps) {
    for (Running& running : running_) {
        std::int64_t period = elapsed_ms / running.animation.period_ms;
        if (period <= running.period) {
            continue;
        }
        std::uint16_t& reg = plant.Registers(running.animation.station)[running.animation.reg];
        if (reg != running.last) {
            // Written since the last period: count on from there.
            running.since = running.period;
            running.from = reg;
        }
        std::uint16_t value =
            AnimatedValue(running.animation.kind, running.from, running.since, period);
        running.period = period;
        running.last = value;
        if (value != reg) {
            reg = value;
            steps.push_back(
                AnimationStep{&running.animation, period * running.animation.period_ms, value});
        }
    }
}

}  // namespace westnet::sim
