// The texts CmdGetInfo points the host at. They are constants of the library,
// so the host may keep the pointers for as long as the library is loaded.
// The banner is code page 437 text: byte 0xC4 is the light horizontal line of
// its two rules, written as an escape so no editor or compiler can turn it
// into a multi-byte character.
#pragma once

#include <cstddef>

namespace westnet {

inline constexpr char DRIVER_NAME[] = "WestNet II Data HighWay";
static_assert(sizeof(DRIVER_NAME) == 24, "23 characters and the terminator");

constexpr std::size_t kBannerLength = 185;
constexpr std::size_t kBannerRuleLength = 41;
constexpr char kBannerRuleByte = '\xC4';

namespace banner_detail {

struct BannerText {
    char bytes[kBannerLength + 1];
    std::size_t length;
};

// Four lines, each ending in CR LF: an empty one, a rule, the installed
// notice, and the same rule with three trailing spaces fewer.
constexpr BannerText Build() {
    BannerText text{};
    std::size_t at = 0;
    auto put = [&](const char* piece) {
        while (*piece != '\0') {
            text.bytes[at++] = *piece++;
        }
    };
    auto repeat = [&](char c, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            text.bytes[at++] = c;
        }
    };
    put("\r\n");
    repeat(' ', 3);
    repeat(kBannerRuleByte, kBannerRuleLength);
    repeat(' ', 17);
    put("\r\n");
    repeat(' ', 3);
    put("Westnet II Data Highway, driver Installed.");
    repeat(' ', 13);
    put("\r\n");
    repeat(' ', 3);
    repeat(kBannerRuleByte, kBannerRuleLength);
    repeat(' ', 14);
    put("\r\n");
    text.bytes[at] = '\0';
    text.length = at;
    return text;
}

inline constexpr BannerText kBanner = Build();

// Checks on the finished bytes, independent of how they were put together.
constexpr std::size_t TextLength(const char* text) {
    std::size_t n = 0;
    while (text[n] != '\0') {
        ++n;
    }
    return n;
}
constexpr std::size_t RunLength(const char* text, std::size_t from, char c) {
    std::size_t n = 0;
    while (text[from + n] == c) {
        ++n;
    }
    return n;
}
constexpr std::size_t CountOf(const char* text, char c) {
    std::size_t n = 0;
    for (std::size_t i = 0; text[i] != '\0'; ++i) {
        n += text[i] == c ? 1 : 0;
    }
    return n;
}

}  // namespace banner_detail

inline constexpr const char (&DRIVER_BANNER)[kBannerLength + 1] = banner_detail::kBanner.bytes;

namespace banner_detail {
// Where the two rules start: after CR LF and three spaces; after the first
// line, the notice line (3 + 42 + 13 + CR LF) and three spaces.
constexpr std::size_t kFirstRule = 2 + 3;
constexpr std::size_t kSecondRule = kFirstRule + 41 + 17 + 2 + 3 + 42 + 13 + 2 + 3;

static_assert(kBanner.length == kBannerLength, "banner is 185 bytes");
static_assert(TextLength(DRIVER_BANNER) == kBannerLength, "no NUL inside the banner");
static_assert(sizeof(DRIVER_BANNER) == kBannerLength + 1, "185 bytes and the terminator");
static_assert(RunLength(DRIVER_BANNER, kFirstRule, kBannerRuleByte) == kBannerRuleLength,
              "first rule");
static_assert(RunLength(DRIVER_BANNER, kSecondRule, kBannerRuleByte) == kBannerRuleLength,
              "second rule");
static_assert(CountOf(DRIVER_BANNER, kBannerRuleByte) == 2 * kBannerRuleLength,
              "no rule byte outside the rules");
static_assert(RunLength(DRIVER_BANNER, kFirstRule + kBannerRuleLength, ' ') == 17,
              "17 spaces after the first rule");
static_assert(RunLength(DRIVER_BANNER, kSecondRule + kBannerRuleLength, ' ') == 14,
              "14 spaces after the second rule");
static_assert(kSecondRule + kBannerRuleLength + 14 + 2 == kBannerLength,
              "the second rule's line ends the banner");
}  // namespace banner_detail

}  // namespace westnet
