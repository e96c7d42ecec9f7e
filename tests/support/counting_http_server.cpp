#include "counting_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vela_test {

CountingHttpServer::CountingHttpServer(Closing closing, Handler handler, std::string reply_headers)
    : closing_(closing), handler_(std::move(handler)), reply_headers_(std::move(reply_headers)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listen_fd_, 64) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::fprintf(stderr, "CountingHttpServer: cannot listen on 127.0.0.1\n");
        std::abort();
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

CountingHttpServer::~CountingHttpServer() {
    stopping_ = true;
    shutdown(listen_fd_, SHUT_RDWR);
    acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : open_fds_) shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
    }
    for (std::thread& t : workers) t.join();
    close(listen_fd_);
}

std::string CountingHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<CountingHttpServer::Request> CountingHttpServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void CountingHttpServer::setCutter(Cutter cutter) {
    std::lock_guard<std::mutex> lock(mutex_);
    cutter_ = std::move(cutter);
}

void CountingHttpServer::acceptLoop() {
    while (!stopping_) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            close(fd);
            break;
        }
        open_fds_.push_back(fd);
        const int connection = ++accepted_;
        workers_.emplace_back([this, fd, connection] { serve(fd, connection); });
    }
}

void CountingHttpServer::serve(int fd, int connection) {
    std::string data;
    char buf[16384];
    auto fill = [&](size_t want) {
        while (data.size() < want) {
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) return false;
            data.append(buf, static_cast<size_t>(n));
        }
        return true;
    };
    bool reset = false;
    for (int nth = 1;; ++nth) {
        size_t head_end;
        bool open = true;
        while (open && (head_end = data.find("\r\n\r\n")) == std::string::npos) open = fill(data.size() + 1);
        if (!open) break;
        Request req;
        req.connection = connection;
        const std::string head = data.substr(0, head_end + 2);
        const size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
        req.method = head.substr(0, sp1);
        req.target = head.substr(sp1 + 1, sp2 - sp1 - 1);
        size_t length = 0;
        for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
            if (strncasecmp(head.c_str() + at + 2, "Content-Length:", 15) == 0) {
                length = std::strtoul(head.c_str() + at + 17, nullptr, 10);
            }
        }
        if (!fill(head_end + 4 + length)) break;
        req.body = data.substr(head_end + 4, length);
        data.erase(0, head_end + 4 + length);
        Cut cut = Cut::kNone;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cutter_) cut = cutter_(connection, nth);
            if (cut == Cut::kClose || cut == Cut::kReset) {
                ++cut_;
                reset = cut == Cut::kReset;
                break;
            }
            requests_.push_back(req);
        }
        const std::string body = handler_(req);
        std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n";
        if (closing_ == Closing::kAnnounced) reply += "Connection: close\r\n";
        reply += reply_headers_;
        reply += "\r\n" + body;
        if (closing_ == Closing::kSilent) {
            // The reply and the close go out in one segment, so the client
            // finds the connection closed as soon as it has the reply.
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof(on));
        }
        if (cut == Cut::kResetMidReply) {
            ++cut_;
            reset = true;
            reply.resize(reply.size() - body.size() + std::min<size_t>(body.size(), 1));
            send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            break;
        }
        if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size())) break;
        if (closing_ != Closing::kKeepAlive) break;
    }
    if (reset) {
        const linger abort_on_close{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
    close(fd);
}

}  // namespace vela_test
