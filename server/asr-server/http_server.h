// HTTP front of the service on cpp-httplib: routes the base path to the
// service, splits multipart bodies, and expires idle sessions once a second.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/asr-server/service.h"

namespace httplib {
class Server;
}

namespace asrserver {

struct HttpConfig {
    std::string host = "127.0.0.1";
    int port = 8900;  // 0 picks a free port
    std::string path = "/asr/v2";
    size_t threads = 32;         // request worker threads
    size_t max_body = 4u << 20;  // bytes
    std::chrono::milliseconds sweep_interval{1000};
    bool verbose = false;  // one line per request on standard error
};

class HttpServer {
  public:
    HttpServer(Service& service, const HttpConfig& config);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts serving on background threads; false with a reason in
    // `error` when the address cannot be bound.
    bool start(std::string& error);
    int port() const { return port_; }
    // The base URL, e.g. http://127.0.0.1:8900/asr/v2.
    std::string url() const;
    // Shuts the service down, stops serving and joins the threads; idempotent.
    void stop();

  private:
    void sweepLoop();

    Service& service_;
    const HttpConfig config_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = -1;
    std::thread listener_;
    std::atomic<bool> listener_done_{false};
    std::thread sweeper_;
    std::mutex mutex_;
    std::condition_variable stop_requested_;
    bool stopping_ = false;
};

}  // namespace asrserver
