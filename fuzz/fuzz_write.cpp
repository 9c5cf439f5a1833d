// Fuzzes the decoding of a write's text (values/write.h), as an HTTP PUT
// body brings it: the first byte picks the point's shape (a word, a bit, a
// block of 1 to 64 words), the rest is the text.
//
// Checked, besides the sanitizers' own checks:
// - a text that decodes gives exactly the point's count of words, a bit
//   point 0 or 1, and no reason; one that does not leaves the words alone
//   and says why;
// - decoding is stable: the words written back as plain JSON decode to the
//   same words.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "values/write.h"

namespace {

using namespace westnet::gateway;

[[noreturn]] void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "fuzz_write: %s (text of %zu bytes)\n", what, text.size());
    std::abort();
}

PointConfig Shape(std::uint8_t pick) {
    PointConfig point;
    switch (pick % 3) {
        case 0:
            break;  // a word
        case 1:
            point.bit = pick % 16;
            break;
        default:
            point.count = 1 + (pick / 3) % 64;
            break;
    }
    return point;
}

std::string AsJson(const PointConfig& point, const std::vector<std::uint16_t>& words) {
    if (!point.IsBlock()) {
        return std::to_string(words.at(0));
    }
    std::string out = "[";
    for (std::size_t i = 0; i < words.size(); ++i) {
        out += (i == 0 ? "" : ",") + std::to_string(words[i]);
    }
    return out + "]";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const PointConfig point = Shape(data[0]);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::vector<std::uint16_t> untouched = {0xBEEF};
    std::vector<std::uint16_t> words = untouched;
    std::string reason;
    if (!DecodeWrite(point, text, words, reason)) {
        if (reason.empty()) {
            Fail("refused without a reason", text);
        }
        if (words != untouched) {
            Fail("refused, yet the words changed", text);
        }
        return 0;
    }
    if (!reason.empty()) {
        Fail("decoded with a reason", text);
    }
    if (words.size() != static_cast<std::size_t>(point.Words())) {
        Fail("decoded to a count of words the point does not have", text);
    }
    if (point.IsBit() && words[0] > 1) {
        Fail("a bit point decoded to more than 1", text);
    }
    std::vector<std::uint16_t> again;
    if (!DecodeWrite(point, AsJson(point, words), again, reason) || again != words) {
        Fail("the decoded words, written back, do not decode to themselves", text);
    }
    return 0;
}
