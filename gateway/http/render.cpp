#include "http/render.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "iso_time.h"
#include "values/engineering.h"

namespace westnet::gateway::http {
namespace {

using json = nlohmann::ordered_json;

// What the page and a client need to act on replies that come late.
json LateReplies(const StationStatus& s) {
    if (s.lateSuggestMs == 0) {
        return nullptr;
    }
    return {{"slowest_ms", s.lateSlowestMs},
            {"suggest_timeout_ms", s.lateSuggestMs},
            {"text",
             "replies come late: values may belong to another request; raise timeout_ms "
             "to " +
                 std::to_string(s.lateSuggestMs)}};
}

const char* ConfirmName(ConfirmPolicy policy) {
    switch (policy) {
        case ConfirmPolicy::Always:
            return "always";
        case ConfirmPolicy::Never:
            return "never";
        case ConfirmPolicy::Auto:
            break;
    }
    return "auto";
}

json Counts(const CommandCounts& c) {
    return {{"commands", c.commands},
            {"good", c.good},
            {"refused", c.refused},
            {"line_failures", c.lineFailures}};
}

json Latency(const LatencySummary& l) {
    if (l.samples == 0) {
        return nullptr;
    }
    return {{"min", l.minMs}, {"median", l.medianMs}, {"p99", l.p99Ms}, {"samples", l.samples}};
}

json Error(const ErrorNote& e) {
    if (e.text.empty()) {
        return nullptr;
    }
    return {{"text", e.text}, {"time", host::IsoTimeUtc(e.when)}};
}

// Prometheus text: a label value escaped, a number without needless digits.
std::string Label(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Number(double v) {
    char text[40];
    if (std::isnan(v)) {
        return "NaN";
    }
    if (std::isinf(v)) {
        return v > 0 ? "+Inf" : "-Inf";
    }
    if (v == std::floor(v) && std::fabs(v) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", v);
    } else {
        std::snprintf(text, sizeof text, "%.9g", v);
    }
    return text;
}

// The series of one metric, written together under its HELP and TYPE.
class Exposition {
public:
    void Add(const std::string& name, const std::string& help, const char* type,
             const std::vector<std::pair<std::string, std::string>>& labels, double value) {
        Family& f = families_[name];
        if (f.help.empty()) {
            f.help = help;
            f.type = type;
            order_.push_back(name);
        }
        std::string line = name;
        if (!labels.empty()) {
            line += '{';
            for (std::size_t i = 0; i < labels.size(); ++i) {
                line += (i ? "," : "") + labels[i].first + "=\"" + Label(labels[i].second) + "\"";
            }
            line += '}';
        }
        f.lines += line + " " + Number(value) + "\n";
    }
    std::string Text() const {
        std::string out;
        for (const std::string& name : order_) {
            const Family& f = families_.at(name);
            out += "# HELP " + name + " " + f.help;
            out += "\n# TYPE " + name + " " + f.type + "\n";
            out += f.lines;
        }
        return out;
    }

private:
    struct Family {
        std::string help;
        std::string type;
        std::string lines;
    };
    std::map<std::string, Family> families_;
    std::vector<std::string> order_;
};

std::string StationLabel(int station) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", station);
    return text;
}

}  // namespace

json PointJson(const Service& service, std::size_t line, std::size_t point, WallTime now) {
    const LineConfig& l = service.PlantConfig().lines[line];
    const PointConfig& p = l.points[point];
    const PointSample s = service.Sample(line, point);
    json j = {{"line", l.name},         {"name", p.name},
              {"address", p.address},   {"station", p.station},
              {"register", p.reg + 1},  {"scan_ms", p.scanMs},
              {"writable", p.writable}, {"quality", QualityName(s.quality)},
              {"result", s.lastResult}, {"reads", s.reads}};
    if (p.IsBit()) {
        j["bit"] = p.bit + 1;
    }
    // Engineering values under "value"/"values", the registers' words under
    // "raw" (one word as a number, a two-word value or a block as a list).
    const std::vector<EngineeringValue> eng = EngineeringValues(p, s.values);
    auto number = [](const EngineeringValue& v) {
        if (v.state == values::Decoded::NotAValue) {
            return json(nullptr);
        }
        // Whole numbers stay integers in the JSON, as the words were.
        if (std::fabs(v.value) < 9e15 && std::floor(v.value) == v.value) {
            return json(static_cast<long long>(v.value));
        }
        return json(v.value);
    };
    bool outOfRange = false;
    for (const EngineeringValue& v : eng) {
        outOfRange = outOfRange || v.state == values::Decoded::OutOfRange;
    }
    j["type"] = values::TypeName(p.IsBit() ? values::Type::Bool : p.format.type);
    if (p.IsBlock()) {
        j["count"] = p.count;
        json list = json::array();
        for (const EngineeringValue& v : eng) {
            list.push_back(number(v));
        }
        j["values"] = eng.empty() ? json(nullptr) : list;
    } else {
        j["value"] = eng.empty() ? json(nullptr) : number(eng.front());
    }
    if (eng.empty()) {
        j["raw"] = nullptr;
    } else if (s.values.size() == 1 && !p.IsBlock()) {
        j["raw"] = s.values.front();
    } else {
        j["raw"] = s.values;
    }
    j["registers"] = p.Words();
    if (!p.unit.empty()) {
        j["unit"] = p.unit;
    }
    if (p.decimals >= 0) {
        j["decimals"] = p.decimals;
    }
    if (p.format.scaled) {
        // The engineering range a client may show a gauge over (OPC UA's
        // EURange): raw_lo, raw_hi, eng_lo, eng_hi as in the plant file.
        const values::Scale& sc = p.format.scale;
        j["scale"] = {sc.rawLo, sc.rawHi, sc.engLo, sc.engHi};
        j["clamp"] = p.format.clamp;
    }
    if (outOfRange) {
        j["out_of_range"] = true;  // outside the scale's range: clamp is set
    }
    if (s.values.empty()) {
        j["time"] = nullptr;
        j["age_ms"] = nullptr;
    } else {
        j["time"] = host::IsoTimeUtc(s.goodTime);
        j["age_ms"] = std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(now - s.goodTime).count());
    }
    return j;
}

json PointsJson(const Service& service, WallTime now) {
    json points = json::array();
    const Plant& plant = service.PlantConfig();
    for (std::size_t l = 0; l < plant.lines.size(); ++l) {
        for (std::size_t p = 0; p < plant.lines[l].points.size(); ++p) {
            points.push_back(PointJson(service, l, p, now));
        }
    }
    return {{"time", host::IsoTimeUtc(now)}, {"points", points}};
}

json StatusJson(Service& service, WallTime now) {
    const Plant& plant = service.PlantConfig();
    json lines = json::array();
    for (std::size_t l = 0; l < plant.lines.size(); ++l) {
        const LineConfig& c = plant.lines[l];
        const LineStatus st = service.Status(l);
        std::size_t good = 0;
        for (std::size_t p = 0; p < c.points.size(); ++p) {
            good += service.Sample(l, p).quality == Quality::Good ? 1 : 0;
        }
        json stations = json::array();
        for (const StationStatus& s : st.stations) {
            stations.push_back({{"station", s.station},
                                {"state", StationStateName(s.state)},
                                {"counts", Counts(s.counts)},
                                {"demotions", s.demotions},
                                {"failures_in_row", s.failuresInRow},
                                {"last_error", Error(s.lastError)},
                                {"latency_ms", Latency(s.latency)},
                                {"late_replies", LateReplies(s)}});
        }
        lines.push_back({{"name", c.name},
                         {"device", c.device},
                         {"opened_as", st.device},
                         {"up", service.LineUp(l)},
                         {"baud", c.baud},
                         {"format", c.format},
                         {"timeout_ms", (c.timeoutMs + 9) / 10 * 10},
                         {"points", c.points.size()},
                         {"points_good", good},
                         {"counts", Counts(st.counts)},
                         {"demotions", st.demotions},
                         {"reopens", st.reopens},
                         {"confirm", ConfirmName(c.confirm)},
                         {"confirming", st.confirming},
                         {"confirmations", st.confirmations},
                         {"disagreements", st.disagreements},
                         {"queued", st.queued},
                         {"command_seconds", st.commandSeconds},
                         {"last_error", Error(st.lastError)},
                         {"latency_ms", Latency(st.latency)},
                         {"bus_load", st.busLoad},
                         {"wire_seconds", st.wireSeconds},
                         {"passes", st.passes},
                         {"pass_seconds", st.passSeconds},
                         {"cycle_seconds", st.cycleSeconds},
                         {"stations", stations}});
    }
    json front = json::array();
    for (const StatsRegistry::Series& s : service.FrontEndStats().Snapshot()) {
        front.push_back({{"name", s.name},
                         {"help", s.help},
                         {"type", s.counter ? "counter" : "gauge"},
                         {"labels", s.labels},
                         {"value", s.value}});
    }
    return {{"time", host::IsoTimeUtc(now)},
            {"version", WESTNET_VERSION},
            {"plant", plant.path},
            {"read_only", plant.gateway.readOnly},
            {"lines", lines},
            {"front_ends", front}};
}

std::string Metrics(Service& service, WallTime now) {
    Exposition m;
    const Plant& plant = service.PlantConfig();
    for (std::size_t l = 0; l < plant.lines.size(); ++l) {
        const LineConfig& c = plant.lines[l];
        const LineStatus st = service.Status(l);
        const std::string line = c.name;
        m.Add("westnet_line_up", "1 while the line's channel is open, 0 while the line is down",
              "gauge", {{"line", line}}, service.LineUp(l) ? 1 : 0);
        m.Add("westnet_line_reopens_total",
              "Times the line's channel was opened again after the line went down", "counter",
              {{"line", line}}, static_cast<double>(st.reopens));
        m.Add("westnet_line_confirmations_total",
              "Changed values that a second read agreed with before they were served", "counter",
              {{"line", line}}, static_cast<double>(st.confirmations));
        m.Add("westnet_line_disagreements_total",
              "Changed values that a second read did not agree with, so they were not served",
              "counter", {{"line", line}}, static_cast<double>(st.disagreements));
        m.Add("westnet_line_queued_requests",
              "Front-end requests waiting for the line, writes and reads", "gauge",
              {{"line", line}}, static_cast<double>(st.queued));
        m.Add("westnet_line_command_seconds",
              "How long the call to the driver under way has run (0 between calls): a line "
              "stuck in the driver shows here",
              "gauge", {{"line", line}}, st.commandSeconds);
        m.Add("westnet_line_bus_load", "Wire time used over time, the latest 10 s (0 to 1)",
              "gauge", {{"line", line}}, st.busLoad);
        m.Add("westnet_line_wire_seconds_total",
              "Wire time of the frames the line's commands sent and received", "counter",
              {{"line", line}}, st.wireSeconds);
        m.Add("westnet_scan_duration_seconds", "How long the line's latest scan pass took", "gauge",
              {{"line", line}}, st.passSeconds);
        m.Add("westnet_scan_cycle_seconds",
              "Time from the start of a scan pass to the start of the next", "gauge",
              {{"line", line}}, st.cycleSeconds);
        m.Add("westnet_scan_passes_total", "Scan passes completed", "counter", {{"line", line}},
              static_cast<double>(st.passes));
        for (const StationStatus& s : st.stations) {
            const std::string station = StationLabel(s.station);
            const std::pair<const char*, std::uint64_t> results[] = {
                {"good", s.counts.good},
                {"refused", s.counts.refused},
                {"line_failure", s.counts.lineFailures}};
            for (const auto& r : results) {
                m.Add("westnet_commands_total",
                      "Commands the driver made, by result: good, refused (1), line_failure (2)",
                      "counter", {{"line", line}, {"station", station}, {"result", r.first}},
                      static_cast<double>(r.second));
            }
            m.Add("westnet_station_up", "1 while the station is ok, 0 while demoted or down",
                  "gauge", {{"line", line}, {"station", station}},
                  s.state == StationState::Ok ? 1 : 0);
            for (StationState state :
                 {StationState::Ok, StationState::Demoted, StationState::Down}) {
                m.Add("westnet_station_state", "The station's state, 1 for the one it is in",
                      "gauge",
                      {{"line", line}, {"station", station}, {"state", StationStateName(state)}},
                      s.state == state ? 1 : 0);
            }
            m.Add("westnet_station_demotions_total", "Times the station was demoted", "counter",
                  {{"line", line}, {"station", station}}, static_cast<double>(s.demotions));
            if (s.latency.samples > 0) {
                m.Add("westnet_command_latency_median_seconds",
                      "Median time of the station's latest commands (up to 1024)", "gauge",
                      {{"line", line}, {"station", station}}, s.latency.medianMs / 1000.0);
                m.Add("westnet_command_latency_p99_seconds",
                      "99th percentile time of the station's latest commands (up to 1024)", "gauge",
                      {{"line", line}, {"station", station}}, s.latency.p99Ms / 1000.0);
            }
        }
        for (std::size_t p = 0; p < c.points.size(); ++p) {
            const PointSample s = service.Sample(l, p);
            const std::string name = c.points[p].name;
            const std::vector<EngineeringValue> eng = EngineeringValues(c.points[p], s.values);
            for (std::size_t i = 0; i < eng.size(); ++i) {
                if (eng[i].state == values::Decoded::NotAValue) {
                    continue;
                }
                m.Add("westnet_point_value",
                      "The point's latest good value in engineering units (a block: one series "
                      "per value, by index)",
                      "gauge", {{"line", line}, {"point", name}, {"index", std::to_string(i)}},
                      eng[i].value);
            }
            m.Add("westnet_point_good", "1 while the point's value is good", "gauge",
                  {{"line", line}, {"point", name}}, s.quality == Quality::Good ? 1 : 0);
            if (!s.values.empty()) {
                m.Add("westnet_point_age_seconds", "Time since the point's latest good read",
                      "gauge", {{"line", line}, {"point", name}},
                      std::max(0.0, std::chrono::duration<double>(now - s.goodTime).count()));
            }
        }
    }
    for (const StatsRegistry::Series& s : service.FrontEndStats().Snapshot()) {
        std::vector<std::pair<std::string, std::string>> labels(s.labels.begin(), s.labels.end());
        m.Add(s.name, s.help.empty() ? s.name : s.help, s.counter ? "counter" : "gauge", labels,
              s.value);
    }
    return m.Text();
}

bool FindPoint(const Service& service, const std::string& line, const std::string& name,
               std::size_t& lineIndex, std::size_t& pointIndex) {
    const Plant& plant = service.PlantConfig();
    for (std::size_t l = 0; l < plant.lines.size(); ++l) {
        if (plant.lines[l].name != line) {
            continue;
        }
        for (std::size_t p = 0; p < plant.lines[l].points.size(); ++p) {
            if (plant.lines[l].points[p].name == name) {
                lineIndex = l;
                pointIndex = p;
                return true;
            }
        }
    }
    return false;
}

}  // namespace westnet::gateway::http
