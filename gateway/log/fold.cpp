#include "log/fold.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

namespace westnet::gateway::logfold {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool InNumberRun(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' || c == ':';
}

// Where lines of new sources go while the table is full: folded together.
const char* const kOverflow = "\x01(many sources)";

}  // namespace

std::string SourceOf(const std::string& message) {
    std::string key;
    key.reserve(std::min(message.size(), kSourceKeyMax));
    std::size_t i = 0;
    while (i < message.size() && key.size() < kSourceKeyMax) {
        if (!InNumberRun(message[i])) {
            key += message[i++];
            continue;
        }
        std::size_t j = i;
        bool digit = false;
        while (j < message.size() && InNumberRun(message[j])) {
            digit = digit || IsDigit(message[j]);
            ++j;
        }
        if (digit) {
            key += '#';
        } else {
            key.append(message, i, j - i);
        }
        i = j;
    }
    if (key.size() > kSourceKeyMax) {
        key.resize(kSourceKeyMax);
    }
    return key;
}

std::string EscapeControls(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    return out;
}

std::string FoldedLine(std::uint64_t count) {
    std::string digits = std::to_string(count);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped += ',';
        }
        grouped += digits[i];
    }
    return "\u2026 " + grouped + " more like this in the last " +
           std::to_string(kFoldWindow.count()) + " s";
}

void Folder::Offer(LogLevel level, const std::string& source, const std::string& text,
                   Clock::time_point now, std::vector<Line>& out) {
    Expire(now, out);
    auto it = sources_.find(source);
    if (it == sources_.end()) {
        const std::string& key = sources_.size() < kFoldSources ? source : kOverflow;
        bool added = false;
        std::tie(it, added) = sources_.try_emplace(key);
        if (added) {
            it->second.start = now;
        }
    }
    Source& s = it->second;
    if (s.written < kFoldFirst) {
        ++s.written;
        FlushCounts(out);
        out.push_back({level, text});
        return;
    }
    ++s.folded;
    // LogLevel counts down with severity: Error is 3, Debug 7.
    if (static_cast<int>(level) < static_cast<int>(s.level)) {
        s.level = level;
    }
}

void Folder::FlushCounts(std::vector<Line>& out) {
    std::vector<std::pair<Clock::time_point, Source*>> waiting;
    for (auto& [key, s] : sources_) {
        if (s.folded > 0) {
            waiting.emplace_back(s.start, &s);
        }
    }
    std::sort(waiting.begin(), waiting.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [start, s] : waiting) {
        out.push_back({s->level, FoldedLine(s->folded)});
        s->folded = 0;
        s->level = LogLevel::Debug;
    }
}

void Folder::Expire(Clock::time_point now, std::vector<Line>& out) {
    std::vector<std::pair<Clock::time_point, std::map<std::string, Source>::iterator>> ended;
    for (auto it = sources_.begin(); it != sources_.end(); ++it) {
        if (now - it->second.start >= kFoldWindow) {
            ended.emplace_back(it->second.start, it);
        }
    }
    std::sort(ended.begin(), ended.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [start, it] : ended) {
        if (it->second.folded > 0) {
            out.push_back({it->second.level, FoldedLine(it->second.folded)});
        }
        sources_.erase(it);
    }
}

Folder::Clock::time_point Folder::NextDue() const {
    Clock::time_point due = Clock::time_point::max();
    for (const auto& [key, s] : sources_) {
        if (s.folded > 0) {
            due = std::min(due, s.start + kFoldWindow);
        }
    }
    return due;
}

}  // namespace westnet::gateway::logfold
