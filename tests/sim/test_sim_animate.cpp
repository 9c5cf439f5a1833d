// Animated registers: the value each kind gives in a period, that a write is
// taken up, and which --animate texts are refused.
#include <gtest/gtest.h>

#include "animate.h"

namespace westnet::sim {
namespace {

TEST(AnimateTest, EachKindAsAFunctionOfThePeriod) {
    struct Case {
        AnimationKind kind;
        std::uint16_t from;
        std::int64_t period;
        std::uint16_t value;
    } cases[] = {
        {AnimationKind::kCounter, 100, 0, 100},
        {AnimationKind::kCounter, 100, 5, 105},
        {AnimationKind::kCounter, 65534, 3, 1},  // wraps past 65535
        {AnimationKind::kToggle, 0, 0, 0},
        {AnimationKind::kToggle, 0, 1, 1},
        {AnimationKind::kToggle, 0, 2, 0},
        {AnimationKind::kToggle, 7, 0, 7},  // a start value stays for period 0
        {AnimationKind::kToggle, 7, 1, 0},
        {AnimationKind::kToggle, 7, 2, 1},
        {AnimationKind::kSine, 1234, 0, 0},
        {AnimationKind::kSine, 1234, 16, 32768},
        {AnimationKind::kSine, 1234, 32, 65535},
        {AnimationKind::kSine, 1234, 48, 32768},
        {AnimationKind::kSine, 1234, 63, 158},
        {AnimationKind::kSine, 1234, 64 * 1000 + 1, 158},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(AnimationName(c.kind)) + " period " + std::to_string(c.period));
        EXPECT_EQ(AnimatedValue(c.kind, c.from, 0, c.period), c.value);
    }
}

TEST(AnimateTest, AWriteLastsItsPeriodAndTheCountGoesOnFromIt) {
    Plant plant;
    Animator animator;
    std::string what;
    Animation counter;
    ASSERT_TRUE(ParseAnimation("0140001=counter:100", counter, what)) << what;
    Animation sine;
    ASSERT_TRUE(ParseAnimation("0140002=sine:100", sine, what)) << what;
    ASSERT_TRUE(animator.Add(counter, plant, what));
    ASSERT_TRUE(animator.Add(sine, plant, what));
    EXPECT_FALSE(animator.Add(counter, plant, what));
    EXPECT_EQ(what, "--animate names 0140001 twice");

    std::vector<std::uint16_t>& regs = plant.Registers(1);
    std::vector<AnimationStep> steps;
    animator.Update(plant, 350, steps);  // period 3
    EXPECT_EQ(regs[40000], 3);
    EXPECT_EQ(regs[40001], 1411);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].at_ms, 300);

    regs[40000] = 1000;  // written by the host in period 3
    regs[40001] = 5;
    steps.clear();
    animator.Update(plant, 399, steps);  // still period 3: the writes stand
    EXPECT_EQ(regs[40000], 1000);
    EXPECT_EQ(regs[40001], 5);
    EXPECT_TRUE(steps.empty());
    animator.Update(plant, 600, steps);  // period 6
    EXPECT_EQ(regs[40000], 1003);
    EXPECT_EQ(regs[40001], 5522);
}

TEST(AnimateTest, BadTextsAreRefusedWithWhatIsWrong) {
    struct Case {
        const char* text;
        const char* what;  // start of the message
    } cases[] = {
        {"0140001", "bad --animate '0140001': expected ADDRESS=KIND[:MS]"},
        {"0140001=ramp", "bad --animate '0140001=ramp': expected ADDRESS=KIND[:MS]"},
        {"014001=counter", "bad --animate '014001=counter': bad address '014001'"},
        {"0100000=counter", "bad --animate '0100000=counter': register 00000 out of range"},
        {"0140001=counter:0", "bad --animate '0140001=counter:0': the period MS is 1 to"},
        {"0140001=counter:-5", "bad --animate '0140001=counter:-5': the period MS is 1 to"},
        {"0140001=counter:", "bad --animate '0140001=counter:': the period MS is 1 to"},
        {"0140001=toggle:99999999999999999999", "bad --animate '0140001=toggle:9999"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Animation animation;
        std::string what;
        EXPECT_FALSE(ParseAnimation(c.text, animation, what));
        EXPECT_EQ(what.rfind(c.what, 0), 0u) << what;
    }
    Animation animation;
    std::string what;
    ASSERT_TRUE(ParseAnimation("9965535=toggle", animation, what)) << what;
    EXPECT_EQ(animation.station, 99);
    EXPECT_EQ(animation.reg, 65534u);
    EXPECT_EQ(animation.period_ms, kAnimationDefaultMs);
}

}  // namespace
}  // namespace westnet::sim
