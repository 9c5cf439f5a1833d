// The daemon's log: one line per event on stderr, with its level and, where
// there is one, the line and station it concerns. Under systemd (stderr
// connected to the journal) each line starts with its syslog priority, "<3>"
// for an error, so that the journal keeps the level.
//
//   error: line north: station 03: demoted after 3 failed commands
#pragma once

#include <string>

namespace westnet::gateway {

enum class LogLevel { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// "error", "warning", "info" or "debug"; false for any other text.
bool ParseLogLevel(const std::string& text, LogLevel& level);
void SetLogLevel(LogLevel level);
bool LogEnabled(LogLevel level);

// Thread-safe. Control characters in a message are written escaped (\n,
// \x1B), so that one call is one line. Repeated lines of one source are
// folded (log/fold.h): the first few of every 10 s are written, then a count
// of the rest. Without a source, the message with its numbers and
// addresses masked is the source.
void Log(LogLevel level, const std::string& message);
// `source` names a kind of event whose lines fold together however their
// texts differ, e.g. "mqtt-bad-payload" for bad payloads on any topic.
void Log(LogLevel level, const std::string& source, const std::string& message);
void LogLine(LogLevel level, const std::string& line, const std::string& message);
void LogStation(LogLevel level, const std::string& line, int station, const std::string& message);

}  // namespace westnet::gateway
