// The one way our programs write a moment: ISO 8601 in UTC with
// milliseconds, "2026-12-09T07:00:00.123Z" (the gateway's JSON and MQTT
// payloads, westnet-poll's timestamps).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace westnet::host {

// "-" for a moment the system cannot express as a date.
inline std::string IsoTimeUtc(std::int64_t unixMilliseconds) {
    std::int64_t seconds = unixMilliseconds / 1000;
    std::int64_t ms = unixMilliseconds % 1000;
    if (ms < 0) {  // before 1970: the milliseconds count up from the second before
        ms += 1000;
        --seconds;
    }
    const auto whole = static_cast<std::time_t>(seconds);
    std::tm utc{};
#ifdef _WIN32
    if (gmtime_s(&utc, &whole) != 0) {
        return "-";
    }
#else
    if (gmtime_r(&whole, &utc) == nullptr) {
        return "-";
    }
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms));
    return text;
}

inline std::string IsoTimeUtc(std::chrono::system_clock::time_point time) {
    return IsoTimeUtc(
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count());
}

}  // namespace westnet::host
