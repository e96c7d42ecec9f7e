// A raw-socket HTTP/1.1 server on 127.0.0.1 that counts the connections it
// accepts and can close each connection after its reply, for tests of
// connection reuse, or cut chosen requests off. Each connection is served by its own thread; requests are
// read by Content-Length and answered with status 200 and the handler's body.
#ifndef TESTS_SUPPORT_COUNTING_HTTP_SERVER_H
#define TESTS_SUPPORT_COUNTING_HTTP_SERVER_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vela_test {

class CountingHttpServer {
  public:
    enum class Closing {
        kKeepAlive,  // connections stay open for further requests
        kAnnounced,  // "Connection: close" in every reply, then close
        kSilent,     // close after every reply without saying so
    };
    struct Request {
        std::string method;
        std::string target;  // path and query as on the request line
        std::string body;
        int connection;  // 1 for the first accepted connection, and so on
    };
    using Handler = std::function<std::string(const Request&)>;
    // What the server does with a request instead of answering it, as one
    // closing the connection under a client would.
    enum class Cut {
        kNone,          // answer
        kClose,         // close the connection (FIN) without answering; the request is not handled
        kReset,         // the same with a reset (RST)
        kResetMidReply  // handle it, send the reply's head and one body byte, then reset
    };
    // Decides for the `nth` request (1 for the first) on connection `connection`.
    using Cutter = std::function<Cut(int connection, int nth)>;

    // `reply_headers`: further header lines for every reply, each ending in CRLF.
    CountingHttpServer(Closing closing, Handler handler, std::string reply_headers = "");
    ~CountingHttpServer();
    CountingHttpServer(const CountingHttpServer&) = delete;
    CountingHttpServer& operator=(const CountingHttpServer&) = delete;

    std::string url(const std::string& path = "/asr/v2") const;
    int connections() const { return accepted_.load(); }
    // Requests cut from now on; set before the requests it should see.
    void setCutter(Cutter cutter);
    int cut() const { return cut_.load(); }  // requests cut so far
    std::vector<Request> requests() const;

  private:
    void acceptLoop();
    void serve(int fd, int connection);

    const Closing closing_;
    const Handler handler_;
    const std::string reply_headers_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> cut_{0};
    Cutter cutter_;  // guarded by mutex_
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::vector<int> open_fds_;
    std::vector<Request> requests_;
};

}  // namespace vela_test

#endif  // TESTS_SUPPORT_COUNTING_HTTP_SERVER_H
