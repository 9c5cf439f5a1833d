#include "log/log.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "sync/mutex.h"

namespace westnet::gateway {
namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::Info)};
Mutex g_stderr;  // one line at a time on stderr

const char* LevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return "error";
        case LogLevel::Warning:
            return "warning";
        case LogLevel::Info:
            return "info";
        case LogLevel::Debug:
            break;
    }
    return "debug";
}

// systemd sets JOURNAL_STREAM to the device and inode of the journal's
// stream ("DEV:INO"); it is that stream only while stderr is still that
// file, not in a child whose stderr went elsewhere.
bool ToJournal() {
    static const bool journal = [] {
        const char* stream = std::getenv("JOURNAL_STREAM");
        unsigned long long dev = 0;
        unsigned long long ino = 0;
        struct stat info {};
        return stream != nullptr && std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 &&
               fstat(2, &info) == 0 && static_cast<unsigned long long>(info.st_dev) == dev &&
               static_cast<unsigned long long>(info.st_ino) == ino;
    }();
    return journal;
}

void Write(LogLevel level, const std::string& text) {
    if (!LogEnabled(level)) {
        return;
    }
    MutexLock lock(g_stderr);
    if (ToJournal()) {
        std::fprintf(stderr, "<%d>%s: %s\n", static_cast<int>(level), LevelName(level),
                     text.c_str());
    } else {
        std::fprintf(stderr, "%s: %s\n", LevelName(level), text.c_str());
    }
    std::fflush(stderr);
}

}  // namespace

bool ParseLogLevel(const std::string& text, LogLevel& level) {
    for (LogLevel l : {LogLevel::Error, LogLevel::Warning, LogLevel::Info, LogLevel::Debug}) {
        if (text == LevelName(l)) {
            level = l;
            return true;
        }
    }
    return false;
}

void SetLogLevel(LogLevel level) {
    g_level.store(static_cast<int>(level));
}

bool LogEnabled(LogLevel level) {
    return static_cast<int>(level) <= g_level.load();
}

void Log(LogLevel level, const std::string& message) {
    Write(level, message);
}

void LogLine(LogLevel level, const std::string& line, const std::string& message) {
    Write(level, "line " + line + ": " + message);
}

void LogStation(LogLevel level, const std::string& line, int station, const std::string& message) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%02d", station);
    Write(level, "line " + line + ": station " + prefix + ": " + message);
}

}  // namespace westnet::gateway
