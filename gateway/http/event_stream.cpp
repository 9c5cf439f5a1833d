#include "http/event_stream.h"

#include <microhttpd.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "http/render.h"
#include "iso_time.h"

namespace westnet::gateway::http {
namespace {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr const char* kStreamsGauge = "westnet_http_event_streams";
constexpr const char* kOverflowsCounter = "westnet_http_event_overflows_total";
// Points rendered per fill: the snapshot of a large plant goes out in
// pieces, between which the library serves the other connections.
constexpr std::size_t kPointsPerFill = 256;

std::string Event(const char* name, const std::string& data) {
    return std::string("event: ") + name + "\ndata: " + data + "\n\n";
}

std::string Dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

struct EventStreams::Stream {
    enum class Phase { Hello, Snapshot, Ready, Live };

    explicit Stream(std::size_t waiting) : queue(waiting) {}

    EventStreams* hub = nullptr;
    MHD_Connection* connection = nullptr;
    std::shared_ptr<const Plant> plant;  // the plant it started under

    // Shared with the line workers and the watch.
    Mutex mutex;
    EventQueue queue GUARDED_BY(mutex);
    bool suspended GUARDED_BY(mutex) = false;
    bool ending GUARDED_BY(mutex) = false;  // the front end stops
    bool reload GUARDED_BY(mutex) = false;  // the plant changes
    bool keepAlive GUARDED_BY(mutex) = false;
    Clock::time_point sent GUARDED_BY(mutex);  // the latest bytes handed over

    // The library's thread alone.
    Phase phase = Phase::Hello;
    bool snapshot = true;
    std::size_t line = 0;
    std::size_t point = 0;
    std::string buffer;
    std::size_t taken = 0;
    bool finished = false;  // the buffer holds the last bytes
};

EventStreams::EventStreams(Service& service, SharedMutex& gate, EventLimits limits)
    : service_(service), gate_(gate), limits_(limits) {}

EventStreams::~EventStreams() {
    Stop(std::chrono::milliseconds(0));
}

void EventStreams::Tables(std::vector<std::vector<std::uint64_t>>& changes,
                          std::vector<char>& up) const {
    const Plant& plant = service_.PlantConfig();
    changes.assign(plant.lines.size(), {});
    up.assign(plant.lines.size(), 0);
    for (std::size_t l = 0; l < plant.lines.size(); ++l) {
        changes[l].resize(plant.lines[l].points.size());
        for (std::size_t p = 0; p < changes[l].size(); ++p) {
            changes[l][p] = service_.Sample(l, p).changes;
        }
        up[l] = service_.LineUp(l) ? 1 : 0;
    }
}

void EventStreams::Start() {
    Adopt();
    {
        MutexLock lock(mutex_);
        stopping_ = false;
        listening_ = true;
        Publish();
    }
    service_.AddListener(this);
}

void EventStreams::Publish() {
    service_.FrontEndStats().Set(kStreamsGauge, "Clients of /api/events connected now", {},
                                 static_cast<double>(streams_.size()));
}

std::size_t EventStreams::Count() const {
    MutexLock lock(mutex_);
    return streams_.size();
}

MHD_Response* EventStreams::Open(MHD_Connection* connection, bool snapshot) {
    auto s = std::make_unique<Stream>(limits_.waiting);
    s->hub = this;
    s->connection = connection;
    s->snapshot = snapshot;
    s->plant = service_.Snapshot();
    {
        MutexLock lock(s->mutex);
        s->sent = Clock::now();
    }
    MutexLock lock(mutex_);
    if (stopping_ || !listening_ || streams_.size() >= limits_.streams) {
        return nullptr;
    }
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, std::size_t{16} * 1024,
                                          &EventStreams::Chunk, s.get(), &EventStreams::Done);
    if (response == nullptr) {
        return nullptr;
    }
    streams_.push_back(s.release());
    Publish();
    return response;
}

void EventStreams::Done(void* cls) {
    auto* s = static_cast<Stream*>(cls);
    EventStreams* hub = s->hub;
    {
        MutexLock lock(hub->mutex_);
        hub->streams_.erase(std::remove(hub->streams_.begin(), hub->streams_.end(), s),
                            hub->streams_.end());
        hub->Publish();
    }
    hub->idle_.notify_all();
    delete s;
}

ssize_t EventStreams::Chunk(void* cls, std::uint64_t, char* out, std::size_t most) {
    auto* s = static_cast<Stream*>(cls);
    while (s->taken == s->buffer.size()) {
        if (s->finished) {
            return MHD_CONTENT_READER_END_OF_STREAM;
        }
        s->buffer.clear();
        s->taken = 0;
        if (!s->hub->Fill(*s)) {
            return 0;  // suspended: resumed when there is something to send
        }
    }
    const std::size_t n = std::min(most, s->buffer.size() - s->taken);
    s->buffer.copy(out, n, s->taken);
    s->taken += n;
    return static_cast<ssize_t>(n);
}

bool EventStreams::Fill(Stream& s) {
    std::vector<StreamEvent> batch;
    {
        MutexLock lock(s.mutex);
        s.sent = Clock::now();
        if (s.ending) {
            s.finished = true;
            return true;
        }
        if (s.reload) {
            s.buffer = Event("reload", "{}");
            s.finished = true;
            return true;
        }
        if (s.queue.Overflowed()) {
            s.buffer = Event("overflow", Dump({{"waiting", limits_.waiting}}));
            s.finished = true;
            service_.FrontEndStats().Add(kOverflowsCounter,
                                         "Clients of /api/events that could not keep up", {}, 1);
            return true;
        }
        if (s.phase == Stream::Phase::Live) {
            StreamEvent e;
            while (batch.size() < kPointsPerFill && s.queue.Pop(e)) {
                batch.push_back(e);
            }
            if (batch.empty()) {
                if (s.keepAlive) {
                    s.keepAlive = false;
                    s.buffer = ": keep-alive\n\n";
                    return true;
                }
                s.suspended = true;
                MHD_suspend_connection(s.connection);
                return false;
            }
        }
    }
    ReaderLock gate(gate_);
    if (service_.Snapshot().get() != s.plant.get()) {
        s.buffer = Event("reload", "{}");  // reloaded between two fills
        s.finished = true;
        return true;
    }
    const Plant& plant = *s.plant;
    const WallTime now = std::chrono::system_clock::now();
    switch (s.phase) {
        case Stream::Phase::Hello: {
            std::size_t total = 0;
            for (const LineConfig& line : plant.lines) {
                total += line.points.size();
            }
            s.buffer = Event("hello", Dump({{"points", total}, {"time", host::IsoTimeUtc(now)}}));
            s.phase = s.snapshot ? Stream::Phase::Snapshot : Stream::Phase::Ready;
            break;
        }
        case Stream::Phase::Snapshot: {
            std::size_t rendered = 0;
            while (s.line < plant.lines.size() && rendered < kPointsPerFill) {
                if (s.point >= plant.lines[s.line].points.size()) {
                    ++s.line;
                    s.point = 0;
                    continue;
                }
                s.buffer += Event("point", Dump(PointJson(service_, s.line, s.point++, now)));
                ++rendered;
            }
            if (s.line >= plant.lines.size()) {
                s.phase = Stream::Phase::Ready;
            }
            break;
        }
        case Stream::Phase::Ready:
            s.buffer = Event("ready", "{}");
            s.phase = Stream::Phase::Live;
            break;
        case Stream::Phase::Live:
            for (const StreamEvent& e : batch) {
                if (e.line >= plant.lines.size()) {
                    continue;
                }
                switch (e.kind) {
                    case StreamEvent::Kind::Point:
                        if (e.item < plant.lines[e.line].points.size()) {
                            s.buffer +=
                                Event("point", Dump(PointJson(service_, e.line, e.item, now)));
                        }
                        break;
                    case StreamEvent::Kind::Station:
                        s.buffer += Event(
                            "station",
                            Dump(
                                {{"line", plant.lines[e.line].name},
                                 {"station", e.item},
                                 {"state", StationStateName(static_cast<StationState>(e.state))}}));
                        break;
                    case StreamEvent::Kind::Line:
                        s.buffer +=
                            Event("line",
                                  Dump({{"line", plant.lines[e.line].name}, {"up", e.state != 0}}));
                        break;
                }
            }
            break;
    }
    return true;
}

void EventStreams::Push(const StreamEvent& event) {
    for (Stream* s : streams_) {
        MutexLock lock(s->mutex);
        s->queue.Push(event);  // an overflow is told on the stream's next fill
        if (s->suspended) {
            s->suspended = false;
            MHD_resume_connection(s->connection);
        }
    }
}

void EventStreams::PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) {
    MutexLock lock(mutex_);
    if (paused_ || line >= changes_.size() || point >= changes_[line].size() ||
        changes_[line][point] == sample.changes) {
        return;
    }
    changes_[line][point] = sample.changes;
    Push({StreamEvent::Kind::Point, line, point, 0});
}

void EventStreams::StationChanged(std::size_t line, int station, StationState state) {
    const bool up = service_.LineUp(line);
    MutexLock lock(mutex_);
    if (paused_ || line >= up_.size() || station < 0) {
        return;
    }
    if ((up_[line] != 0) != up) {
        up_[line] = up ? 1 : 0;
        Push({StreamEvent::Kind::Line, line, 0, up ? 1 : 0});
    }
    Push({StreamEvent::Kind::Station, line, static_cast<std::size_t>(station),
          static_cast<int>(state)});
}

void EventStreams::Tick() {
    const Clock::time_point now = Clock::now();
    MutexLock lock(mutex_);
    for (Stream* s : streams_) {
        MutexLock streamLock(s->mutex);
        if (s->suspended && now - s->sent >= limits_.keepAlive) {
            s->keepAlive = true;
            s->suspended = false;
            MHD_resume_connection(s->connection);
        }
    }
}

void EventStreams::Reload() {
    MutexLock lock(mutex_);
    paused_ = true;
    for (Stream* s : streams_) {
        MutexLock streamLock(s->mutex);
        s->reload = true;
        if (s->suspended) {
            s->suspended = false;
            MHD_resume_connection(s->connection);
        }
    }
}

void EventStreams::Adopt() {
    std::vector<std::vector<std::uint64_t>> changes;
    std::vector<char> up;
    Tables(changes, up);
    MutexLock lock(mutex_);
    changes_ = std::move(changes);
    up_ = std::move(up);
    paused_ = false;
}

void EventStreams::Stop(std::chrono::milliseconds wait) {
    bool listening = false;
    {
        MutexLock lock(mutex_);
        stopping_ = true;
        listening = listening_;
        listening_ = false;
        for (Stream* s : streams_) {
            MutexLock streamLock(s->mutex);
            s->ending = true;
            if (s->suspended) {
                s->suspended = false;
                MHD_resume_connection(s->connection);
            }
        }
        const Clock::time_point deadline = Clock::now() + wait;
        while (!streams_.empty() && lock.WaitUntil(idle_, deadline)) {
        }
    }
    if (listening) {
        service_.RemoveListener(this);
    }
}

}  // namespace westnet::gateway::http
