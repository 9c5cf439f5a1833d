// What every command says and how a run ends: the lines on stdout and
// stderr, the texts of the driver's results, and the verdict that becomes
// the exit status.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>

namespace westnet::poll {

constexpr char kProgram[] = "westnet-poll";

// Set by SIGINT and SIGTERM: a poll ends after the command under way.
extern volatile std::sig_atomic_t gInterrupted;

void Print(const std::string& text);
void Complain(const std::string& text);
void Warn(const std::string& text);
double MillisecondsSince(std::chrono::steady_clock::time_point start);

// A driver result as a row shows it, and as a failed exchange explains it.
std::string ResultText(std::int32_t result);
std::string ExchangeFailure(std::int32_t result);

// A station as addresses write it (two digits), and a point's address from
// its station and register as written.
std::string StationText(std::int32_t station);
std::string AddressText(std::int32_t station, std::int64_t registerAsWritten);

// The worst driver result of a run decides the exit status.
class Verdict {
public:
    void Note(std::int32_t result);
    void Refused() { refused_ = true; }
    void LineFailed() { lineFailure_ = true; }
    int ExitStatus() const;

private:
    bool refused_ = false;
    bool lineFailure_ = false;
};

}  // namespace westnet::poll
