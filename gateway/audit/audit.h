// The record of every write attempt, whoever made it and however it ended:
// one JSON object per line in a bounded local file (audit_file, rotated at
// audit_max_mb, one older file kept as FILE.1), the same fields in the
// journal (WESTNET_AUDIT=1, WESTNET_USER=, ...), and the latest records in
// memory for /api/audit.
//
//   {"time":"2026-12-10T11:00:00.123Z","front_end":"http","who":"ops",
//    "client":"127.0.0.1:40122","line":"north","station":1,"register":40002,
//    "bit":null,"point":"kiln/setpoint","before":7321,"value":7400,"result":"ok"}
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "scan/service.h"
#include "sync/mutex.h"

namespace westnet::gateway {

struct AuditRecord {
    WallTime time{};
    Requester by;
    std::string line;
    int station = 0;
    int reg = 0;        // one-based, as the plant's addresses number registers
    int bit = -1;       // 1 to 16 for a bit write (bit 1 the lowest), -1 for words
    std::string point;  // "" for a write by register (Modbus)
    // The cached value before the write, when the cache held it good; the
    // value asked. One word is written as a number, several as a list.
    std::optional<std::vector<std::uint16_t>> before;
    std::vector<std::uint16_t> value;
    std::string result;  // OutcomeName, or "busy" when the line's queue was full
};

std::string AuditJson(const AuditRecord& record);

class AuditLog {
public:
    static constexpr std::size_t kKept = 1000;  // in memory, for /api/audit

    // path "": the journal and memory alone.
    AuditLog(std::string path, std::uint64_t maxBytes);
    ~AuditLog();
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    // Opens (appends to) the file; false, with what to do, when it cannot.
    bool Open(std::string& error);
    // Thread safe; never blocks on the line. A file that cannot be written
    // is reported once in the log; the journal and memory still get the
    // record.
    void Record(const AuditRecord& record);
    // The latest records, oldest first, as JSON lines.
    std::vector<std::string> Recent(std::size_t most) const;

private:
    void Rotate() REQUIRES(mutex_);

    const std::string path_;
    const std::uint64_t maxBytes_;
    mutable Mutex mutex_;
    std::FILE* file_ GUARDED_BY(mutex_) = nullptr;
    std::uint64_t size_ GUARDED_BY(mutex_) = 0;
    bool failed_ GUARDED_BY(mutex_) = false;
    std::deque<std::string> recent_ GUARDED_BY(mutex_);
};

}  // namespace westnet::gateway
