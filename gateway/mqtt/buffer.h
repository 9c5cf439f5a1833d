// The MQTT front end's store-and-forward buffer: the messages the broker
// could not be given, in one file, oldest first, to be published in that
// order once it is back, and after a restart of the gateway too.
//
// The file: a header ("WNMQBUF1", then the offset of the oldest message not
// yet acknowledged, 8 bytes little-endian) and the messages appended after
// it, each [length 4][CRC-32 of the body 4][body: topic length 2, topic,
// payload]. Acknowledged messages only move the header's offset; the file is
// cut back to its header when everything is acknowledged, and rewritten
// without the acknowledged part when that part outgrows the rest.
//
// Bounded by the bytes of its messages: a message that would pass the bound
// drops the oldest ones first. Nothing is synced to the disk per message: a
// power cut may lose the latest messages or tear the last one, which the
// CRC tells; a damaged file is set aside (renamed *.corrupt) and only the
// messages before the damage are kept.
//
// Not thread-safe: the MQTT front end's publisher thread alone uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace westnet::gateway::mqtt {

class Buffer {
public:
    struct Message {
        std::string topic;
        std::string payload;
    };

    Buffer() = default;
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // Opens `path` (created when missing; its directory must exist) and
    // locks it against a second gateway. `report` says what was found
    // worth a log line (messages left from before, a damaged file set
    // aside), or why the file cannot be used when false.
    bool Open(const std::string& path, std::uint64_t maxBytes, std::string& report);
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    // At the tail. Older messages dropped to make room are added to
    // `dropped`. False when the file cannot take it (a full disk): the
    // message is lost, `error` says why, and the file is as it was.
    bool Append(const Message& message, std::uint64_t& dropped, std::string& error);

    // The oldest message not yet handed out, and its id for Ack. Handed-out
    // messages stay in the file until acknowledged: the library resends
    // them itself after a lost connection, and a restart hands them out
    // again.
    bool Next(Message& message, std::uint64_t& id);
    // Handed out but not taken by the library (no connection): it and those
    // handed out after it come again from Next.
    void Unsend(std::uint64_t id);
    // The broker has it. Out of order is fine; an id dropped meanwhile is
    // ignored.
    void Ack(std::uint64_t id);

    std::uint64_t Messages() const { return messages_; }  // not yet acknowledged
    std::uint64_t Bytes() const { return tail_ - head_; }
    std::uint64_t Unsent() const { return messages_ - handedOut_.size(); }
    const std::string& Path() const { return path_; }

private:
    struct HandedOut {
        std::uint64_t offset;
        std::uint64_t end;
        bool acked;
    };
    bool Load(std::string& report);
    void Reset();
    bool DropOldest();
    void Compact();
    void WriteHead();
    bool ReadRecord(std::uint64_t offset, Message* message, std::uint64_t& end) const;

    int fd_ = -1;
    std::string path_;
    std::uint64_t maxBytes_ = 0;
    std::uint64_t head_ = 0;    // the oldest message not acknowledged
    std::uint64_t cursor_ = 0;  // the next to hand out
    std::uint64_t tail_ = 0;    // the end of the last message
    std::uint64_t messages_ = 0;
    std::deque<HandedOut> handedOut_;  // from head_ on, in file order
};

}  // namespace westnet::gateway::mqtt
