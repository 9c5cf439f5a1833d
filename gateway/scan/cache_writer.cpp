#include "scan/cache_writer.h"

#include <algorithm>
#include <cmath>

#include "scan/channel.h"
#include "scan/plan.h"

namespace westnet::gateway {

CacheWriter::CacheWriter(const LineConfig& config, const PointMap& map, double charMs,
                         SteadyTime start)
    : config_(config), map_(map), points_(config.points.size()), lastSweep_(start) {
    std::vector<std::size_t> all(config_.points.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = i;
    }
    const WireChars pass = PlanChars(PlanBlocks(config_.points, all, config_.maxGap));
    passWire_ = std::chrono::milliseconds(
        static_cast<long>(std::ceil(static_cast<double>(pass.Total()) * charMs)));
}

Quality CacheWriter::QualityAt(const Point& point, std::size_t index, SteadyTime now) const {
    if (point.sample.values.empty()) {
        return Quality::Bad;  // never read
    }
    // A line that cannot keep its points' pace reads them once a pass at
    // best: a value turns stale after two passes' wire time, not two scan
    // periods. (The wire time, not the measured cycle: a pass slowed by
    // failures must not keep old values good for longer.)
    const auto period =
        std::max(std::chrono::milliseconds(config_.points[index].scanMs), passWire_);
    const bool fresh = now - point.sample.goodAt <= 2 * period;
    if (fresh) {
        return Quality::Good;
    }
    return point.lastGood ? Quality::Stale : Quality::Bad;
}

PointSample CacheWriter::Sample(std::size_t point, SteadyTime now) const {
    if (point >= points_.size()) {
        return {};
    }
    PointSample sample = points_[point].sample;
    sample.quality = QualityAt(points_[point], point, now);
    return sample;
}

bool CacheWriter::CachedRegisters(int station, int reg, int count, SteadyTime now,
                                  std::vector<std::uint16_t>& words) const {
    if (count < 1 || reg < 0 || count > 65536 - reg) {
        return false;
    }
    std::vector<std::uint16_t> out;
    out.reserve(static_cast<std::size_t>(count));
    for (int r = reg; r < reg + count; ++r) {
        bool got = false;
        for (const std::size_t i : map_.Covering(station, r)) {
            const Point& p = points_[i];
            const int offset = r - config_.points[i].reg;
            if (!p.superseded && QualityAt(p, i, now) == Quality::Good &&
                static_cast<std::size_t>(offset) < p.words.size()) {
                out.push_back(p.words[static_cast<std::size_t>(offset)]);
                got = true;
                break;
            }
        }
        if (!got) {
            return false;
        }
    }
    words = std::move(out);
    return true;
}

bool CacheWriter::ChangesAPoint(int station, int reg,
                                const std::vector<std::uint16_t>& words) const {
    const int end = reg + static_cast<int>(words.size());
    for (const std::size_t i : map_.OfStation(station)) {
        const PointConfig& c = config_.points[i];
        if (c.reg < reg || c.reg + c.Words() > end) {
            continue;
        }
        const Point& p = points_[i];
        const auto first = words.begin() + (c.reg - reg);
        if (!p.lastGood || !std::equal(first, first + c.Words(), p.words.begin(), p.words.end())) {
            return true;
        }
    }
    return false;
}

void CacheWriter::ApplyRead(int station, int reg, const std::vector<std::uint16_t>& words,
                            SteadyTime now, WallTime wall, PointUpdates& out,
                            const std::vector<std::uint16_t>* earlier) {
    const int end = reg + static_cast<int>(words.size());
    for (const std::size_t i : map_.OfStation(station)) {
        const PointConfig& c = config_.points[i];
        if (c.reg < reg || c.reg + c.Words() > end) {
            continue;
        }
        Point& p = points_[i];
        const auto first = words.begin() + (c.reg - reg);
        if (earlier != nullptr) {
            // The two reads disagree somewhere: a point is served only where
            // they agree, or where this read gives what was served before.
            const auto before = earlier->begin() + (c.reg - reg);
            const bool agree = std::equal(first, first + c.Words(), before);
            const bool unchanged =
                p.lastGood && std::equal(first, first + c.Words(), p.words.begin(), p.words.end());
            if (!agree && !unchanged) {
                continue;  // what was served stays; the next pass reads it again
            }
        }
        p.words.assign(first, first + c.Words());
        std::vector<std::uint16_t> values = p.words;
        if (c.IsBit()) {
            values.assign(1, static_cast<std::uint16_t>((p.words[0] >> c.bit) & 1));
        }
        const Quality before = p.sample.quality;
        const bool changed = values != p.sample.values || before != Quality::Good;
        p.sample.values = std::move(values);
        p.sample.quality = Quality::Good;
        p.sample.lastResult = kResultOk;
        p.sample.goodTime = wall;
        p.sample.goodAt = now;
        ++p.sample.reads;
        p.lastGood = true;
        p.superseded = false;
        if (changed) {
            ++p.sample.changes;
        }
        out.emplace_back(i, p.sample);
    }
}

void CacheWriter::ApplyFailure(const std::vector<std::size_t>& points, std::int32_t result,
                               SteadyTime now, PointUpdates& out) {
    for (const std::size_t i : points) {
        Point& p = points_[i];
        p.lastGood = false;
        p.sample.lastResult = result;
        ++p.sample.reads;
        const Quality quality = QualityAt(p, i, now);
        if (quality != p.sample.quality) {
            p.sample.quality = quality;
            ++p.sample.changes;
        }
        out.emplace_back(i, p.sample);
    }
}

void CacheWriter::Supersede(int station, int reg, int count) {
    for (const std::size_t i : map_.CoveringAny(station, reg, count)) {
        points_[i].superseded = true;
    }
}

void CacheWriter::Sweep(SteadyTime now, PointUpdates& out) {
    if (now - lastSweep_ < kSweepEvery) {
        return;
    }
    lastSweep_ = now;
    for (std::size_t i = 0; i < points_.size(); ++i) {
        Point& p = points_[i];
        const Quality quality = QualityAt(p, i, now);
        if (quality != p.sample.quality) {
            p.sample.quality = quality;
            ++p.sample.changes;
            out.emplace_back(i, p.sample);
        }
    }
}

void CacheWriter::NoteTrouble(SteadyTime at) {
    troubled_ = true;
    troubleAt_ = at;
}

bool CacheWriter::Confirming(SteadyTime now) const {
    switch (config_.confirm) {
        case ConfirmPolicy::Always:
            return true;
        case ConfirmPolicy::Never:
            return false;
        case ConfirmPolicy::Auto:
            break;
    }
    return troubled_ && now - troubleAt_ < kConfirmAfterTrouble;
}

}  // namespace westnet::gateway
