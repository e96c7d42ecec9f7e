#include "server/asr-server/http_server.h"

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "server/asr-server/metrics.h"

namespace asrserver {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

// ---------------------------------------------------------------------------
// Request to reply, on a worker thread. Targets are split and decoded the way
// clients of this server have always been answered: '+' and %XX in the query,
// %uXXXX as UTF-8, blanks around pieces dropped, repeated key=value pairs once.

// Calls fn(piece) for each piece of [b, e) between `d`s, trimmed of blanks; empty pieces are skipped.
template <class Fn>
void split(const std::string& s, char d, Fn fn) {
    size_t begin = 0;
    for (size_t i = 0; i <= s.size(); ++i) {
        if (i < s.size() && s[i] != d) continue;
        size_t b = begin;
        size_t e = i;
        while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
        while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
        if (b < e) fn(s.substr(b, e - b));
        begin = i + 1;
    }
}

bool hexDigits(const std::string& s, size_t at, size_t count, int& value) {
    if (at + count > s.size()) return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        const char c = s[i];
        int d = 0;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        value = value * 16 + d;
    }
    return true;
}

void appendUtf8(int code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0xD800 || code >= 0xE000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }  // a lone surrogate is dropped
}

std::string decodeUrl(const std::string& s, bool plus_is_space) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        int v = 0;
        if (s[i] == '%' && i + 1 < s.size() && s[i + 1] == 'u' && hexDigits(s, i + 2, 4, v)) {
            appendUtf8(v, out);
            i += 5;
        } else if (s[i] == '%' && i + 1 < s.size() && s[i + 1] != 'u' && hexDigits(s, i + 1, 2, v)) {
            out += static_cast<char>(v);
            i += 2;
        } else if (plus_is_space && s[i] == '+') {
            out += ' ';
        } else {
            out += s[i];
        }
    }
    return out;
}

Query parseQuery(const std::string& text) {
    Query query;
    std::vector<std::string> seen;
    split(text, '&', [&](const std::string& pair) {
        for (const auto& s : seen) {
            if (s == pair) return;
        }
        seen.push_back(pair);
        std::string key;
        std::string value;
        split(pair, '=', [&](const std::string& piece) { (key.empty() ? key : value) = piece; });
        if (!key.empty()) query.emplace(decodeUrl(key, true), decodeUrl(value, true));
    });
    return query;
}

struct Request {
    std::string method;
    std::string target;
    std::string content_type;
    std::string body;
    std::string client;  // the client's address, as the proxies we trust report it
};

struct Answer {
    int status = 200;
    std::string body;
    std::string type = vela::wire::kJsonType;
};

Answer refusal(int status) {
    const ErrNo code = status == 413 || status == 503 ? kLimitReached : kBadRequest;
    return Answer{status, Service::error(code, vela::wire::kMsgHttpPrefix + std::to_string(status)).body};
}

bool knownMethod(const std::string& m) {
    static const char* const kMethods[] = {"GET",     "HEAD",    "POST",  "PUT",   "DELETE",
                                           "CONNECT", "OPTIONS", "TRACE", "PATCH", "PRI"};
    for (const char* k : kMethods) {
        if (m == k) return true;
    }
    return false;
}

using AnswerDone = std::function<void(Answer)>;

// Routes one complete request to the service; `done` gets the answer, at once
// or, for a result fetch that waits, later from another thread.
void handle(Service& service, const HttpConfig& config, Request& req, AnswerDone done) {
    if (!knownMethod(req.method)) return done(refusal(400));
    std::vector<std::string> pieces;
    split(req.target, '?', [&](const std::string& piece) { pieces.push_back(piece); });
    if (pieces.size() > 2) return done(refusal(400));
    const std::string path = pieces.empty() ? std::string() : decodeUrl(pieces[0], false);
    Query query = pieces.size() > 1 ? parseQuery(pieces[1]) : Query();

    if (config.verbose) {
        std::string target = path;
        char sep = '?';
        for (const auto& kv : query) {
            target += sep + kv.first + "=" + kv.second;
            sep = '&';
        }
        done = [done = std::move(done), line = req.method + " " + target + " (" +
                                               std::to_string(req.body.size()) + " bytes)"](Answer answer) {
            std::fprintf(stderr, "asr-server: %s -> %d %s\n", line.c_str(), answer.status,
                         answer.body.c_str());
            done(std::move(answer));
        };
    }
    if (path == config.path && (req.method == "GET" || req.method == "HEAD")) {
        return service.get(query, [done = std::move(done)](Reply r) { done(Answer{r.http_status, r.body}); });
    }
    if (path == config.path && req.method == "POST") {
        std::vector<FormPart> parts;
        bool body_ok = true;
        const std::string boundary = boundaryOf(req.content_type);
        if (req.content_type.rfind("multipart/form-data", 0) == 0) {
            // A standard form post: one that cannot be split is not a request at all.
            if (boundary.empty() || !parseMultipart(req.body, boundary, parts)) return done(refusal(400));
        } else if (!boundary.empty()) {
            body_ok = parseMultipart(req.body, boundary, parts);
        }
        const Reply r = service.post(query, std::move(parts), body_ok, req.client);
        return done(Answer{r.http_status, r.body});
    }
    done(refusal(404));
}

const char* reasonOf(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 408:
            return "Request Timeout";
        case 413:
            return "Payload Too Large";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        default:
            return "Unknown";
    }
}

// Header lines in the order clients have always received them (sorted by name).
std::string serialize(const Answer& a, bool keep_alive, bool head, const HttpConfig& config) {
    std::string out = "HTTP/1.1 " + std::to_string(a.status) + " " + reasonOf(a.status) + "\r\n";
    if (head) out += "Accept-Ranges: bytes\r\n";
    if (!keep_alive) out += "Connection: close\r\n";
    out += "Content-Length: " + std::to_string(a.body.size()) + "\r\nContent-Type: " + a.type + "\r\n";
    if (keep_alive) {
        out += "Keep-Alive: timeout=" +
               std::to_string(std::chrono::ceil<std::chrono::seconds>(config.keep_alive).count()) +
               ", max=" + std::to_string(config.keep_alive_requests) + "\r\n";
    }
    out += "\r\n";
    if (!head) out += a.body;
    return out;
}

constexpr std::chrono::milliseconds kLinger{1000};  // draining a refused client before closing
constexpr size_t kLingerBytes = 8u << 20;
constexpr std::chrono::milliseconds kStopGrace{2000};  // last replies still being written at stop

constexpr size_t kHeadReadSize = 4096;  // bytes read at a time while a request head is incomplete

// 0 when the head (`raw`, as received, and as parsed) frames its request
// unambiguously, else the status to refuse it with. Whatever a proxy in front
// might read differently is refused: folded header lines, a length stated
// twice, framing by both length and chunks, codings other than one final
// chunked, chunks in HTTP/1.0, and an HTTP/1.1 request without exactly one Host.
int framingFault(beast::string_view raw, const http::request_parser<http::string_body>& parser) {
    for (size_t at = raw.find("\r\n"); at != beast::string_view::npos && at + 2 < raw.size();
         at = raw.find("\r\n", at + 2)) {
        if (raw[at + 2] == ' ' || raw[at + 2] == '\t') return 400;
    }
    const auto& req = parser.get();
    if (req.version() >= 11 && req.count(http::field::host) != 1) return 400;
    if (req.count(http::field::content_length) > 1 ||
        req[http::field::content_length].find(',') != beast::string_view::npos) {
        return 400;
    }
    if (req.count(http::field::transfer_encoding) == 0) return 0;
    if (req.version() < 11 || req.count(http::field::content_length) != 0) return 400;
    std::vector<std::string> codings;
    const auto fields = req.equal_range(http::field::transfer_encoding);
    for (auto f = fields.first; f != fields.second; ++f) {
        split(std::string(f->value()), ',', [&](const std::string& c) { codings.push_back(c); });
    }
    if (codings.empty() || !beast::iequals(codings.back(), "chunked")) return 400;
    for (size_t i = 0; i + 1 < codings.size(); ++i) {
        if (beast::iequals(codings[i], "chunked")) return 400;
    }
    return codings.size() == 1 ? 0 : 501;  // a coding this server does not know
}

// The address as one form: IPv4 clients of an IPv6 socket as IPv4.
net::ip::address canonical(const net::ip::address& a) {
    if (a.is_v6() && a.to_v6().is_v4_mapped()) return a.to_v6().to_v4();
    return a;
}

class ConnectionBase {
  public:
    virtual ~ConnectionBase() = default;
    // Ends the connection once its current reply (if any) is written; any thread.
    virtual void stop() = 0;
    // Closes the connection (with a 408) if it is still waiting for a request
    // head, else tells the server it stays (HttpServer::Impl::evictionFailed); any thread.
    virtual void evict() = 0;
};

}  // namespace

class HttpServer::Impl {
  public:
    Impl(Service& service, const HttpConfig& config) : service(service), config(config) {}

    bool start(std::string& error, int& port);
    void stop();

    // Counts a new connection from `peer`; false when a limit is reached. At the
    // overall cap, the connection idle longest is evicted to make room.
    bool admit(const net::ip::address& peer);
    void added(ConnectionBase* key, std::weak_ptr<ConnectionBase> c);
    void release(ConnectionBase* key, const net::ip::address& peer);
    // Whether a connection waits for a request head (or lingers after its last
    // reply), which makes it a candidate for eviction; from its strand.
    void idle(ConnectionBase* key, bool idle);
    void evictionFailed(ConnectionBase* key);

    void counted(int status);  // a reply with this status is written
    void framingRefused();
    // The client a request comes from: the peer, or the address a trusted proxy names.
    std::string clientOf(const net::ip::address& peer, const http::request_header<>& req) const;
    // Answers GET /healthz and /metrics; nothing for every other request.
    std::optional<Answer> operations(const Request& req);

    Service& service;
    const HttpConfig& config;
    std::unique_ptr<net::ssl::context> tls;
    std::atomic<bool> stopping{false};

  private:
    void accept();
    void serve(tcp::socket socket);

    using TimePoint = std::chrono::steady_clock::time_point;
    struct Slot {
        std::weak_ptr<ConnectionBase> conn;
        TimePoint idle_since;
        bool idle = false;      // listed in idle_
        bool evicting = false;  // asked to close; counted in evicting_
    };

    std::vector<net::ip::address> trusted_;
    mutable std::mutex mutex_;
    std::condition_variable drained_;
    size_t open_ = 0;
    size_t evicting_ = 0;  // open connections asked to make room, not yet closed
    std::map<net::ip::address, size_t> per_client_;
    std::unordered_map<ConnectionBase*, Slot> live_;
    std::set<std::pair<TimePoint, ConnectionBase*>> idle_;  // oldest first
    HttpStats stats_;                                       // all but connections_open
    // Declared after what connections use, so that handlers still queued are destroyed first.
    net::io_context ioc_;
    // Keeps the I/O threads running while no connection has an operation pending,
    // e.g. when every request is with a worker, until stop() is done.
    net::executor_work_guard<net::io_context::executor_type> work_{ioc_.get_executor()};
    std::unique_ptr<net::thread_pool> pool_;  // runs the service's handlers
    net::strand<net::io_context::executor_type> accept_strand_{ioc_.get_executor()};  // acceptor and retry_
    tcp::acceptor acceptor_{accept_strand_};
    net::steady_timer retry_{accept_strand_};
    std::vector<std::thread> io_threads_;
};

namespace {

// One client connection: reads requests one at a time (head, then body),
// hands each to the worker pool and writes its reply; refuses what breaks a
// limit or the syntax with a status and closes. Every step runs on the
// connection's strand; one timer bounds whichever step is in progress.
template <bool kTls>
class Connection : public ConnectionBase, public std::enable_shared_from_this<Connection<kTls>> {
    using Stream = std::conditional_t<kTls, net::ssl::stream<tcp::socket>, tcp::socket>;

  public:
    template <class... StreamArgs>
    Connection(HttpServer::Impl& server, net::thread_pool& workers, net::ip::address peer,
               StreamArgs&&... args)
        : server_(server),
          config_(server.config),
          workers_(workers),
          peer_(peer),
          stream_(std::forward<StreamArgs>(args)...),
          timer_(socket().get_executor()) {}

    ~Connection() override { server_.release(this, peer_); }

    // Begins serving on the connection's strand.
    void start() {
        net::dispatch(socket().get_executor(), [self = this->shared_from_this()] { self->run(); });
    }

    void stop() override {
        net::post(socket().get_executor(), [self = this->shared_from_this()] {
            self->stop_ = true;
            error_code ignored;
            if (self->cancellable_) self->socket().cancel(ignored);
        });
    }

    void evict() override {
        net::post(socket().get_executor(), [self = this->shared_from_this()] {
            if (self->lingering_) return self->close();
            if (!self->waiting_ || self->stop_) return self->server_.evictionFailed(self.get());
            self->evicted_ = true;  // the pending handshake or head read ends, and says so
            error_code ignored;
            self->socket().cancel(ignored);
        });
    }

  private:
    void run() {
        waiting(true);
        if constexpr (kTls) {
            arm(config_.head_timeout);
            cancellable_ = true;
            stream_.async_handshake(net::ssl::stream_base::server,
                                    [self = this->shared_from_this()](error_code ec) {
                                        self->cancellable_ = false;
                                        self->disarm();
                                        if (ec) return self->close();  // evicted too
                                        self->readHead();
                                    });
        } else {
            readHead();
        }
    }

    tcp::socket& socket() {
        if constexpr (kTls) {
            return stream_.next_layer();
        } else {
            return stream_;
        }
    }

    // Cancels the step in progress when `d` passes.
    void arm(std::chrono::milliseconds d) {
        timed_out_ = false;
        const unsigned generation = ++generation_;
        timer_.expires_after(d);
        timer_.async_wait([self = this->shared_from_this(), generation](error_code ec) {
            if (ec || generation != self->generation_) return;
            self->timed_out_ = true;
            error_code ignored;
            self->socket().cancel(ignored);
        });
    }

    void disarm() {
        ++generation_;
        timer_.cancel();
    }

    // Tells the server whether this connection waits for a request head.
    void waiting(bool w) {
        if (w == waiting_) return;
        waiting_ = w;
        server_.idle(this, w);
    }

    void readHead() {
        if (stop_ || server_.stopping) return close();
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(config_.max_header));
        parser_->body_limit(config_.max_body);
        head_.clear();
        arm(requests_ == 0 ? config_.head_timeout : config_.keep_alive);
        waiting(true);
        parseHead();
    }

    // Parses the head from what has been read, and reads more while it is
    // incomplete. The head is read here rather than by Beast's read_header so
    // that its raw bytes can be checked (Beast unfolds folded lines silently).
    void parseHead() {
        if (buffer_.size() > 0) {
            error_code ec;
            const size_t n = parser_->put(buffer_.data(), ec);
            head_.append(static_cast<const char*>(buffer_.data().data()), n);
            buffer_.consume(n);
            if (ec != http::error::need_more) return onHead(ec);
        }
        cancellable_ = true;
        stream_.async_read_some(
            buffer_.prepare(kHeadReadSize), [self = this->shared_from_this()](error_code ec, size_t n) {
                self->cancellable_ = false;
                self->buffer_.commit(n);
                if (self->evicted_) return self->evicted();
                if (!ec) return self->parseHead();
                if (ec == net::error::eof || ec == net::ssl::error::stream_truncated) {
                    // Nothing at all is a client that is done; part of a head is not.
                    const bool nothing = self->buffer_.size() == 0 && self->head_.empty();
                    ec = nothing ? http::error::end_of_stream : http::error::partial_message;
                }
                self->onHead(ec);
            });
    }

    void onHead(error_code ec) {
        cancellable_ = false;
        disarm();
        if (ec) {
            if (!timed_out_ && !stop_ && ec != http::error::end_of_stream &&
                ec.category() == http::make_error_code(http::error::partial_message).category()) {
                server_.framingRefused();
            }
            return failed(ec, true);
        }
        waiting(false);
        if (const int status = framingFault(head_, *parser_)) {
            server_.framingRefused();
            return refuse(status);
        }
        const auto& req = parser_->get();
        if (parser_->is_done()) return dispatch();
        if (beast::iequals(req[http::field::expect], "100-continue")) {
            return write("HTTP/1.1 100 Continue\r\n\r\n", [](Connection& c) { c.readBody(); });
        }
        readBody();
    }

    void readBody() {
        arm(config_.body_timeout);
        cancellable_ = true;
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](error_code ec, size_t) { self->onBody(ec); });
    }

    void onBody(error_code ec) {
        cancellable_ = false;
        disarm();
        if (ec) return failed(ec, false);
        dispatch();
    }

    void failed(error_code ec, bool in_head) {
        if (timed_out_) {
            // Nothing of a next request yet: an idle connection simply ends.
            if (in_head && buffer_.size() == 0 && head_.empty()) return close();
            return refuse(408);
        }
        if (stop_ || ec == http::error::end_of_stream) return close();
        if (ec == http::error::header_limit) return refuse(431);
        if (ec == http::error::body_limit) return refuse(413);
        if (ec.category() == http::make_error_code(http::error::partial_message).category()) {
            return refuse(400);  // includes a message cut short by the client's half-close
        }
        close();  // the connection itself failed
    }

    void dispatch() {
        ++requests_;
        auto msg = parser_->release();
        const bool keep = msg.keep_alive() && requests_ < config_.keep_alive_requests;
        const bool head = msg.method() == http::verb::head;
        Request req{std::string(msg.method_string()), std::string(msg.target()),
                    std::string(msg[http::field::content_type]), std::move(msg.body()),
                    server_.clientOf(peer_, msg.base())};
        if (auto answer = server_.operations(req)) return respond(*answer, keep, head);
        net::post(workers_, [self = this->shared_from_this(), req = std::move(req), keep, head]() mutable {
            // The answer goes back to the connection's strand, whichever thread gives it. A fetch
            // that waits leaves this worker at once and is answered from the service's threads.
            auto answered = std::make_shared<std::atomic<bool>>(false);
            auto reply = [self, keep, head, answered](Answer answer) {
                if (answered->exchange(true)) return;
                net::post(self->socket().get_executor(), [self, answer = std::move(answer), keep, head] {
                    self->respond(answer, keep, head);
                });
            };
            try {
                handle(self->server_.service, self->config_, req, reply);
            } catch (const std::exception&) {
                reply(Answer{500, Service::error(kInternal, vela::wire::kMsgInternal).body});
            }
        });
    }

    void respond(const Answer& answer, bool keep, bool head) {
        server_.counted(answer.status);
        keep = keep && !stop_ && !server_.stopping;
        if (keep) return write(serialize(answer, true, head, config_), [](Connection& c) { c.readHead(); });
        write(serialize(answer, false, head, config_), [](Connection& c) { c.linger(); });
    }

    void refuse(int status) {
        server_.counted(status);
        const Answer answer = refusal(status);
        if (config_.verbose) {
            std::fprintf(stderr, "asr-server: refused -> %d %s\n", status, answer.body.c_str());
        }
        write(serialize(answer, false, false, config_), [](Connection& c) { c.linger(); });
    }

    void write(std::string text, void (*next)(Connection&)) {
        out_ = std::move(text);
        arm(config_.write_timeout);
        net::async_write(stream_, net::buffer(out_),
                         [self = this->shared_from_this(), next](error_code ec, size_t) {
                             self->disarm();
                             if (ec) return self->close();
                             next(*self);
                         });
    }

    // After a final reply: stop sending and read what the client still sends
    // (for a short while), so that closing does not reset the connection before
    // the client has read the reply.
    void linger() {
        error_code ignored;
        socket().shutdown(tcp::socket::shutdown_send, ignored);
        if (stop_) return close();
        lingering_ = true;  // may be closed at once to make room
        server_.idle(this, true);
        arm(kLinger);
        drain();
    }

    // Made room for a new connection: says so and closes.
    void evicted() {
        disarm();
        server_.counted(408);
        write(serialize(refusal(408), false, false, config_), [](Connection& c) { c.close(); });
    }

    void drain() {
        cancellable_ = true;
        socket().async_read_some(net::buffer(scratch_),
                                 [self = this->shared_from_this()](error_code ec, size_t n) {
                                     self->cancellable_ = false;
                                     self->drained_ += n;
                                     if (ec || self->timed_out_ || self->drained_ > kLingerBytes)
                                         return self->close();
                                     self->drain();
                                 });
    }

    void close() {
        disarm();
        error_code ignored;
        socket().shutdown(tcp::socket::shutdown_both, ignored);
        socket().close(ignored);
    }

    HttpServer::Impl& server_;
    const HttpConfig& config_;
    net::thread_pool& workers_;
    const net::ip::address peer_;
    Stream stream_;
    net::steady_timer timer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::string head_;  // raw bytes of the request head parsed so far
    std::string out_;
    char scratch_[4096];
    size_t drained_ = 0;
    size_t requests_ = 0;
    unsigned generation_ = 0;
    bool timed_out_ = false;
    bool cancellable_ = false;  // a read is in progress that stop() may cut short
    bool stop_ = false;
    bool waiting_ = false;    // for a TLS handshake or a request head
    bool lingering_ = false;  // after the last reply
    bool evicted_ = false;
};

}  // namespace

bool HttpServer::Impl::start(std::string& error, int& port) {
    if (config.tls_cert.empty() != config.tls_key.empty()) {
        error = "TLS needs both a certificate and a key";
        return false;
    }
    if (!config.tls_cert.empty()) {
        tls = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
        tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                         net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                         net::ssl::context::no_tlsv1_1);
        error_code ec;
        tls->use_certificate_chain_file(config.tls_cert, ec);
        if (ec) {
            error = "cannot use certificate " + config.tls_cert + ": " + ec.message();
            return false;
        }
        tls->use_private_key_file(config.tls_key, net::ssl::context::pem, ec);
        if (ec) {
            error = "cannot use key " + config.tls_key + ": " + ec.message();
            return false;
        }
    }

    error_code ec;
    tcp::resolver resolver(ioc_);
    const auto endpoints = resolver.resolve(config.host, std::to_string(config.port),
                                            tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (!ec && !endpoints.empty()) {
        const tcp::endpoint endpoint = endpoints.begin()->endpoint();
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec) acceptor_.bind(endpoint, ec);
        if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
        if (!ec) port = acceptor_.local_endpoint(ec).port();
    }
    if (ec || endpoints.empty()) {
        error = "cannot listen on " + config.host + ":" + std::to_string(config.port);
        return false;
    }

    for (const std::string& proxy : config.trusted_proxies) {
        const net::ip::address a = net::ip::make_address(proxy, ec);
        if (ec) {
            error = "invalid proxy address " + proxy;
            return false;
        }
        trusted_.push_back(canonical(a));
    }

    pool_ = std::make_unique<net::thread_pool>(config.threads == 0 ? 1 : config.threads);
    accept();
    const size_t n = config.io_threads == 0 ? 1 : config.io_threads;
    for (size_t i = 0; i < n; ++i) io_threads_.emplace_back([this] { ioc_.run(); });
    return true;
}

void HttpServer::Impl::accept() {
    acceptor_.async_accept(net::make_strand(ioc_), [this](error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || stopping) return;
        if (ec) {
            // Out of descriptors, most likely: try again shortly rather than spin.
            retry_.expires_after(std::chrono::milliseconds(50));
            retry_.async_wait([this](error_code wait_ec) {
                if (!wait_ec && !stopping) accept();
            });
            return;
        }
        serve(std::move(socket));
        accept();
    });
}

void HttpServer::Impl::serve(tcp::socket socket) {
    error_code ec;
    const tcp::endpoint endpoint = socket.remote_endpoint(ec);
    if (ec) return;
    const net::ip::address peer = canonical(endpoint.address());
    if (!admit(peer)) {
        // Over a connection limit: say so if the socket takes it at once, then close.
        if (!tls) {
            counted(503);
            const std::string text = serialize(refusal(503), false, false, config);
            socket.non_blocking(true, ec);
            socket.write_some(net::buffer(text), ec);
        }
        socket.shutdown(tcp::socket::shutdown_both, ec);
        socket.close(ec);
        return;
    }
    socket.set_option(tcp::no_delay(true), ec);
    if (tls) {
        auto conn = std::make_shared<Connection<true>>(*this, *pool_, peer, std::move(socket), *tls);
        added(conn.get(), conn);
        conn->start();
    } else {
        auto conn = std::make_shared<Connection<false>>(*this, *pool_, peer, std::move(socket));
        added(conn.get(), conn);
        conn->start();
    }
}

bool HttpServer::Impl::admit(const net::ip::address& peer) {
    std::shared_ptr<ConnectionBase> victim;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t& from_peer = per_client_[peer];
        // Connections already asked to close do not count: they are on their way out.
        const bool full = open_ - evicting_ >= config.max_connections;
        if (from_peer >= config.max_per_client || (full && idle_.empty())) {
            if (from_peer == 0) per_client_.erase(peer);
            ++stats_.connections_refused;
            return false;
        }
        if (full) {
            // The one that has sent no request head for the longest makes room.
            const auto oldest = idle_.begin();
            Slot& slot = live_.at(oldest->second);
            idle_.erase(oldest);
            slot.idle = false;
            slot.evicting = true;
            ++evicting_;
            ++stats_.connections_evicted;
            victim = slot.conn.lock();  // none: it is being released already
        }
        ++open_;
        ++from_peer;
    }
    if (victim) victim->evict();
    return true;
}

void HttpServer::Impl::added(ConnectionBase* key, std::weak_ptr<ConnectionBase> c) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Waits for its first request head from now on; slots are added in the order of acceptance.
    const TimePoint now = std::chrono::steady_clock::now();
    live_.emplace(key, Slot{std::move(c), now, true, false});
    idle_.emplace(now, key);
}

void HttpServer::Impl::idle(ConnectionBase* key, bool idle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = live_.find(key);
    if (it == live_.end() || it->second.evicting || it->second.idle == idle) return;
    Slot& slot = it->second;
    if (idle) {
        slot.idle_since = std::chrono::steady_clock::now();
        idle_.emplace(slot.idle_since, key);
    } else {
        idle_.erase({slot.idle_since, key});
    }
    slot.idle = idle;
}

void HttpServer::Impl::evictionFailed(ConnectionBase* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = live_.find(key);
    if (it == live_.end() || !it->second.evicting) return;
    it->second.evicting = false;
    --evicting_;
    --stats_.connections_evicted;
}

void HttpServer::Impl::counted(int status) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.replies[status];
}

void HttpServer::Impl::framingRefused() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.framing_refused;
}

std::string HttpServer::Impl::clientOf(const net::ip::address& peer,
                                       const http::request_header<>& req) const {
    if (std::find(trusted_.begin(), trusted_.end(), peer) == trusted_.end()) return peer.to_string();
    std::string named;
    split(std::string(req["X-Real-IP"]), ',', [&](const std::string& a) { named = a; });
    if (named.empty()) {
        // Each proxy appends the address it saw: the last entry is the one ours saw.
        const auto fields = req.equal_range("X-Forwarded-For");
        for (auto f = fields.first; f != fields.second; ++f) {
            split(std::string(f->value()), ',', [&](const std::string& a) { named = a; });
        }
    }
    error_code ec;
    const net::ip::address a = net::ip::make_address(named, ec);
    return ec ? peer.to_string() : canonical(a).to_string();
}

std::optional<Answer> HttpServer::Impl::operations(const Request& req) {
    if (req.method != "GET" && req.method != "HEAD") return std::nullopt;
    const std::string path = decodeUrl(req.target.substr(0, req.target.find('?')), false);
    if (path == config.path) return std::nullopt;
    if (path == "/healthz") {
        if (service.stats().accepting) return Answer{200, R"({"status":"ok"})"};
        return Answer{503, R"({"status":"draining"})"};
    }
    if (path == "/metrics") {
        HttpStats http;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            http = stats_;
            http.connections_open = open_;
        }
        return Answer{200, renderMetrics(service.stats(), http), kMetricsContentType};
    }
    return std::nullopt;
}

void HttpServer::Impl::release(ConnectionBase* key, const net::ip::address& peer) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto slot = live_.find(key);
    if (slot != live_.end()) {
        if (slot->second.idle) idle_.erase({slot->second.idle_since, key});
        if (slot->second.evicting) --evicting_;
        live_.erase(slot);
    }
    const auto it = per_client_.find(peer);
    if (it != per_client_.end() && --it->second == 0) per_client_.erase(it);
    if (--open_ == 0) drained_.notify_all();
}

void HttpServer::Impl::stop() {
    stopping = true;
    net::post(accept_strand_, [this] {
        error_code ignored;
        acceptor_.close(ignored);
        retry_.cancel();
    });
    std::vector<std::shared_ptr<ConnectionBase>> live;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& kv : live_) {
            if (auto c = kv.second.conn.lock()) live.push_back(std::move(c));
        }
    }
    for (auto& c : live) c->stop();
    live.clear();
    // The service is shut down, so requests in progress end soon; their replies are still written.
    if (pool_) pool_->join();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        drained_.wait_for(lock, kStopGrace, [this] { return open_ == 0; });
    }
    work_.reset();
    ioc_.stop();
    for (auto& t : io_threads_) t.join();
}

HttpServer::HttpServer(Service& service, const HttpConfig& config)
    : service_(service), config_(config), impl_(std::make_unique<Impl>(service_, config_)) {}

HttpServer::~HttpServer() { stop(); }

std::string HttpServer::url() const {
    const bool v6 = config_.host.find(':') != std::string::npos;
    return std::string(config_.tls_cert.empty() ? "http" : "https") + "://" +
           (v6 ? "[" + config_.host + "]" : config_.host) + ":" + std::to_string(port_) + config_.path;
}

bool HttpServer::start(std::string& error) {
    if (!impl_->start(error, port_)) {
        port_ = -1;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = true;
    }
    sweeper_ = std::thread([this] { sweepLoop(); });
    return true;
}

void HttpServer::sweepLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_requested_.wait_for(lock, config_.sweep_interval, [this] { return stopping_; })) {
        lock.unlock();
        service_.expireIdle();
        lock.lock();
    }
}

void HttpServer::stop() {
    bool started = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        started = started_;
    }
    stop_requested_.notify_all();
    service_.shutdown();  // waiting fetches return at once
    if (started) impl_->stop();
    if (sweeper_.joinable()) sweeper_.join();
}

}  // namespace asrserver
