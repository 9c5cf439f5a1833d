#include "audit/audit.h"

#include <sys/stat.h>
#include <systemd/sd-journal.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

#include "iso_time.h"
#include "log/log.h"

namespace westnet::gateway {

namespace {

nlohmann::json Words(const std::vector<std::uint16_t>& words) {
    if (words.size() == 1) {
        return words[0];
    }
    return words;
}

std::string WordsText(const std::vector<std::uint16_t>& words) {
    return Words(words).dump();
}

}  // namespace

std::string AuditJson(const AuditRecord& r) {
    nlohmann::ordered_json j;
    j["time"] = host::IsoTimeUtc(r.time);
    j["front_end"] = r.by.frontEnd;
    j["who"] = r.by.who;
    j["client"] = r.by.client;
    j["line"] = r.line;
    j["station"] = r.station;
    j["register"] = r.reg;
    j["bit"] = r.bit >= 0 ? nlohmann::ordered_json(r.bit) : nlohmann::ordered_json(nullptr);
    j["point"] =
        r.point.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(r.point);
    j["before"] =
        r.before ? nlohmann::ordered_json(Words(*r.before)) : nlohmann::ordered_json(nullptr);
    j["value"] = Words(r.value);
    j["result"] = r.result;
    // Names and addresses come from clients: never let one break the line.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

AuditLog::AuditLog(std::string path, std::uint64_t maxBytes)
    : path_(std::move(path)), maxBytes_(maxBytes) {}

AuditLog::~AuditLog() {
    MutexLock lock(mutex_);
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool AuditLog::Open(std::string& error) {
    MutexLock lock(mutex_);
    if (path_.empty()) {
        return true;
    }
    file_ = std::fopen(path_.c_str(), "a");
    if (file_ == nullptr) {
        error = "audit_file = \"" + path_ + "\": cannot open it (" + std::strerror(errno) +
                "); create its folder writable by the gateway's user, or set audit_file = \"\" "
                "to keep the audit in the journal alone";
        return false;
    }
    chmod(path_.c_str(), 0640);
    struct stat info {};
    size_ = fstat(fileno(file_), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    return true;
}

void AuditLog::Rotate() {
    std::fclose(file_);
    file_ = nullptr;
    const std::string old = path_ + ".1";
    std::rename(path_.c_str(), old.c_str());
    file_ = std::fopen(path_.c_str(), "w");
    size_ = 0;
    if (file_ != nullptr) {
        chmod(path_.c_str(), 0640);
    }
}

void AuditLog::Record(const AuditRecord& r) {
    const std::string json = AuditJson(r);
    const std::string target = r.point.empty()
                                   ? "station " + std::to_string(r.station) + " register " +
                                         std::to_string(r.reg) +
                                         (r.bit >= 0 ? " bit " + std::to_string(r.bit) : "")
                                   : "point " + r.point;
    const std::string who = r.by.who.empty() ? "(anonymous)" : r.by.who;
    const std::string message = "audit: " + r.by.frontEnd + " write by " + who + " from " +
                                r.by.client + " to line " + r.line + " " + target + " = " +
                                WordsText(r.value) + ": " + r.result;
    sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=5", "WESTNET_AUDIT=1",
                    "WESTNET_FRONT_END=%s", r.by.frontEnd.c_str(), "WESTNET_USER=%s",
                    r.by.who.c_str(), "WESTNET_CLIENT=%s", r.by.client.c_str(), "WESTNET_LINE=%s",
                    r.line.c_str(), "WESTNET_STATION=%d", r.station, "WESTNET_REGISTER=%d", r.reg,
                    "WESTNET_BIT=%d", r.bit, "WESTNET_POINT=%s", r.point.c_str(),
                    "WESTNET_BEFORE=%s", r.before ? WordsText(*r.before).c_str() : "null",
                    "WESTNET_VALUE=%s", WordsText(r.value).c_str(), "WESTNET_RESULT=%s",
                    r.result.c_str(), "WESTNET_RECORD=%s", json.c_str(), nullptr);

    bool report = false;
    std::string reason;
    {
        MutexLock lock(mutex_);
        recent_.push_back(json);
        if (recent_.size() > kKept) {
            recent_.pop_front();
        }
        if (file_ != nullptr) {
            if (size_ + json.size() + 1 > maxBytes_ && size_ > 0) {
                Rotate();
            }
            if (file_ != nullptr && std::fprintf(file_, "%s\n", json.c_str()) > 0 &&
                std::fflush(file_) == 0) {
                size_ += json.size() + 1;
                failed_ = false;
            } else if (!failed_) {
                failed_ = true;
                report = true;
                reason = std::strerror(errno);
            }
        }
    }
    if (report) {
        Log(LogLevel::Error, "audit: cannot write " + path_ + " (" + reason +
                                 "); the records still go to the journal");
    }
}

std::vector<std::string> AuditLog::Recent(std::size_t most) const {
    MutexLock lock(mutex_);
    const std::size_t n = std::min(most, recent_.size());
    return {recent_.end() - static_cast<std::ptrdiff_t>(n), recent_.end()};
}

}  // namespace westnet::gateway
