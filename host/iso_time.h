// The one way our programs write a moment, and read one back: ISO 8601 in UTC with
// milliseconds, "2026-12-09T07:00:00.123Z" (the gateway's JSON and MQTT
// payloads, westnet-poll's timestamps).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
inline std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Reads "YYYY-MM-DDTHH:MM:SS", with an optional fraction of a second (its
// first three digits count) and a zone "Z" or "+HH:MM" / "-HH:MM"; a space
// may stand for the T. False for anything else, or a date that does not
// exist (February 30th).
inline bool ParseIsoTimeUtc(const std::string& text, std::int64_t& unixMilliseconds) {
    std::size_t i = 0;
    auto digits = [&](std::size_t n, int& out) {
        if (i + n > text.size()) {
            return false;
        }
        out = 0;
        for (std::size_t k = 0; k < n; ++k, ++i) {
            const char c = text[i];
            if (c < '0' || c > '9') {
                return false;
            }
            out = out * 10 + (c - '0');
        }
        return true;
    };
    auto literal = [&](const char* any) {
        if (i < text.size() && std::strchr(any, text[i]) != nullptr && text[i] != '\0') {
            ++i;
            return true;
        }
        return false;
    };
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!digits(4, y) || !literal("-") || !digits(2, mo) || !literal("-") || !digits(2, d) ||
        !literal("Tt ") || !digits(2, h) || !literal(":") || !digits(2, mi) || !literal(":") ||
        !digits(2, s)) {
        return false;
    }
    int ms = 0;
    if (literal(".")) {
        int places = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (places < 3) {
                ms = ms * 10 + (text[i] - '0');
            }
            ++places;
            ++i;
        }
        if (places == 0) {
            return false;
        }
        for (; places < 3; ++places) {
            ms *= 10;
        }
    }
    int offsetMinutes = 0;
    if (!literal("Zz")) {
        const bool ahead = i < text.size() && text[i] == '+';
        int oh = 0, om = 0;
        if (!literal("+-") || !digits(2, oh) || !literal(":") || !digits(2, om) || oh > 23 ||
            om > 59) {
            return false;
        }
        offsetMinutes = (ahead ? 1 : -1) * (oh * 60 + om);
    }
    static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (i != text.size() || mo < 1 || mo > 12 || d < 1 || d > kMonthDays[mo - 1] ||
        (mo == 2 && d == 29 && !leap) || h > 23 || mi > 59 || s > 60) {
        return false;
    }
    const std::int64_t seconds = DaysFromCivil(y, mo, d) * 86400 + std::int64_t{h} * 3600 +
                                 std::int64_t{mi} * 60 + s - std::int64_t{offsetMinutes} * 60;
    unixMilliseconds = seconds * 1000 + ms;
    return true;
}

}  // namespace westnet::host
