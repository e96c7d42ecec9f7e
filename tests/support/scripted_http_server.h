// Test HTTP servers on 127.0.0.1.
//
// ScriptedHttpServer: an in-process server on a free port that records every
// request and answers from a script. Typical use:
//
//     vela_test::ScriptedHttpServer server;
//     server.on(vela_test::methodIs("POST"),
//     vela_test::Reply::json(R"({"asr_param":{"err_no":0,"sid":"s1"}})"));
//     server.enqueue(vela_test::Reply::withStatus(404));      // the next request only
//     ... client calls server.url("/asr/v2") ...
//     ASSERT_TRUE(server.waitForRequests(2));
//     auto reqs = server.requests();
//     EXPECT_EQ(reqs[0].query, "pid=1&appname=x&idx=0&rate=8");
//     EXPECT_EQ(reqs[0].parts.at(0).disposition, "form-data; name=\"create-session\"");
//
// RawHttpCapture: a minimal server that keeps the exact bytes of each request
// head, for checks of header lines as they went on the wire.
#ifndef TESTS_SUPPORT_SCRIPTED_HTTP_SERVER_H
#define TESTS_SUPPORT_SCRIPTED_HTTP_SERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vela_test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One part of a multipart body.
struct FormPart {
    HeaderList headers;            // the part's header lines, in order
    std::string disposition;       // Content-Disposition value as received
    std::string disposition_type;  // its first token: "form-data", "attachment", ...
    std::string name;              // name="..." parameter
    bool has_filename = false;     // whether a filename parameter was present
    std::string filename;          // filename="..." parameter
    std::string content_type;      // the part's Content-Type value, empty if none
    std::string data;              // the part's bytes
};

// One request as the server saw it.
struct RecordedRequest {
    std::string method;
    std::string target;  // path and query exactly as on the request line
    std::string path;    // target before the first '?'
    std::string query;   // target after the first '?', empty when none
    // Names and values as received (values without leading blanks), ordered
    // by name; RawHttpCapture keeps the order of arrival and the exact bytes.
    HeaderList headers;
    std::string body;             // raw body (empty for a multipart/form-data request, see parts)
    std::vector<FormPart> parts;  // multipart parts, when the Content-Type carries a boundary

    bool hasHeader(const std::string& name) const;  // case-insensitive name
    size_t headerCount(const std::string& name) const;
    std::string header(const std::string& name) const;    // first value, or ""
    const FormPart* part(const std::string& name) const;  // first part of that name, or null
};

// Lets a test hold replies back until it opens the gate (or the server stops).
class Gate {
  public:
    void open();
    bool isOpen() const;
    // Waits until the gate is open or `stop` is set; internal use.
    void wait(const std::atomic<bool>& stop);
    // Number of handlers currently held at this gate.
    int waiting() const;
    // Blocks until `n` handlers are held at this gate or `timeout` passes.
    bool waitForWaiting(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  private:
    friend class ScriptedHttpServer;
    void wake();
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool open_ = false;
    int waiting_ = 0;
};

// The answer to one request.
struct Reply {
    int status = 200;
    std::string body;
    std::string content_type = "application/json";
    HeaderList headers;                  // further header lines (e.g. Location)
    std::chrono::milliseconds delay{0};  // wait before answering
    std::shared_ptr<Gate> gate;          // if set, answer only once the gate is open
    bool drop = false;                   // close the connection without any answer

    static Reply json(std::string body, int status = 200);
    static Reply withStatus(int status, std::string body = "");
    static Reply dropped();
    static Reply redirectTo(std::string location, int status = 302);
    Reply after(std::chrono::milliseconds d) const;
    Reply heldBy(std::shared_ptr<Gate> g) const;
};

using Matcher = std::function<bool(const RecordedRequest&)>;
using Responder = std::function<Reply(const RecordedRequest&)>;

// Matchers for the script.
Matcher anyRequest();
Matcher methodIs(std::string method);
Matcher pathIs(std::string path);
Matcher queryContains(std::string text);  // raw query contains `text`
Matcher hasPart(std::string name);        // multipart part of that name
Matcher allOf(std::vector<Matcher> matchers);

// A loopback port that nothing listens on (bound and released again), for
// tests of refused connections.
int unusedLoopbackPort();

class ScriptedHttpServer {
  public:
    static constexpr int kForever = -1;

    // Starts listening on 127.0.0.1 on a free port; `workers` requests can be
    // answered at once (held and delayed replies occupy a worker). With `tls`
    // the server speaks HTTPS with a freshly made self-signed certificate for
    // 127.0.0.1, which certificateFile() names for the client's trust setting.
    explicit ScriptedHttpServer(size_t workers = 16, bool tls = false);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" (or https) followed by `path`.
    std::string url(const std::string& path = "/asr/v2") const;
    // PEM file of the server's certificate; empty without TLS.
    const std::string& certificateFile() const { return cert_file_; }

    // Script. Rules are tried in the order added; the first that matches and
    // has answers left answers the request. A rule answers `times` requests,
    // or every matching request with kForever. Requests no rule takes get the
    // default reply (404 with an empty body unless changed).
    void on(Matcher match, Reply reply, int times = kForever);
    void on(Matcher match, Responder responder, int times = kForever);
    void enqueue(Reply reply);  // answers the next request of any kind, once
    void setDefaultReply(Reply reply);
    void clearScript();

    // Records, in the order the requests arrived (recorded before answering).
    std::vector<RecordedRequest> requests() const;
    size_t requestCount() const;
    // Blocks until at least `n` requests have arrived or `timeout` passes.
    bool waitForRequests(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Blocks until at least `n` requests have been answered (or dropped).
    bool waitForAnswers(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    void clearRequests();

  private:
    struct Rule {
        Matcher match;
        Responder respond;
        int remaining;
    };
    class Impl;

    Reply answerFor(const RecordedRequest& req);
    void record(const RecordedRequest& req);
    void answered();

    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    bool tls_ = false;
    std::string cert_file_;
    std::thread listener_;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Rule> rules_;
    Reply default_reply_;
    std::vector<RecordedRequest> requests_;
    size_t answers_ = 0;
};

// Accepts connections one at a time, keeps each request's head (request line
// and header lines, up to and including the blank line) and body exactly as
// received, and answers every request with `status` and `body`. Bodies are read
// by Content-Length.
class RawHttpCapture {
  public:
    explicit RawHttpCapture(int status = 200, std::string body = "");
    ~RawHttpCapture();
    RawHttpCapture(const RawHttpCapture&) = delete;
    RawHttpCapture& operator=(const RawHttpCapture&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "/asr/v2") const;

    struct Exchange {
        std::string head;
        std::string body;
        // The head's header lines (without line ends), in order.
        std::vector<std::string> headerLines() const;
    };
    std::vector<Exchange> exchanges() const;

  private:
    void serve();
    void handle(int fd);

    int status_;
    std::string body_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Exchange> exchanges_;
};

}  // namespace vela_test

#endif  // TESTS_SUPPORT_SCRIPTED_HTTP_SERVER_H
