#include "scan/plan.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

namespace westnet::gateway {

std::vector<Block> PlanBlocks(const std::vector<PointConfig>& points,
                              const std::vector<std::size_t>& which, int maxGap, int firstStation) {
    std::map<int, std::vector<std::size_t>> byStation;
    for (const std::size_t i : which) {
        byStation[points[i].station].push_back(i);
    }
    std::vector<int> order;
    if (byStation.count(firstStation) != 0) {
        order.push_back(firstStation);
    }
    for (const auto& entry : byStation) {
        if (entry.first != firstStation) {
            order.push_back(entry.first);
        }
    }
    std::vector<Block> blocks;
    for (const int station : order) {
        std::vector<std::size_t>& list = byStation[station];
        std::stable_sort(list.begin(), list.end(), [&](std::size_t a, std::size_t b) {
            return points[a].reg < points[b].reg;
        });
        Block current;
        for (const std::size_t i : list) {
            const PointConfig& p = points[i];
            const int end = p.reg + p.Words();
            // Joins the block when the registers in between are few enough and
            // the block stays within one read; a point inside it always joins.
            if (!current.points.empty() && p.reg - current.End() <= maxGap &&
                std::max(end, current.End()) - current.reg <= kBlockMaxWords) {
                current.count = std::max(end, current.End()) - current.reg;
                current.points.push_back(i);
                continue;
            }
            if (!current.points.empty()) {
                blocks.push_back(current);
            }
            current = Block{station, p.reg, p.Words(), {i}};
        }
        if (!current.points.empty()) {
            blocks.push_back(current);
        }
    }
    return blocks;
}

double CharacterBits(int dataBits, int parityCode, int stopBitsCode) {
    return wire::CharacterHalfBits(static_cast<unsigned>(dataBits),
                                   static_cast<unsigned>(parityCode),
                                   static_cast<unsigned>(stopBitsCode)) /
           2.0;
}

double CharacterMs(const LineConfig& line) {
    return wire::CharacterMs(static_cast<unsigned>(line.baud), static_cast<unsigned>(line.dataBits),
                             static_cast<unsigned>(line.parityCode),
                             static_cast<unsigned>(line.stopBitsCode));
}

WireChars PlanChars(const std::vector<Block>& blocks, int selected) {
    WireChars chars;
    for (const Block& b : blocks) {
        if (NeedsSelection(b.station, selected)) {
            chars.request += kHeaderChars;
            chars.reply += kHeaderChars;
            ++chars.selections;
        }
        if (b.station != 0) {
            selected = b.station;
        }
        chars.request += kHeaderChars;
        chars.reply += ReplyChars(b.count);
    }
    return chars;
}

std::string AddressText(int station, int reg) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d%05d", station, reg + 1);
    return text;
}

std::string DescribePoint(const PointConfig& p) {
    std::string out = p.name + ": ";
    const int words = p.Words();
    out += AddressText(p.station, p.reg);
    if (words > 1) {
        out += "-" + AddressText(p.station, p.reg + words - 1).substr(2);
    }
    if (p.IsBit()) {
        out += " bit " + std::to_string(p.bit + 1);
    }
    const values::Format& f = p.format;
    out += std::string(" ") + values::TypeName(f.type);
    if (p.IsBlock()) {
        out += " x" + std::to_string(p.count);
    }
    if (f.Width() == 2) {
        out += std::string(" ") + values::WordOrderName(f.order);
    }
    if (f.scaled) {
        out += ", raw " + values::FormatValue(f.scale.rawLo) + ".." +
               values::FormatValue(f.scale.rawHi) + " = " + values::FormatValue(f.scale.engLo) +
               ".." + values::FormatValue(f.scale.engHi) + (f.clamp ? " (clamped)" : "");
    }
    if (!p.unit.empty()) {
        out += " " + p.unit;
    }
    if (p.writable) {
        out += ", writable";
    }
    return out;
}

std::string DescribePlan(const Plant& plant) {
    std::string out;
    char text[512];
    const GatewayConfig& g = plant.gateway;
    auto listen = [](const std::string& address) { return address.empty() ? "off" : address; };
    std::snprintf(text, sizeof text, "plant %s: %zu line%s; http %s, modbus %s, mqtt %s%s\n",
                  plant.path.c_str(), plant.lines.size(), plant.lines.size() == 1 ? "" : "s",
                  listen(g.http).c_str(), listen(g.modbus).c_str(), listen(g.mqtt).c_str(),
                  g.readOnly ? "; read only" : "");
    out += text;
    for (const LineConfig& line : plant.lines) {
        const double charMs = CharacterMs(line);
        std::snprintf(text, sizeof text,
                      "\nline %s: %s, %d baud %s (%.4g bits a character, %.3f ms), reply "
                      "time-out %d ms, %zu points\n",
                      line.name.c_str(), line.device.c_str(), line.baud, line.format.c_str(),
                      CharacterBits(line.dataBits, line.parityCode, line.stopBitsCode), charMs,
                      (line.timeoutMs + 9) / 10 * 10, line.points.size());
        out += text;
        std::vector<std::size_t> all(line.points.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            all[i] = i;
        }
        const std::vector<Block> blocks = PlanBlocks(line.points, all, line.maxGap);
        int station = -1;
        for (const Block& b : blocks) {
            if (b.station != station) {
                station = b.station;
                std::snprintf(text, sizeof text, "  station %02d%s\n", station,
                              NeedsSelection(station, kNoStation) ? " (its selection: 12 chars)"
                                                                  : " (never selected)");
                out += text;
            }
            int fastest = 0;
            std::string names;
            for (const std::size_t i : b.points) {
                const PointConfig& p = line.points[i];
                fastest = fastest == 0 ? p.scanMs : std::min(fastest, p.scanMs);
                names += (names.empty() ? "" : ", ") + p.name;
            }
            const int chars = kHeaderChars + ReplyChars(b.count);
            const std::string range = b.count == 1
                                          ? AddressText(b.station, b.reg)
                                          : AddressText(b.station, b.reg) + "-" +
                                                AddressText(b.station, b.End() - 1).substr(2);
            std::snprintf(text, sizeof text, "    %-13s %2d word%s %-11s %3d chars %7.1f ms  %s\n",
                          range.c_str(), b.count, b.count == 1 ? " " : "s",
                          b.WordRead() ? "word read" : "block read", chars, chars * charMs,
                          names.c_str());
            out += text;
            for (const std::size_t i : b.points) {
                out += "      " + DescribePoint(line.points[i]) + "\n";
            }
        }
        const WireChars chars = PlanChars(blocks);
        // Each block is due as often as its fastest point; the line's share
        // of time if every block ran on its own at that rate.
        double busyPerSecond = 0;
        int selected = kNoStation;
        for (const Block& b : blocks) {
            int fastest = 0;
            for (const std::size_t i : b.points) {
                fastest =
                    fastest == 0 ? line.points[i].scanMs : std::min(fastest, line.points[i].scanMs);
            }
            const int blockChars = kHeaderChars + ReplyChars(b.count) +
                                   (NeedsSelection(b.station, selected) ? kSelectChars : 0);
            selected = b.station != 0 ? b.station : selected;
            busyPerSecond += blockChars * charMs / fastest;
        }
        std::snprintf(text, sizeof text,
                      "  a pass with every point due: %zu command%s, %d selection%s, %ld "
                      "chars, %.1f ms on the wire; at the points' scan rates the line is busy "
                      "about %.0f%% of the time%s\n",
                      blocks.size(), blocks.size() == 1 ? "" : "s", chars.selections,
                      chars.selections == 1 ? "" : "s", chars.Total(),
                      static_cast<double>(chars.Total()) * charMs, 100.0 * busyPerSecond,
                      busyPerSecond > 1.0 ? " (more than it has: points will be read late)" : "");
        out += text;
        // A point asking for less than a pass takes is read once a pass at
        // best, however fast its scan_ms.
        const double passMs = static_cast<double>(chars.Total()) * charMs;
        std::size_t faster = 0;
        const PointConfig* fastest = nullptr;
        for (const PointConfig& p : line.points) {
            if (p.scanMs < passMs) {
                ++faster;
                fastest = fastest == nullptr || p.scanMs < fastest->scanMs ? &p : fastest;
            }
        }
        if (fastest != nullptr) {
            std::snprintf(text, sizeof text,
                          "  warning: %zu point%s ask%s for more than the wire can carry (%s: "
                          "scan_ms %d, but a pass takes %.0f ms on the wire alone); they are "
                          "read about once a pass, and their values turn stale after two of the "
                          "line's cycles, not two scan_ms\n",
                          faster, faster == 1 ? "" : "s", faster == 1 ? "s" : "",
                          fastest->name.c_str(), fastest->scanMs, passMs);
            out += text;
        }
    }
    return out;
}

}  // namespace westnet::gateway
