// A real mosquitto for the MQTT tests, and a subscriber to watch it.
//
// TestBroker writes its own configuration (127.0.0.1 only, a free port,
// anonymous clients, no persistence) into a fresh folder, starts the broker
// and waits until it accepts connections; the destructor stops it. Kill and
// Start again keep the port, as a broker restarted by its service manager
// would. TestSubscriber records every message it receives; its Wait calls
// poll a condition with a generous deadline.
#pragma once

#include <dirent.h>
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

namespace westnet::gateway::testing {

inline constexpr auto kPatience = std::chrono::seconds(20);  // only a failing test waits this long

using test_support::Accepts;
using test_support::FreeLoopbackPort;

// Polls `condition` until it holds or the deadline passes.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds patience = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::string ReadSmallFile(const std::string& path) {
    char buffer[4096];
    std::size_t n = 0;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        n = std::fread(buffer, 1, sizeof buffer, f);
        std::fclose(f);
    }
    return std::string(buffer, n);
}

// CPU seconds (user + system) of a thread or a process, from its stat file.
inline double CpuSeconds(const std::string& statPath) {
    const std::string text = ReadSmallFile(statPath);
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds of this process's threads named mqtt-*: the front end's.
inline double FrontEndCpuSeconds() {
    double total = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return 0;
    }
    while (dirent* entry = readdir(dir)) {
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        if (ReadSmallFile(task + "/comm").rfind("mqtt-", 0) == 0) {
            total += CpuSeconds(task + "/stat");
        }
    }
    closedir(dir);
    return total;
}

// A scratch folder, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/westnet-mqtt-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ + "/" + name) << text;
        return path_ + "/" + name;
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

class TestBroker {
public:
    // `listener` goes into the configuration after the listener line (TLS
    // files, a password file).
    explicit TestBroker(std::string listener = "allow_anonymous true\n")
        : listener_(std::move(listener)) {
        for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
            port_ = FreeLoopbackPort();
            Start();
        }
    }
    ~TestBroker() { Stop(SIGTERM); }
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    bool Running() const { return pid_ > 0; }
    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    const ScratchDir& Dir() const { return dir_; }

    // Starts the broker on the same port; true once it accepts connections.
    bool Start() {
        const std::string config =
            dir_.Write("mosquitto.conf",
                       "per_listener_settings false\npersistence false\n"
                       "log_dest stderr\nlog_type error\nlog_type warning\n" +
                           // as root it would drop to user mosquitto,
                           // who cannot read the test's files
                           std::string(geteuid() == 0 ? "user root\n" : "") + "listener " +
                           std::to_string(port_) + " 127.0.0.1\n" + listener_);
        std::vector<std::string> args = {"mosquitto", "-c", config};
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawnp(&pid, "mosquitto", nullptr, nullptr, argv.data(), environ) != 0) {
            return false;
        }
        bool up = Eventually([&] {
            int status = 0;
            return waitpid(pid, &status, WNOHANG) == pid || Accepts(port_);
        });
        int status = 0;
        if (!up || waitpid(pid, &status, WNOHANG) == pid) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        pid_ = pid;
        return true;
    }
    // SIGKILL: gone without a word to its clients.
    void Kill() { Stop(SIGKILL); }

private:
    void Stop(int signal) {
        if (pid_ > 0) {
            kill(pid_, signal);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    ScratchDir dir_;
    std::string listener_;
    int port_ = 0;
    pid_t pid_ = -1;
};

class TestSubscriber {
public:
    struct Received {
        std::string topic;
        std::string payload;
        bool retain = false;
    };

    // Subscribes to `filter` and waits for the subscription to be granted,
    // so that nothing published afterwards is missed.
    TestSubscriber(int port, const std::string& filter, const std::string& caFile = "",
                   const std::string& user = "", const std::string& password = "") {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        if (!caFile.empty()) {
            mosquitto_tls_set(mosq_, caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        }
        if (!user.empty()) {
            mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str());
        }
        mosquitto_message_callback_set(
            mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
                auto* me = static_cast<TestSubscriber*>(self);
                std::lock_guard<std::mutex> lock(me->mutex_);
                me->received_.push_back({m->topic,
                                         std::string(static_cast<const char*>(m->payload),
                                                     static_cast<std::size_t>(m->payloadlen)),
                                         m->retain});
            });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            auto* me = static_cast<TestSubscriber*>(self);
            std::lock_guard<std::mutex> lock(me->mutex_);
            me->subscribed_ = true;
        });
        filter_ = filter;
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(m, nullptr, static_cast<TestSubscriber*>(self)->filter_.c_str(),
                                    1);
            }
        });
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        mosquitto_loop_start(mosq_);
        ready_ = Eventually([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return subscribed_;
        });
    }
    ~TestSubscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    TestSubscriber(const TestSubscriber&) = delete;
    TestSubscriber& operator=(const TestSubscriber&) = delete;

    bool Ready() const { return ready_; }

    std::vector<Received> Messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    std::vector<Received> On(const std::string& topic) const {
        std::vector<Received> found;
        for (const Received& r : Messages()) {
            if (r.topic == topic) {
                found.push_back(r);
            }
        }
        return found;
    }
    // The latest payload on `topic` once `count` messages have come on it;
    // "" when they do not come.
    std::string Await(const std::string& topic, std::size_t count = 1) const {
        std::string latest;
        Eventually([&] {
            std::vector<Received> on = On(topic);
            if (on.size() < count) {
                return false;
            }
            latest = on.back().payload;
            return true;
        });
        return latest;
    }
    // Waits until the latest message on `topic` is `payload`.
    bool AwaitPayload(const std::string& topic, const std::string& payload) const {
        return Eventually([&] {
            std::vector<Received> on = On(topic);
            return !on.empty() && on.back().payload == payload;
        });
    }

    void Publish(const std::string& topic, const std::string& payload, bool retain = false) {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, retain);
    }

private:
    mosquitto* mosq_ = nullptr;
    std::string filter_;
    mutable std::mutex mutex_;
    std::vector<Received> received_;
    bool subscribed_ = false;
    bool ready_ = false;
};

}  // namespace westnet::gateway::testing
