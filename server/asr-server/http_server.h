// HTTP front of the service on Boost.Beast: routes the base path to the
// service, splits multipart bodies, and expires idle sessions once a second.
//
// Connections are served asynchronously by a few I/O threads, so an idle or
// slow client costs a socket and a little memory, never a thread. Requests are
// read whole (head and body within deadlines and size limits) before the
// service sees them; the service's handlers run on a separate pool of worker
// threads, and a result fetch that waits for audio is parked by the service
// and answered later from its threads, without holding a worker. Malformed or
// oversized requests are refused with an HTTP status and the connection is
// closed; plain HTTP and HTTPS (OpenSSL) are served alike. When the
// connection cap is reached, the connections that have waited longest without
// a request head make room for new ones. GET /healthz and /metrics on the root
// answer the server's state and its figures (Prometheus text format).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/asr-server/service.h"

namespace asrserver {

struct HttpConfig {
    std::string host = "127.0.0.1";
    int port = 8900;  // 0 picks a free port
    std::string path = "/asr/v2";
    size_t threads = 32;                             // request worker threads
    size_t io_threads = 2;                           // threads reading and writing connections
    size_t max_body = 4u << 20;                      // bytes of a request body, however framed
    size_t max_header = 16u << 10;                   // bytes of a request line and header lines
    size_t max_connections = 512;                    // open at once, over all clients (idle ones make room)
    size_t max_per_client = 128;                     // open at once from one client address
    size_t keep_alive_requests = 1000;               // requests per connection
    std::chrono::milliseconds keep_alive{5000};      // idle time before the next request's head
    std::chrono::milliseconds head_timeout{10000};   // TLS handshake, then the first request head
    std::chrono::milliseconds body_timeout{30000};   // a request body
    std::chrono::milliseconds write_timeout{30000};  // a reply
    std::string tls_cert;                            // PEM certificate chain; with tls_key, serve HTTPS
    std::string tls_key;                             // PEM private key
    // Proxies (IP addresses) whose X-Real-IP or X-Forwarded-For names the client.
    std::vector<std::string> trusted_proxies;
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
    // `error` when the address cannot be bound or the TLS files cannot be used.
    bool start(std::string& error);
    int port() const { return port_; }
    // The base URL, e.g. http://127.0.0.1:8900/asr/v2 (https with TLS).
    std::string url() const;
    // Shuts the service down, answers the requests in progress, stops serving
    // and joins the threads; idempotent.
    void stop();

    class Impl;

  private:
    void sweepLoop();

    Service& service_;
    const HttpConfig config_;
    std::unique_ptr<Impl> impl_;
    int port_ = -1;
    std::thread sweeper_;
    std::mutex mutex_;
    std::condition_variable stop_requested_;
    bool started_ = false;
    bool stopping_ = false;
};

}  // namespace asrserver
