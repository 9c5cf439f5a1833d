// The MQTT front end's store-and-forward buffer on its own: order, the bound,
// a restart, a damaged file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "broker.h"
#include "mqtt/buffer.h"
#include "mqtt/payload.h"

namespace westnet::gateway::mqtt {
namespace {

Buffer::Message Numbered(int n) {
    return {"westnet/plant/p" + std::to_string(n % 3), "{\"value\": " + std::to_string(n) + "}"};
}

// The payloads Next hands out, until it has no more.
std::vector<std::string> Drain(Buffer& buffer, std::vector<std::uint64_t>* ids = nullptr) {
    std::vector<std::string> out;
    Buffer::Message m;
    std::uint64_t id = 0;
    while (buffer.Next(m, id)) {
        out.push_back(m.payload);
        if (ids != nullptr) {
            ids->push_back(id);
        }
    }
    return out;
}

std::vector<std::string> Payloads(int from, int to) {
    std::vector<std::string> out;
    for (int n = from; n < to; ++n) {
        out.push_back(Numbered(n).payload);
    }
    return out;
}

void Fill(Buffer& buffer, int from, int to, std::uint64_t* dropped = nullptr) {
    std::uint64_t lost = 0;
    std::string error;
    for (int n = from; n < to; ++n) {
        ASSERT_TRUE(buffer.Append(Numbered(n), lost, error)) << error;
    }
    if (dropped != nullptr) {
        *dropped = lost;
    }
}

TEST(MqttBuffer, InOrderAndOnlyAcknowledgedMessagesLeaveAcrossARestart) {
    testing::ScratchDir dir;
    const std::string path = dir.Path() + "/buffer";
    std::string report;
    {
        Buffer buffer;
        ASSERT_TRUE(buffer.Open(path, 1 << 20, report)) << report;
        EXPECT_EQ(report, "");
        Fill(buffer, 0, 10);
        std::vector<std::uint64_t> ids;
        EXPECT_EQ(Drain(buffer, &ids), Payloads(0, 10));
        // Out of order: only the run from the oldest leaves the file.
        buffer.Ack(ids[1]);
        buffer.Ack(ids[0]);
        buffer.Ack(ids[3]);
        EXPECT_EQ(buffer.Messages(), 8U);
        // Not taken by the library: handed out again, in order.
        buffer.Unsend(ids[8]);
        EXPECT_EQ(Drain(buffer), Payloads(8, 10));
        // A second gateway on the same file is refused.
        Buffer other;
        EXPECT_FALSE(other.Open(path, 1 << 20, report));
        EXPECT_NE(report.find("in use"), std::string::npos) << report;
    }
    Buffer again;
    ASSERT_TRUE(again.Open(path, 1 << 20, report)) << report;
    EXPECT_NE(report.find("8 messages left"), std::string::npos) << report;
    // Messages 3 and on were handed out but not all acknowledged: they come again.
    EXPECT_EQ(Drain(again), Payloads(2, 10));
    struct stat st {};
    std::vector<std::uint64_t> ids;
    Buffer last;
    again.Close();
    ASSERT_TRUE(last.Open(path, 1 << 20, report));
    Drain(last, &ids);
    for (std::uint64_t id : ids) {
        last.Ack(id);
    }
    // Everything acknowledged: the file is back to its header.
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 16);
    EXPECT_EQ(last.Messages(), 0U);
}

TEST(MqttBuffer, FullItDropsTheOldestAndKeepsTheNewestInOrder) {
    testing::ScratchDir dir;
    std::string report;
    Buffer buffer;
    // Each message takes 38 or 39 bytes: 2000 bytes hold about 51.
    ASSERT_TRUE(buffer.Open(dir.Path() + "/buffer", 2000, report)) << report;
    std::uint64_t dropped = 0;
    Fill(buffer, 0, 200, &dropped);
    EXPECT_LE(buffer.Bytes(), 2000U);
    EXPECT_EQ(dropped + buffer.Messages(), 200U);
    EXPECT_GT(dropped, 100U);
    const auto kept = static_cast<int>(buffer.Messages());
    EXPECT_EQ(Drain(buffer), Payloads(200 - kept, 200));
    // Long enough full that the dropped part is cut out of the file (past
    // 1 MB), more than once.
    Buffer big;
    ASSERT_TRUE(big.Open(dir.Path() + "/big", 1 << 20, report)) << report;
    Fill(big, 0, 80000, &dropped);
    struct stat st {};
    ASSERT_EQ(stat((dir.Path() + "/big").c_str(), &st), 0);
    EXPECT_LT(st.st_size, 2 << 20);
    const auto bigKept = static_cast<int>(big.Messages());
    EXPECT_EQ(dropped + big.Messages(), 80000U);
    EXPECT_EQ(Drain(big), Payloads(80000 - bigKept, 80000));
    // A bound lowered by the plant file takes effect at the next start.
    buffer.Close();
    Buffer smaller;
    ASSERT_TRUE(smaller.Open(dir.Path() + "/buffer", 500, report));
    EXPECT_NE(report.find("dropped to fit"), std::string::npos) << report;
    const auto left = static_cast<int>(smaller.Messages());
    EXPECT_GT(left, 0);
    EXPECT_EQ(Drain(smaller), Payloads(200 - left, 200));
}

TEST(MqttBuffer, ADamagedFileIsSetAsideKeepingWhatCameBeforeTheDamage) {
    // Length and CRC, the topic's length, a topic of 16 and a payload of 12.
    constexpr std::size_t kRecord = 8 + 2 + 16 + 12;
    struct Case {
        const char* name;
        // What happens to the file: a header of 16 bytes and 5 messages of
        // kRecord bytes.
        std::function<void(std::string& bytes)> damage;
        std::size_t kept;
    };
    const Case cases[] = {
        {"not a buffer file", [](std::string& b) { b = "GIF89a and then some"; }, 0},
        {"a flipped byte in the third message",
         [](std::string& b) { b[16 + 2 * kRecord + 20] ^= 0x01; }, 2},
        {"a length past any message", [](std::string& b) { b[16 + kRecord + 3] = 0x7F; }, 1},
        {"torn at the end", [](std::string& b) { b.resize(b.size() - 5); }, 4},
        {"a head past the end", [](std::string& b) { b[14] = 0x01; }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScratchDir dir;
        const std::string path = dir.Path() + "/buffer";
        std::string report;
        {
            Buffer buffer;
            ASSERT_TRUE(buffer.Open(path, 1 << 20, report));
            Fill(buffer, 0, 5);
        }
        std::string bytes;
        {
            std::ifstream in(path, std::ios::binary);
            std::ostringstream copy;
            copy << in.rdbuf();
            bytes = copy.str();
        }
        ASSERT_EQ(bytes.size(), 16U + 5 * kRecord);
        c.damage(bytes);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        Buffer buffer;
        ASSERT_TRUE(buffer.Open(path, 1 << 20, report)) << report;
        EXPECT_NE(report.find("damaged"), std::string::npos) << report;
        EXPECT_EQ(access((path + ".corrupt").c_str(), F_OK), 0);
        EXPECT_EQ(Drain(buffer), Payloads(0, static_cast<int>(c.kept)));
        // And it goes on working.
        Fill(buffer, 5, 6);
        EXPECT_EQ(Drain(buffer), Payloads(5, 6));
    }
}

TEST(MqttBuffer, AReplayedPayloadSaysSoAndKeepsItsTime) {
    EXPECT_EQ(
        ReplayedPayload(R"({"value": 3, "quality": "good", "time": "2026-12-09T07:00:00.123Z"})"),
        R"({"value": 3, "quality": "good", "time": "2026-12-09T07:00:00.123Z", "replayed": true})");
}

}  // namespace
}  // namespace westnet::gateway::mqtt
