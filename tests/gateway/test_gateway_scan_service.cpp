// The scan service with its worker threads, over channels held in memory:
// what a reload keeps, moves, restarts and drops, and how the watchdog's view
// of a worker tells one stuck in the driver. Waits poll for a condition with
// a generous deadline; nothing depends on how fast the workers run.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "audit/audit.h"
#include "plant/reader.h"
#include "scan/scan_service.h"

namespace westnet::gateway {
namespace {

using namespace std::chrono_literals;

// What every channel of a test did, by device.
struct Devices {
    std::mutex mutex;
    std::map<std::string, int> opens;
    std::map<std::string, int> closes;
    std::map<std::string, std::map<int, std::uint16_t>> written;
    // While set, a word read blocks until `blocked` is cleared.
    bool block = false;
    bool blocked = false;
    std::condition_variable changed;

    int Opens(const std::string& device) {
        std::lock_guard<std::mutex> lock(mutex);
        return opens[device];
    }
};

// Every register reads as station * 1000 + register.
class MemoryChannel : public Channel {
public:
    MemoryChannel(std::string device, Devices& devices)
        : device_(std::move(device)), devices_(devices) {}

    bool Open(std::string&) override {
        std::lock_guard<std::mutex> lock(devices_.mutex);
        ++devices_.opens[device_];
        return true;
    }
    void Close() override {
        std::lock_guard<std::mutex> lock(devices_.mutex);
        ++devices_.closes[device_];
    }
    std::string Device() const override { return device_; }
    int SelectedStation() const override { return kNoStation; }
    std::int32_t ReadWord(int station, int reg, std::uint16_t& value) override {
        std::unique_lock<std::mutex> lock(devices_.mutex);
        if (devices_.block) {
            devices_.blocked = true;
            devices_.changed.notify_all();
            devices_.changed.wait(lock, [&] { return !devices_.blocked; });
        }
        value = static_cast<std::uint16_t>(station * 1000 + reg);
        return kResultOk;
    }
    std::int32_t ReadBlock(int station, int reg, int count,
                           std::vector<std::uint16_t>& words) override {
        words.clear();
        for (int i = 0; i < count; ++i) {
            words.push_back(static_cast<std::uint16_t>(station * 1000 + reg + i));
        }
        return kResultOk;
    }
    std::int32_t WriteWord(int, int reg, std::uint16_t value) override {
        std::lock_guard<std::mutex> lock(devices_.mutex);
        devices_.written[device_][reg] = value;
        return kResultOk;
    }
    std::int32_t WriteBit(int, int, int, bool) override { return kResultOk; }
    std::int32_t WriteBlock(int, int, const std::vector<std::uint16_t>&) override {
        return kResultOk;
    }

private:
    const std::string device_;
    Devices& devices_;
};

std::string LineText(const std::string& name, int station, int timeoutMs = 100) {
    return "[[line]]\nname = \"" + name + "\"\ndevice = \"/dev/" + name +
           "\"\ntimeout_ms = " + std::to_string(timeoutMs) + "\n[[line.point]]\naddress = \"0" +
           std::to_string(station) + "40001\"\nname = \"p\"\nscan_ms = 20\nwritable = true\n";
}

Plant ReadPlant(const std::string& lines) {
    host::Session parser(&ZanMain);
    Plant plant;
    std::vector<std::string> errors;
    EXPECT_TRUE(ReadPlantText("[gateway]\nhttp = \"\"\nmodbus = \"\"\n" + lines, "plant.toml",
                              parser, plant, errors))
        << (errors.empty() ? "" : errors.front());
    return plant;
}

bool Eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class ScanServiceTest : public ::testing::Test {
protected:
    ScanService::ChannelFactory Factory() {
        return [this](const LineConfig& line) {
            return std::make_unique<MemoryChannel>(line.device, devices_);
        };
    }
    Devices devices_;
    SystemClock clock_;
};

TEST_F(ScanServiceTest, AReloadKeepsTheLinesThatDidNotChangeAndMovesThem) {
    ScanService service(
        ReadPlant(LineText("north", 1) + LineText("south", 2) + LineText("east", 3)), Factory(),
        clock_);
    service.Start();
    ASSERT_TRUE(Eventually(
        [&] { return service.Sample(0, 0).reads > 0 && service.Sample(2, 0).reads > 0; }));
    const std::uint64_t eastReads = service.Sample(2, 0).reads;

    const ReloadReport report = service.Reload(
        ReadPlant(LineText("east", 3) + LineText("north", 1, 200) + LineText("west", 4)));
    EXPECT_EQ(report.kept, std::vector<std::string>{"east"});
    EXPECT_EQ(report.restarted, std::vector<std::string>{"north"});
    EXPECT_EQ(report.added, std::vector<std::string>{"west"});
    EXPECT_EQ(report.removed, std::vector<std::string>{"south"});

    const Plant& plant = service.PlantConfig();
    ASSERT_EQ(plant.lines.size(), 3u);
    EXPECT_EQ(plant.lines[0].name, "east");
    EXPECT_EQ(plant.lines[1].timeoutMs, 200);
    // The kept line, now first: its channel and its cache, read on from
    // where they were; the dropped line closed.
    EXPECT_EQ(devices_.Opens("/dev/east"), 1);
    EXPECT_GE(service.Sample(0, 0).reads, eastReads);
    EXPECT_EQ(service.Sample(0, 0).values, std::vector<std::uint16_t>{43000});
    EXPECT_TRUE(Eventually([&] { return devices_.Opens("/dev/north") == 2; }));
    {
        std::lock_guard<std::mutex> lock(devices_.mutex);
        EXPECT_EQ(devices_.closes["/dev/south"], 1);
    }
    // Requests by index reach the line now at that index.
    std::promise<LineOpResult> done;
    ASSERT_TRUE(service.WritePoint(0, 0, {77}, Requester{},
                                   [&](const LineOpResult& r) { done.set_value(r); }));
    ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
    {
        std::lock_guard<std::mutex> lock(devices_.mutex);
        EXPECT_EQ(devices_.written["/dev/east"][40000], 77);
        EXPECT_TRUE(devices_.written["/dev/north"].empty());
    }
    // Listeners hear of the kept line under its new index.
    struct Heard : Listener {
        std::mutex mutex;
        std::map<std::size_t, std::vector<std::uint16_t>> values;
        void PointUpdated(std::size_t line, std::size_t, const PointSample& sample) override {
            std::lock_guard<std::mutex> lock(mutex);
            values[line] = sample.values;
        }
        void StationChanged(std::size_t, int, StationState) override {}
    } heard;
    service.AddListener(&heard);
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(heard.mutex);
        return heard.values[0] == std::vector<std::uint16_t>{43000} &&
               heard.values[2] == std::vector<std::uint16_t>{44000};
    }));
    service.RemoveListener(&heard);
    service.Stop();
}

TEST_F(ScanServiceTest, AWorkerIsStuckOnlyPastItsCommandsWorstCase) {
    const Plant plant = ReadPlant(LineText("north", 1));
    // 12 attempts of 100 ms, a 50 ms purge and 141 characters of 1.25 ms
    // (a 64-word block and its request at 9600 8O2), and a second.
    const auto limit =
        std::chrono::duration_cast<std::chrono::milliseconds>(CommandLimit(plant.lines[0]));
    EXPECT_EQ(limit.count(), 4915);

    {
        std::lock_guard<std::mutex> lock(devices_.mutex);
        devices_.block = true;
    }
    ScanService service(plant, Factory(), clock_);
    service.Start();
    {
        std::unique_lock<std::mutex> lock(devices_.mutex);
        ASSERT_TRUE(devices_.changed.wait_for(lock, 30s, [&] { return devices_.blocked; }));
    }
    const SteadyTime now = clock_.Now();
    EXPECT_FALSE(service.Health(now + limit - 200ms).at(0).stuck);
    const WorkerHealth stuck = service.Health(now + limit + 200ms).at(0);
    EXPECT_TRUE(stuck.stuck);
    EXPECT_NE(stuck.why.find("in a word read of station 01"), std::string::npos) << stuck.why;
    {
        std::lock_guard<std::mutex> lock(devices_.mutex);
        devices_.block = false;
        devices_.blocked = false;
    }
    devices_.changed.notify_all();
    EXPECT_TRUE(Eventually([&] { return service.Sample(0, 0).reads > 0; }));
    EXPECT_FALSE(service.Health(clock_.Now()).at(0).stuck);
    service.Stop();
}

// Every write attempt leaves one record, whatever refused or carried it out:
// who, from where, what the cache held before and what was asked.
TEST_F(ScanServiceTest, EveryWriteAttemptIsAuditedWithWhoBeforeValueAndResult) {
    char dir[] = "/tmp/westnet-audit-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/audit.jsonl";
    AuditLog audit(path, 300);  // small: every record but the first rotates the file
    std::string error;
    ASSERT_TRUE(audit.Open(error)) << error;
    ScanService service(
        ReadPlant(LineText("north", 1) + "[[line.point]]\naddress = \"0140009\"\nname = \"ro\"\n"),
        Factory(), clock_);
    service.SetAudit(&audit);
    service.Start();
    ASSERT_TRUE(Eventually([&] {
        return service.Sample(0, 0).quality == Quality::Good &&
               service.Sample(0, 1).quality == Quality::Good;
    }));

    auto wait = [](auto submit) {
        std::promise<LineOpResult> done;
        EXPECT_TRUE(submit([&](const LineOpResult& r) { done.set_value(r); }));
        EXPECT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
    };
    wait([&](Completion c) {
        return service.WritePoint(0, 0, {77}, Requester{"http", "ops", "127.0.0.1:40122", 0},
                                  std::move(c));
    });
    wait([&](Completion c) {
        return service.WritePoint(0, 1, {5}, Requester{"mqtt", "", "mqtt://b", 0}, std::move(c));
    });
    // A written register is not served from the cache until the scan has read
    // it back; the bit's record takes its value before from the cache.
    ASSERT_TRUE(Eventually([&] {
        std::vector<std::uint16_t> words;
        return service.CachedRegisters(0, 1, 40000, 1, words);
    }));
    LineOp bit{LineOp::Kind::WriteBit, 1, 40000, 1, 3, {1}, {"modbus", "", "10.0.0.9:5000", 7}};
    wait([&](Completion c) { return service.Submit(0, bit, std::move(c)); });
    service.Stop();

    const std::vector<std::string> records = service.RecentAudit(10);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].substr(0, 9), R"({"time":")");
    EXPECT_EQ(records[0].substr(33),
              R"(","front_end":"http","who":"ops","client":"127.0.0.1:40122","line":"north",)"
              R"("station":1,"register":40001,"bit":null,"point":"p","before":41000,"value":77,)"
              R"("result":"ok"})");
    EXPECT_NE(records[1].find(R"("point":"ro","before":41008,"value":5,"result":"not-writable")"),
              std::string::npos)
        << records[1];
    // The bit's value before comes from the cached word, read back from the
    // fake station: 41000 = 0xA028 (bit 4 = 0x0008: set).
    EXPECT_NE(records[2].find(R"("register":40001,"bit":4,"point":null,"before":1,"value":1,)"),
              std::string::npos)
        << records[2];
    EXPECT_NE(records[2].find(R"("front_end":"modbus","who":"","client":"10.0.0.9:5000")"),
              std::string::npos);
    // The file holds the newest record; the one before it went to FILE.1.
    std::ifstream current(path);
    std::ifstream rotated(path + ".1");
    std::string last;
    std::string previous;
    std::getline(current, last);
    std::getline(rotated, previous);
    EXPECT_EQ(last, records[2]);
    EXPECT_EQ(previous, records[1]);
    std::remove(path.c_str());
    std::remove((path + ".1").c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace westnet::gateway
