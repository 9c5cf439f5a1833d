// What the tools do around CLI11 that CLI11 does not do as our options did.
#pragma once

#include <string>
#include <vector>

namespace westnet::cli {

// Adds `arg` to `reversed` (the arguments in the reverse order CLI11's parse
// takes them). CLI11 reads "--NAME=" as --NAME without its value, and would
// take the next argument instead; the empty value given is the one to check.
inline void AddReversed(std::vector<std::string>& reversed, const std::string& arg) {
    if (arg.size() > 3 && arg.compare(0, 2, "--") == 0 && arg.back() == '=' &&
        arg.find('=') == arg.size() - 1) {
        reversed.emplace_back();
        reversed.push_back(arg.substr(0, arg.size() - 1));
        return;
    }
    reversed.push_back(arg);
}

}  // namespace westnet::cli
