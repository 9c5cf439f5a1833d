// The history's recorder: a listener of the service that turns point
// updates into rows, and one writer thread that puts them into the store.
//
// A line worker's call only decides and queues (a short lock, no I/O): the
// queue is bounded, and when it is full rows are dropped and counted rather
// than the scan kept waiting. A store that fails (a corrupt file, a full
// disk) stops the history with one log line and westnet_history_up 0; the
// scan goes on.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "history/store.h"
#include "scan/service.h"

namespace westnet::gateway::history {

// What was last recorded of one series, and whether a new reading is worth
// a row: its value moved by more than the deadband (any move for 0), it
// gained or lost its value, its quality changed, or keepaliveS have passed
// since the last row (0: never for that alone).
struct LastRecorded {
    bool any = false;
    std::optional<double> value;
    HistoryQuality quality = HistoryQuality::Good;
    std::int64_t timeMs = 0;

    bool Worth(const std::optional<double>& next, HistoryQuality nextQuality, std::int64_t nowMs,
               double deadband, int keepaliveS) const;
};

// The series names of a point: "LINE/POINT", or "LINE/POINT[i]" for each
// value of a block.
std::string SeriesName(const std::string& line, const std::string& point, int index, bool block);

struct RecorderSettings {
    std::size_t queueMax = 262144;                 // rows waiting for the writer
    std::chrono::milliseconds flushEvery{1000};    // the longest a row waits
    std::chrono::milliseconds retainEvery{60000};  // how often old rows are cut
};

// A front end of its own (main starts, reloads and stops it as the others),
// null when [gateway] history is "". While it runs its reader is published
// on the service (Service::History).
std::unique_ptr<FrontEnd> MakeHistoryFrontEnd(const GatewayConfig& config, Service& service);
// The same over a given store (tests, the bench), with its own settings.
std::unique_ptr<FrontEnd> MakeRecorder(const GatewayConfig& config, Service& service,
                                       std::unique_ptr<Store> store, const std::string& storeName,
                                       RecorderSettings settings);

}  // namespace westnet::gateway::history
