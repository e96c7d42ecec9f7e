#include "server/asr-server/http_server.h"

#include <httplib.h>

#include <cstdio>

namespace asrserver {

namespace {

// cpp-httplib matches routes as regular expressions; the path is literal.
std::string literalPattern(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

Query queryOf(const httplib::Request& req) { return Query(req.params.begin(), req.params.end()); }

void send(httplib::Response& res, const Reply& reply) {
    res.status = reply.http_status;
    res.set_content(reply.body, "application/json");
}

}  // namespace

HttpServer::HttpServer(Service& service, const HttpConfig& config)
    : service_(service), config_(config), server_(std::make_unique<httplib::Server>()) {}

HttpServer::~HttpServer() { stop(); }

std::string HttpServer::url() const {
    const bool v6 = config_.host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + config_.host + "]" : config_.host) + ":" + std::to_string(port_) +
           config_.path;
}

bool HttpServer::start(std::string& error) {
    httplib::Server& s = *server_;
    const size_t threads = config_.threads == 0 ? 1 : config_.threads;
    s.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    s.set_payload_max_length(config_.max_body);
    s.set_keep_alive_timeout(1);  // bounds how long stop() waits for idle connections

    const std::string pattern = literalPattern(config_.path);
    s.Post(pattern, [this](const httplib::Request& req, httplib::Response& res) {
        std::vector<FormPart> parts;
        bool body_ok = true;
        if (req.is_multipart_form_data()) {
            // A standard form post, already split by the library.
            for (const auto& kv : req.files) {
                parts.push_back(
                    FormPart{kv.second.name, kv.second.filename, kv.second.content_type, kv.second.content});
            }
        } else {
            const std::string boundary = boundaryOf(req.get_header_value("Content-Type"));
            if (!boundary.empty()) body_ok = parseMultipart(req.body, boundary, parts);
        }
        send(res, service_.post(queryOf(req), std::move(parts), body_ok));
    });
    s.Get(pattern, [this](const httplib::Request& req, httplib::Response& res) {
        send(res, service_.get(queryOf(req)));
    });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        const ErrNo code = res.status == 413 ? kLimitReached : kBadRequest;
        const Reply reply = Service::error(code, "HTTP " + std::to_string(res.status));
        res.set_content(reply.body, "application/json");
    });
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        const Reply reply = Service::error(kInternal, "internal error");
        res.set_content(reply.body, "application/json");
    });
    if (config_.verbose) {
        s.set_logger([](const httplib::Request& req, const httplib::Response& res) {
            std::string target = req.path;
            if (!req.params.empty()) {
                char sep = '?';
                for (const auto& kv : req.params) {
                    target += sep + kv.first + "=" + kv.second;
                    sep = '&';
                }
            }
            std::fprintf(stderr, "asr-server: %s %s (%zu bytes) -> %d %s\n", req.method.c_str(),
                         target.c_str(), req.body.size(), res.status, res.body.c_str());
        });
    }

    if (config_.port == 0) {
        port_ = s.bind_to_any_port(config_.host);
    } else {
        port_ = s.bind_to_port(config_.host, config_.port) ? config_.port : -1;
    }
    if (port_ <= 0) {
        error = "cannot listen on " + config_.host + ":" + std::to_string(config_.port);
        return false;
    }
    listener_ = std::thread([this] {
        server_->listen_after_bind();
        listener_done_ = true;
    });
    // stop() only reaches a server that has entered its accept loop.
    while (!server_->is_running() && !listener_done_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    stop_requested_.notify_all();
    service_.shutdown();  // waiting fetches return at once
    server_->stop();
    if (listener_.joinable()) listener_.join();
    if (sweeper_.joinable()) sweeper_.join();
}

}  // namespace asrserver
