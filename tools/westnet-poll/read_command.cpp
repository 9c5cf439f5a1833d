// read: each point read once, a row each (points.cpp has the exchanges,
// which write shares).
#include "commands.h"
#include "points.h"

namespace westnet::poll {

int ReadCommand(Context& ctx) {
    return ExchangePoints(ctx, false);
}

}  // namespace westnet::poll
