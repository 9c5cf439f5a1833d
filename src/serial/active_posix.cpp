// The POSIX stand-in as the binary's platform. Kept apart from the stand-in
// itself so that a program may link the stand-in under a platform of its own
// (the soak's tap) through the same seam the scripted fake uses.
#include "serial/platform.h"

namespace westnet {

const Platform& ActivePlatform() {
    return PosixPlatform();
}

}  // namespace westnet
