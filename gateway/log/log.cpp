#include "log/log.h"

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "log/fold.h"
#include "sync/mutex.h"

namespace westnet::gateway {
namespace {

using logfold::Folder;

std::atomic<int> g_level{static_cast<int>(LogLevel::Info)};

// Everything that writes to stderr, one line at a time. Never destroyed: a
// thread may still log while the process exits.
struct Sink {
    Mutex mutex;
    Folder folder GUARDED_BY(mutex);
    // Writes a count when its window ends and no other line comes to do it;
    // started with the first folded line.
    bool flusher GUARDED_BY(mutex) = false;
    std::condition_variable wake;  // the next window's end moved
};

Sink& TheSink() {
    static Sink* sink = new Sink;
    return *sink;
}

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

void Print(LogLevel level, const std::string& text) {
    const std::string line = logfold::EscapeControls(text);
    if (ToJournal()) {
        std::fprintf(stderr, "<%d>%s: %s\n", static_cast<int>(level), LevelName(level),
                     line.c_str());
    } else {
        std::fprintf(stderr, "%s: %s\n", LevelName(level), line.c_str());
    }
}

void PrintAll(const std::vector<Folder::Line>& lines) {
    for (const Folder::Line& l : lines) {
        Print(l.level, l.text);
    }
    if (!lines.empty()) {
        std::fflush(stderr);
    }
}

void FlushLoop() {
    Sink& sink = TheSink();
    MutexLock lock(sink.mutex);
    for (;;) {
        const Folder::Clock::time_point due = sink.folder.NextDue();
        if (due == Folder::Clock::time_point::max()) {
            lock.Wait(sink.wake);
        } else if (!lock.WaitUntil(sink.wake, due)) {
            std::vector<Folder::Line> out;
            sink.folder.Expire(Folder::Clock::now(), out);
            PrintAll(out);
        }
    }
}

void Write(LogLevel level, const std::string& source, const std::string& text) {
    if (!LogEnabled(level)) {
        return;
    }
    Sink& sink = TheSink();
    MutexLock lock(sink.mutex);
    std::vector<Folder::Line> out;
    sink.folder.Offer(level, source, text, Folder::Clock::now(), out);
    PrintAll(out);
    if (sink.folder.NextDue() != Folder::Clock::time_point::max()) {
        if (!sink.flusher) {
            sink.flusher = true;
            std::thread(FlushLoop).detach();
        }
        sink.wake.notify_all();
    }
}

void Write(LogLevel level, const std::string& text) {
    if (LogEnabled(level)) {
        Write(level, logfold::SourceOf(text), text);
    }
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

void Log(LogLevel level, const std::string& source, const std::string& message) {
    Write(level, source, message);
}

// A line's and a station's events fold per line and per station: ten
// stations demoted at once are ten lines, whatever their numbers.
void LogLine(LogLevel level, const std::string& line, const std::string& message) {
    if (LogEnabled(level)) {
        const std::string prefix = "line " + line + ": ";
        Write(level, prefix + logfold::SourceOf(message), prefix + message);
    }
}

void LogStation(LogLevel level, const std::string& line, int station, const std::string& message) {
    if (LogEnabled(level)) {
        char number[16];
        std::snprintf(number, sizeof number, "%02d", station);
        const std::string prefix = "line " + line + ": station " + number + ": ";
        Write(level, prefix + logfold::SourceOf(message), prefix + message);
    }
}

}  // namespace westnet::gateway
