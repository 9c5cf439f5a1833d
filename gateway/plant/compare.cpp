#include "plant/compare.h"

#include <algorithm>
#include <tuple>

namespace westnet::gateway {
namespace {

auto Keys(const PointConfig& p) {
    return std::tie(p.address, p.name, p.scanMs, p.writable, p.count, p.deadband, p.coil, p.station,
                    p.reg, p.bit, p.format, p.unit, p.decimals);
}

auto Keys(const LineConfig& l) {
    return std::tie(l.name, l.device, l.baud, l.format, l.dataBits, l.parityCode, l.stopBitsCode,
                    l.timeoutMs, l.demoteAfter, l.demoteMs, l.maxGap, l.modbusUnitOffset, l.writes,
                    l.confirm);
}

}  // namespace

bool SameLine(const LineConfig& a, const LineConfig& b) {
    return Keys(a) == Keys(b) &&
           std::equal(
               a.points.begin(), a.points.end(), b.points.begin(), b.points.end(),
               [](const PointConfig& p, const PointConfig& q) { return Keys(p) == Keys(q); });
}

}  // namespace westnet::gateway
