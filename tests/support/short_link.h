// A short name under /tmp for a device whose own path is too long for the
// driver's 11-character device field: a fresh symbolic link to `target`.
// symlink() fails on a name already taken, so tests running beside each
// other (ctest runs them two at a time) never share one. "" when none is free.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

inline std::string MakeShortLink(const std::string& target) {
    for (unsigned n = 0; n < 0x10000U; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "/tmp/wn%04x",
                      (static_cast<unsigned>(getpid()) + n) & 0xFFFFU);
        if (symlink(target.c_str(), name) == 0) {
            return name;
        }
    }
    return "";
}
