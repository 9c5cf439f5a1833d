// write: each ADDRESS=VALUE written once, a row each showing the value it
// was to write (points.cpp has the exchanges, which read shares).
#include "commands.h"
#include "points.h"

namespace westnet::poll {

int WriteCommand(Context& ctx) {
    return ExchangePoints(ctx, true);
}

}  // namespace westnet::poll
