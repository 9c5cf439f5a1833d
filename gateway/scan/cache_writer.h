// A line's value cache: what each point last read, its quality as time
// passes, and whether changed values are confirmed by a second read before
// they are served.
//
// Quality: good while the latest good read is younger than two scan
// periods (or two passes' wire time, on a line that cannot keep its points'
// pace); then stale, or bad once a read has failed since; bad until the
// first good read.
//
// Plain state: it takes no lock and knows no thread. The scanner keeps it
// under its lock, since front ends read the cache.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "plant/plant.h"
#include "scan/point_map.h"
#include "scan/service.h"

namespace westnet::gateway {

// How long a line that showed trouble has its changed values confirmed
// (confirm = "auto").
constexpr std::chrono::minutes kConfirmAfterTrouble{10};

// Point updates in the order they happened, to be told once the scanner's
// lock is released.
using PointUpdates = std::vector<std::pair<std::size_t, PointSample>>;

class CacheWriter {
public:
    // `charMs`: one character's time on the line.
    CacheWriter(const LineConfig& config, const PointMap& map, double charMs, SteadyTime start);

    PointSample Sample(std::size_t point, SteadyTime now) const;
    // The words of these registers, when each one belongs to a point whose
    // value is good and not superseded by a write.
    bool CachedRegisters(int station, int reg, int count, SteadyTime now,
                         std::vector<std::uint16_t>& words) const;

    // Whether these words change (or give the first) value of any point of
    // the station they cover whole.
    bool ChangesAPoint(int station, int reg, const std::vector<std::uint16_t>& words) const;
    // A good read of the station's registers from `reg`. With `earlier` (a
    // first read these words disagree with), only the points on which both
    // agree, or that keep their served value, are taken.
    void ApplyRead(int station, int reg, const std::vector<std::uint16_t>& words, SteadyTime now,
                   WallTime wall, PointUpdates& out,
                   const std::vector<std::uint16_t>* earlier = nullptr);
    // A failed read of these points.
    void ApplyFailure(const std::vector<std::size_t>& points, std::int32_t result, SteadyTime now,
                      PointUpdates& out);
    // A write reached these registers: their cached words may be the ones
    // it replaced, so they are not served until read again.
    void Supersede(int station, int reg, int count);
    // Qualities that time has changed (a good value grown old) are told like
    // a read; at most once every kSweepEvery.
    void Sweep(SteadyTime now, PointUpdates& out);
    static constexpr std::chrono::milliseconds kSweepEvery{100};

    // A command failed, or needed more than one exchange.
    void NoteTrouble(SteadyTime at);
    // Whether changed values need a second read now.
    bool Confirming(SteadyTime now) const;

private:
    struct Point {
        PointSample sample;
        std::vector<std::uint16_t> words;  // as read: a bit point's whole register
        bool lastGood = false;
        // A write reached its registers since they were read: the cache no
        // longer tells what the station holds, so reads go to the line until
        // the point is read again.
        bool superseded = false;
    };

    Quality QualityAt(const Point& point, std::size_t index, SteadyTime now) const;

    const LineConfig& config_;
    const PointMap& map_;
    std::chrono::milliseconds passWire_{0};  // a pass with every point due, on the wire
    std::vector<Point> points_;
    SteadyTime lastSweep_;
    bool troubled_ = false;
    SteadyTime troubleAt_{};
};

}  // namespace westnet::gateway
