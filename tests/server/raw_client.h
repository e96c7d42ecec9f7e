// A plain loopback TCP client for the server tests that need exact bytes on
// the wire, and the status and body of the replies it reads.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace asrserver {

// A plain loopback TCP client; `from` picks the source address, so that tests
// can act as two clients. Every read gives up after 20 s.
class RawClient {
  public:
    explicit RawClient(int port, const char* from = "127.0.0.1") {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from, &a.sin_addr);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { close(fd_); }

    bool send(const std::string& data) {
        for (size_t at = 0; at < data.size();) {
            const ssize_t n = ::send(fd_, data.data() + at, data.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += static_cast<size_t>(n);
        }
        return connected_;
    }
    void halfClose() { shutdown(fd_, SHUT_WR); }

    // Everything until the server closes (or a read fails).
    std::string readAll() {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = recv(fd_, buf, sizeof buf, 0)) > 0;) out.append(buf, static_cast<size_t>(n));
        return out;
    }

    // One reply, framed by its Content-Length; empty when the connection ends first.
    std::string readReply() {
        char buf[4096];
        while (true) {
            const size_t end = pending_.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t at = pending_.find("Content-Length: ");
                const size_t total = end + 4 + (at < end ? std::stoul(pending_.substr(at + 16)) : 0);
                if (pending_.size() >= total) {
                    std::string reply = pending_.substr(0, total);
                    pending_.erase(0, total);
                    return reply;
                }
            }
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return "";
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    std::string pending_;
};

inline int statusOf(const std::string& reply) {
    return reply.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(reply.c_str() + 9) : 0;
}

inline std::string bodyOf(const std::string& reply) {
    const size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos ? "" : reply.substr(at + 4);
}

}  // namespace asrserver
