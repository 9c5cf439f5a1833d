// A small HTTP/1.1 client for the tests, over a plain socket: requests as a
// browser or curl sends them, or any bytes at all (Raw) to see what the
// gateway answers to a request no well-behaved client would send.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace westnet::gateway::testing {

struct HttpReply {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string Header(std::string name) const {
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const auto it = headers.find(name);
        return it != headers.end() ? it->second : std::string();
    }
};

class HttpClient {
public:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    explicit HttpClient(int port) : port_(port) {}
    HttpClient(const std::string& /*loopback*/, int port) : port_(port) {}
    ~HttpClient() { Close(); }
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Kept alive, the next request goes on the same connection.
    void SetKeepAlive(bool keep) { keepAlive_ = keep; }
    void SetTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
    // Sent with every request (credentials), before the request's own.
    void SetDefaultHeaders(Headers headers) { defaults_ = std::move(headers); }

    std::optional<HttpReply> Get(const std::string& path, const Headers& headers = {}) {
        return Send("GET", path, "", "", headers);
    }
    std::optional<HttpReply> Put(const std::string& path, const std::string& body,
                                 const std::string& type) {
        return Send("PUT", path, body, type, {});
    }

    std::optional<HttpReply> Send(const std::string& method, const std::string& path,
                                  const std::string& body, const std::string& type,
                                  const Headers& headers) {
        std::string head =
            method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n";
        head += keepAlive_ ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
        for (const Headers* list : {static_cast<const Headers*>(&defaults_), &headers}) {
            for (const auto& [name, value] : *list) {
                head.append(name).append(": ").append(value).append("\r\n");
            }
        }
        if (!body.empty() || method == "PUT" || method == "POST") {
            head += "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n";
        }
        return Exchange(head + "\r\n" + body);
    }

    // Any bytes on a connection of their own; the answer, if any came
    // before the gateway closed the connection.
    std::optional<HttpReply> Raw(const std::string& bytes) {
        Close();
        const bool keep = keepAlive_;
        keepAlive_ = false;
        auto reply = Exchange(bytes);
        keepAlive_ = keep;
        return reply;
    }

private:
    std::optional<HttpReply> Exchange(const std::string& bytes) {
        if (fd_ < 0 && !Connect()) {
            return std::nullopt;
        }
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                break;  // refused while sending: read what it said
            }
            sent += static_cast<std::size_t>(n);
        }
        auto reply = Read();
        if (!reply || !keepAlive_ || reply->Header("Connection") == "close" ||
            (reply->Header("Content-Length").empty() &&
             reply->Header("Transfer-Encoding") != "chunked")) {
            Close();
        }
        return reply;
    }

    bool Connect() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            return false;
        }
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(timeout_.count() / 1000);
        tv.tv_usec = static_cast<suseconds_t>(timeout_.count() % 1000 * 1000);
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port_));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            Close();
            return false;
        }
        return true;
    }

    void Close() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

    // One answer: its head, then Content-Length bytes of body, or all
    // until the connection ends when it names none.
    std::optional<HttpReply> Read() {
        std::string in;
        std::size_t headEnd = std::string::npos;
        while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
            if (!More(in)) {
                return std::nullopt;
            }
        }
        HttpReply reply;
        const std::string head = in.substr(0, headEnd);
        std::size_t at = head.find("\r\n");
        const std::string status = head.substr(0, at);
        if (status.compare(0, 7, "HTTP/1.") != 0 || status.size() < 12) {
            return std::nullopt;
        }
        reply.status = std::stoi(status.substr(9, 3));
        while (at != std::string::npos) {
            const std::size_t next = head.find("\r\n", at + 2);
            const std::string line = head.substr(at + 2, next - at - 2);
            at = next;
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) {
                continue;
            }
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            const std::size_t v = line.find_first_not_of(' ', colon + 1);
            reply.headers[name] = v == std::string::npos ? "" : line.substr(v);
        }
        reply.body = in.substr(headEnd + 4);
        const std::string length = reply.Header("Content-Length");
        if (reply.Header("Transfer-Encoding") == "chunked") {
            std::string raw = reply.body;
            reply.body.clear();
            std::size_t from = 0;
            for (;;) {
                std::size_t eol;
                while ((eol = raw.find("\r\n", from)) == std::string::npos) {
                    if (!More(raw)) {
                        return std::nullopt;
                    }
                }
                const std::size_t size = std::stoul(raw.substr(from, eol - from), nullptr, 16);
                while (raw.size() < eol + 2 + size + 2) {
                    if (!More(raw)) {
                        return std::nullopt;
                    }
                }
                if (size == 0) {
                    break;
                }
                reply.body += raw.substr(eol + 2, size);
                from = eol + 2 + size + 2;
            }
        } else if (!length.empty()) {
            const std::size_t want = std::stoul(length);
            while (reply.body.size() < want && More(reply.body)) {
            }
            if (reply.body.size() < want) {
                return std::nullopt;
            }
            reply.body.resize(want);
        } else {
            while (More(reply.body)) {
            }
        }
        return reply;
    }

    bool More(std::string& into) {
        char buf[16384];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            return false;
        }
        into.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    int port_;
    int fd_ = -1;
    bool keepAlive_ = false;
    Headers defaults_;
    std::chrono::milliseconds timeout_{30000};
};

}  // namespace westnet::gateway::testing
