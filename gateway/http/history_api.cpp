#include "http/history_api.h"

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "http/render.h"
#include "iso_time.h"
#include "values/engineering.h"

namespace westnet::gateway::http {
namespace {

using json = nlohmann::json;

constexpr std::int64_t kDefaultSpanMs = std::int64_t{3600} * 1000;

HistoryReply Fault(int status, const std::string& error, const std::string& message) {
    HistoryReply r;
    r.status = status;
    r.body = json{{"error", error}, {"message", message}}.dump(2, ' ', false,
                                                               json::error_handler_t::replace) +
             "\n";
    r.type = "application/json; charset=utf-8";
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

std::string Number(const std::optional<double>& v, const char* none) {
    return v ? ValueJsonText(EngineeringValue{*v, values::Decoded::Ok}) : none;
}

const char* QualityText(HistoryQuality q) {
    switch (q) {
        case HistoryQuality::Good:
            return QualityName(Quality::Good);
        case HistoryQuality::Stale:
            return QualityName(Quality::Stale);
        case HistoryQuality::Bad:
            break;
    }
    return QualityName(Quality::Bad);
}

// The point, or a block's value written NAME[i]: its series, or a refusal.
bool FindSeries(const Service& service, const std::string& line, const std::string& name,
                std::string& series, const PointConfig*& point, HistoryReply& refusal) {
    std::size_t l = 0;
    std::size_t p = 0;
    int index = -1;
    if (!FindPoint(service, line, name, l, p)) {
        const std::size_t open = name.rfind('[');
        char* end = nullptr;
        const long i = open == std::string::npos || name.back() != ']'
                           ? -1
                           : std::strtol(name.c_str() + open + 1, &end, 10);
        if (i < 0 || end != name.c_str() + name.size() - 1 ||
            !FindPoint(service, line, name.substr(0, open), l, p) ||
            !service.PlantConfig().lines[l].points[p].IsBlock() ||
            i >= service.PlantConfig().lines[l].points[p].count) {
            refusal = Fault(404, "no-such-point",
                            "no point named \"" + name + "\" on a line named \"" + line +
                                "\" (a block's value: NAME[i], i from 0)");
            return false;
        }
        index = static_cast<int>(i);
    }
    point = &service.PlantConfig().lines[l].points[p];
    if (point->IsBlock() && index < 0) {
        refusal = Fault(400, "bad-point",
                        "\"" + name + "\" is a block of " + std::to_string(point->count) +
                            " values: ask for one, as \"" + name + "[0]\"");
        return false;
    }
    if (!point->history) {
        refusal = Fault(404, "not-recorded",
                        "the point \"" + point->name + "\" is not recorded (history = false)");
        return false;
    }
    series = line + "/" + point->name + (index >= 0 ? "[" + std::to_string(index) + "]" : "");
    return true;
}

bool ParseTime(const char* text, std::int64_t& ms, HistoryReply& refusal, const char* key) {
    if (!host::ParseIsoTimeUtc(text, ms)) {
        refusal = Fault(400, "bad-time",
                        std::string(key) + "=\"" + text +
                            "\" is not a time: write it as 2026-12-09T07:00:00Z (UTC) or with "
                            "an offset, as 2026-12-09T08:00:00+01:00");
        return false;
    }
    return true;
}

std::string FileName(const std::string& series) {
    std::string out;
    for (const char c : series) {
        out += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' ? c : '_';
    }
    return out + ".csv";
}

}  // namespace

HistoryReply AnswerHistory(const Service& service,
                           const std::function<const char*(const char*)>& argument, WallTime now) {
    const char* line = argument("line");
    const char* name = argument("point");
    if (line == nullptr || name == nullptr) {
        return Fault(400, "bad-request", "name the point: ?line=LINE&point=POINT");
    }
    std::string series;
    const PointConfig* point = nullptr;
    HistoryReply refusal;
    if (!FindSeries(service, line, name, series, point, refusal)) {
        return refusal;
    }
    const char* fromText = argument("from");
    const char* toText = argument("to");
    HistoryQuery query;
    query.series = series;
    query.toMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    if (toText != nullptr && !ParseTime(toText, query.toMs, refusal, "to")) {
        return refusal;
    }
    query.fromMs = query.toMs - kDefaultSpanMs;
    if (fromText != nullptr && !ParseTime(fromText, query.fromMs, refusal, "from")) {
        return refusal;
    }
    if (query.fromMs >= query.toMs) {
        return Fault(400, "bad-time", "from must come before to");
    }
    if (const char* stepText = argument("step")) {
        char* end = nullptr;
        const double step = std::strtod(stepText, &end);
        if (end == stepText || *end != '\0' || !std::isfinite(step) || step < 0 ||
            (step > 0 && step < 0.001) || step > 1e9) {
            return Fault(400, "bad-step",
                         std::string("step=\"") + stepText +
                             "\" is not a number of seconds (0 for raw rows)");
        }
        query.stepMs = static_cast<std::int64_t>(std::llround(step * 1000));
    }
    if (query.stepMs > 0 && (query.toMs - query.fromMs + query.stepMs - 1) / query.stepMs >
                                static_cast<std::int64_t>(kHistoryRowsMax)) {
        return Fault(400, "bad-step",
                     "that range holds more than " + std::to_string(kHistoryRowsMax) +
                         " steps: ask for a longer step or a shorter range");
    }
    const char* format = argument("format");
    const bool csv = format != nullptr && std::string(format) == "csv";
    if (format != nullptr && !csv && std::string(format) != "json") {
        return Fault(400, "bad-format", "format is json (the default) or csv");
    }
    query.limit = kHistoryRowsMax;
    const std::shared_ptr<HistoryReader> reader = service.History();
    if (!reader) {
        return Fault(503, "history-off",
                     "the history is off: set [gateway] history in the plant file, as "
                     "\"sqlite:/var/lib/westnet/history.db\"");
    }
    HistoryResult result;
    std::string why;
    if (!reader->Query(query, result, why)) {
        return Fault(503, "history-unavailable", why);
    }

    HistoryReply r;
    r.headers.emplace_back("Cache-Control", "no-store");
    if (csv) {
        r.type = "text/csv; charset=utf-8";
        r.headers.emplace_back("Content-Disposition",
                               "attachment; filename=\"" + FileName(series) + "\"");
        r.body.reserve(result.rows.size() * 64 + 64);
        r.body = "time,min,max,avg,last,quality\r\n";
        for (const HistoryRow& row : result.rows) {
            r.body += host::IsoTimeUtc(row.timeMs) + "," + Number(row.min, "") + "," +
                      Number(row.max, "") + "," + Number(row.avg, "") + "," + Number(row.last, "") +
                      "," + QualityText(row.quality) + "\r\n";
        }
        return r;
    }
    r.type = "application/json; charset=utf-8";
    const auto text = [](const std::string& s) {
        return json(s).dump(-1, ' ', false, json::error_handler_t::replace);
    };
    r.body.reserve(result.rows.size() * 128 + 256);
    r.body = "{\"line\": " + text(line) + ", \"point\": " + text(name) +
             ", \"unit\": " + text(point->unit) + ", \"from\": \"" +
             host::IsoTimeUtc(query.fromMs) + "\", \"to\": \"" + host::IsoTimeUtc(query.toMs) +
             "\", \"step\": " + Number(static_cast<double>(query.stepMs) / 1000, "0") +
             ", \"more\": " + (result.more ? "true" : "false") + ", \"rows\": [";
    bool first = true;
    for (const HistoryRow& row : result.rows) {
        r.body += first ? "\n" : ",\n";
        first = false;
        r.body +=
            "{\"time\": \"" + host::IsoTimeUtc(row.timeMs) +
            "\", \"min\": " + Number(row.min, "null") + ", \"max\": " + Number(row.max, "null") +
            ", \"avg\": " + Number(row.avg, "null") + ", \"last\": " + Number(row.last, "null") +
            ", \"quality\": \"" + QualityText(row.quality) + "\"}";
    }
    r.body += "\n]}\n";
    return r;
}

}  // namespace westnet::gateway::http
