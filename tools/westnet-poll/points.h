// The points a command is given: parsed through the driver with rejections
// explained, and the rows that show them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "line.h"
#include "output.h"

namespace westnet::poll {

struct Point {
    std::string text;
    host::ParsedPoint parsed;
    std::uint16_t value = 0;  // write: what to write
    bool accepted = false;
};

// Parses through the driver; a rejection is explained on stderr.
bool ParsePoint(Context& ctx, const std::string& text, std::int32_t words,
                host::ParsedPoint& parsed);
// Every point, rejected ones marked, in the order given.
std::vector<Point> ParsePoints(Context& ctx);
bool AnyAccepted(const std::vector<Point>& points);
// Station 00 is never selected: it talks to whatever station the line
// selected last, so it must not share a run with addressed stations.
void WarnOfStationZero(const std::vector<Point>& points);

// The register and bit as written (counted from 1); no bit for a word.
Cell RegisterCell(const host::ParsedPoint& p);
Cell BitCell(const host::ParsedPoint& p);

// read and write: a row per point with its value and the driver's result.
std::vector<Column> PointColumns(const Options& o);
std::vector<Cell> PointRow(const Options& o, const Point& point, const std::uint16_t* value,
                           const std::string& result);

// read and write: a row for every point given, each exchange timed; the
// exit status.
int ExchangePoints(Context& ctx, bool write);

}  // namespace westnet::poll
