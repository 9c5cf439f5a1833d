#include "mqtt/buffer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace westnet::gateway::mqtt {

namespace {

constexpr char kMagic[8] = {'W', 'N', 'M', 'Q', 'B', 'U', 'F', '1'};
constexpr std::uint64_t kHeader = 16;
constexpr std::uint64_t kRecordHeader = 8;
// No message of the front end comes near it: a larger length is damage.
constexpr std::uint32_t kMaxBody = 16U << 20U;
// The acknowledged part is cut away once it is at least this large and
// larger than what is left, so that rewriting costs no more than appending.
constexpr std::uint64_t kCompactAt = 1U << 20U;

std::uint32_t Crc32(const char* data, std::size_t size) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1U) : c >> 1U;
            }
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFU;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFFU] ^ (crc >> 8U);
    }
    return crc ^ 0xFFFFFFFFU;
}

void PutLe(char* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[i] = static_cast<char>((value >> (8 * i)) & 0xFFU);
    }
}

std::uint64_t GetLe(const char* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    }
    return value;
}

bool ReadAll(int fd, char* data, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t n = pread(fd, data, size, static_cast<off_t>(offset));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

// A fresh file at `path` with the header and the bytes [from, to) of `source`.
int WriteCopy(const std::string& path, int source, std::uint64_t from, std::uint64_t to) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    std::array<char, kHeader> header{};
    std::memcpy(header.data(), kMagic, sizeof kMagic);
    PutLe(header.data() + 8, kHeader, 8);
    bool ok = WriteAll(fd, header.data(), header.size(), 0);
    std::vector<char> chunk(1U << 20U);
    for (std::uint64_t at = from; ok && at < to;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), to - at));
        ok = ReadAll(source, chunk.data(), n, at) &&
             WriteAll(fd, chunk.data(), n, kHeader + (at - from));
        at += n;
    }
    if (!ok) {
        const int saved = errno;
        close(fd);
        unlink(path.c_str());
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

Buffer::~Buffer() {
    Close();
}

void Buffer::Close() {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = -1;
    head_ = cursor_ = tail_ = messages_ = 0;
    handedOut_.clear();
}

bool Buffer::Open(const std::string& path, std::uint64_t maxBytes, std::string& report) {
    report.clear();
    path_ = path;
    maxBytes_ = maxBytes;
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        report = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        report = path + " is in use by another process (two gateways on one buffer file?)";
        close(fd_);
        fd_ = -1;
        return false;
    }
    if (!Load(report)) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    // The bound may have been lowered since the file was written.
    std::uint64_t dropped = 0;
    while (Bytes() > maxBytes_ && DropOldest()) {
        ++dropped;
    }
    if (dropped > 0) {
        report += (report.empty() ? "" : "; ") + std::to_string(dropped) +
                  " oldest messages dropped to fit mqtt_buffer_mb";
    }
    if (messages_ > 0) {
        report += (report.empty() ? "" : "; ") + std::to_string(messages_) +
                  " messages left from before, to be published first";
    }
    return true;
}

bool Buffer::Load(std::string& report) {
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        report = "cannot read " + path_ + ": " + std::strerror(errno);
        return false;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size == 0) {
        Reset();
        return true;
    }
    std::array<char, kHeader> header{};
    head_ = kHeader;
    messages_ = 0;
    bool damaged = size < kHeader || !ReadAll(fd_, header.data(), header.size(), 0) ||
                   std::memcmp(header.data(), kMagic, sizeof kMagic) != 0;
    if (!damaged) {
        const std::uint64_t head = GetLe(header.data() + 8, 8);
        damaged = head < kHeader || head > size;
        head_ = damaged ? kHeader : head;
    }
    std::uint64_t good = head_;  // the end of the last sound message
    if (!damaged) {
        std::uint64_t end = 0;
        while (good < size && ReadRecord(good, nullptr, end) && end <= size) {
            good = end;
            ++messages_;
        }
        damaged = good != size;
    }
    if (!damaged) {
        cursor_ = head_;
        tail_ = size;
        if (messages_ == 0) {
            Reset();
        }
        return true;
    }
    // Set aside for a look by hand; what was sound before the damage stays.
    const std::string aside = path_ + ".corrupt";
    if (rename(path_.c_str(), aside.c_str()) != 0) {
        report = "cannot set aside the damaged " + path_ + ": " + std::strerror(errno);
        return false;
    }
    const std::uint64_t from = head_;
    const int fresh = WriteCopy(path_, fd_, from, good);
    if (fresh < 0 || flock(fresh, LOCK_EX | LOCK_NB) != 0) {
        report = "cannot write a new " + path_ + ": " + std::strerror(errno);
        if (fresh >= 0) {
            close(fresh);
        }
        return false;
    }
    close(fd_);
    fd_ = fresh;
    head_ = cursor_ = kHeader;
    tail_ = kHeader + (good - from);
    report = path_ + " is damaged: set aside as " + aside + ", " + std::to_string(messages_) +
             " messages before the damage kept";
    return true;
}

bool Buffer::ReadRecord(std::uint64_t offset, Message* message, std::uint64_t& end) const {
    std::array<char, kRecordHeader> header{};
    if (!ReadAll(fd_, header.data(), header.size(), offset)) {
        return false;
    }
    const auto length = static_cast<std::uint32_t>(GetLe(header.data(), 4));
    const auto crc = static_cast<std::uint32_t>(GetLe(header.data() + 4, 4));
    if (length < 2 || length > kMaxBody) {
        return false;
    }
    std::string body(length, '\0');
    if (!ReadAll(fd_, body.data(), body.size(), offset + kRecordHeader) ||
        Crc32(body.data(), body.size()) != crc) {
        return false;
    }
    const std::size_t topicLength = GetLe(body.data(), 2);
    if (topicLength > length - 2) {
        return false;
    }
    if (message != nullptr) {
        message->topic = body.substr(2, topicLength);
        message->payload = body.substr(2 + topicLength);
    }
    end = offset + kRecordHeader + length;
    return true;
}

void Buffer::Reset() {
    head_ = cursor_ = tail_ = kHeader;
    messages_ = 0;
    handedOut_.clear();
    std::array<char, kHeader> header{};
    std::memcpy(header.data(), kMagic, sizeof kMagic);
    PutLe(header.data() + 8, kHeader, 8);
    // Failures show at the next append, which is where they are counted.
    (void)WriteAll(fd_, header.data(), header.size(), 0);
    (void)ftruncate(fd_, static_cast<off_t>(kHeader));
}

void Buffer::WriteHead() {
    std::array<char, 8> head{};
    PutLe(head.data(), head_, 8);
    (void)WriteAll(fd_, head.data(), head.size(), 8);
}

bool Buffer::DropOldest() {
    if (messages_ == 0) {
        return false;
    }
    std::uint64_t end = 0;
    if (!ReadRecord(head_, nullptr, end)) {
        // Unreadable now though it was written: nothing after it can be
        // trusted either.
        Reset();
        return true;
    }
    if (!handedOut_.empty() && handedOut_.front().offset == head_) {
        handedOut_.pop_front();
    }
    head_ = end;
    cursor_ = std::max(cursor_, end);
    if (--messages_ == 0) {
        Reset();
    } else {
        WriteHead();
    }
    return true;
}

void Buffer::Compact() {
    if (!handedOut_.empty() || head_ - kHeader < kCompactAt || head_ - kHeader <= Bytes()) {
        return;
    }
    const std::string next = path_ + ".new";
    const int fresh = WriteCopy(next, fd_, head_, tail_);
    if (fresh < 0) {
        return;  // stays as it is, only larger
    }
    if (flock(fresh, LOCK_EX | LOCK_NB) != 0 || rename(next.c_str(), path_.c_str()) != 0) {
        close(fresh);
        unlink(next.c_str());
        return;
    }
    close(fd_);
    fd_ = fresh;
    tail_ = kHeader + Bytes();
    head_ = cursor_ = kHeader;
}

bool Buffer::Append(const Message& message, std::uint64_t& dropped, std::string& error) {
    if (fd_ < 0) {
        error = "no buffer file";
        return false;
    }
    const std::size_t body = 2 + message.topic.size() + message.payload.size();
    if (message.topic.size() > 0xFFFFU || body > kMaxBody || kRecordHeader + body > maxBytes_) {
        error = "a message larger than the buffer";
        return false;
    }
    std::string record(kRecordHeader + body, '\0');
    PutLe(record.data() + kRecordHeader, message.topic.size(), 2);
    std::memcpy(record.data() + kRecordHeader + 2, message.topic.data(), message.topic.size());
    std::memcpy(record.data() + kRecordHeader + 2 + message.topic.size(), message.payload.data(),
                message.payload.size());
    PutLe(record.data(), body, 4);
    PutLe(record.data() + 4, Crc32(record.data() + kRecordHeader, body), 4);
    while (Bytes() + record.size() > maxBytes_ && DropOldest()) {
        ++dropped;
    }
    Compact();
    if (!WriteAll(fd_, record.data(), record.size(), tail_)) {
        error = std::strerror(errno);
        (void)ftruncate(fd_, static_cast<off_t>(tail_));  // no torn message left behind
        return false;
    }
    tail_ += record.size();
    ++messages_;
    return true;
}

bool Buffer::Next(Message& message, std::uint64_t& id) {
    if (fd_ < 0 || cursor_ >= tail_) {
        return false;
    }
    std::uint64_t end = 0;
    if (!ReadRecord(cursor_, &message, end)) {
        // The disk gave back something else than was written: start again
        // rather than publish garbage.
        Reset();
        return false;
    }
    handedOut_.push_back({cursor_, end, false});
    id = cursor_;
    cursor_ = end;
    return true;
}

void Buffer::Unsend(std::uint64_t id) {
    while (!handedOut_.empty() && handedOut_.back().offset >= id) {
        cursor_ = handedOut_.back().offset;
        handedOut_.pop_back();
    }
}

void Buffer::Ack(std::uint64_t id) {
    for (HandedOut& h : handedOut_) {
        if (h.offset == id) {
            h.acked = true;
            break;
        }
    }
    bool moved = false;
    while (!handedOut_.empty() && handedOut_.front().acked) {
        head_ = handedOut_.front().end;
        handedOut_.pop_front();
        --messages_;
        moved = true;
    }
    if (!moved) {
        return;
    }
    if (messages_ == 0) {
        Reset();
    } else {
        WriteHead();
    }
}

}  // namespace westnet::gateway::mqtt
