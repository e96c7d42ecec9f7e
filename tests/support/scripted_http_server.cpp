#include "scripted_http_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "temp_dir.h"

namespace vela_test {

namespace {

bool sameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

std::string trimmed(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Splits "a; b=\"x;y\"; c" at semicolons outside quotation marks.
std::vector<std::string> splitParams(const std::string& value) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false;
    for (char c : value) {
        if (c == '"') quoted = !quoted;
        if (c == ';' && !quoted) {
            out.push_back(trimmed(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(trimmed(cur));
    return out;
}

// Value of parameter `key` in a header value such as `form-data; name="x"`.
bool paramValue(const std::string& value, const std::string& key, std::string* out) {
    std::vector<std::string> params = splitParams(value);
    for (size_t i = 1; i < params.size(); ++i) {
        size_t eq = params[i].find('=');
        if (eq == std::string::npos || !sameName(trimmed(params[i].substr(0, eq)), key)) continue;
        std::string v = trimmed(params[i].substr(eq + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        *out = v;
        return true;
    }
    return false;
}

void fillFromDisposition(FormPart* part) {
    part->disposition_type = trimmed(splitParams(part->disposition).front());
    paramValue(part->disposition, "name", &part->name);
    part->has_filename = paramValue(part->disposition, "filename", &part->filename);
}

// Parses a multipart body whose boundary is given in `content_type`.
std::vector<FormPart> parseMultipart(const std::string& body, const std::string& content_type) {
    std::vector<FormPart> parts;
    std::string boundary;
    if (!paramValue(content_type, "boundary", &boundary) || boundary.empty()) return parts;
    const std::string delim = "--" + boundary;
    size_t pos = body.find(delim);
    if (pos == std::string::npos) return parts;
    pos += delim.size();
    while (pos < body.size() && body.compare(pos, 2, "--") != 0) {
        if (body.compare(pos, 2, "\r\n") == 0) pos += 2;
        size_t head_end = body.find("\r\n\r\n", pos);
        if (head_end == std::string::npos) break;
        FormPart part;
        size_t line_start = pos;
        while (line_start < head_end) {
            size_t line_end = body.find("\r\n", line_start);
            if (line_end == std::string::npos || line_end > head_end) line_end = head_end;
            std::string line = body.substr(line_start, line_end - line_start);
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                part.headers.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
            }
            line_start = line_end + 2;
        }
        for (const auto& h : part.headers) {
            if (sameName(h.first, "Content-Disposition") && part.disposition.empty())
                part.disposition = h.second;
            if (sameName(h.first, "Content-Type") && part.content_type.empty()) part.content_type = h.second;
        }
        fillFromDisposition(&part);
        size_t data_start = head_end + 4;
        size_t next = body.find("\r\n" + delim, data_start);
        if (next == std::string::npos) break;
        part.data = body.substr(data_start, next - data_start);
        parts.push_back(std::move(part));
        pos = next + 2 + delim.size();
    }
    return parts;
}

// Port of a socket's address (local or peer), or -1.
int portOf(int fd, bool peer) {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    int rc = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len)
                  : getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    if (rc != 0 || addr.ss_family != AF_INET) return -1;
    return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

// Shuts down the server side of the connection from `remote_port` to
// `local_port` (of every connection to `local_port` when `remote_port` is -1),
// so that the client sees it closed without an answer. The descriptor itself
// stays with the server library, which closes it.
void dropConnection(int local_port, int remote_port) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return;
    std::vector<int> fds;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') fds.push_back(std::atoi(entry->d_name));
    }
    closedir(dir);
    for (int fd : fds) {
        const int peer = portOf(fd, true);
        if (portOf(fd, false) == local_port && peer > 0 && (remote_port == -1 || peer == remote_port)) {
            shutdown(fd, SHUT_RDWR);
        }
    }
}

bool readAll(int fd, std::string* out, size_t want) {
    char buf[4096];
    while (out->size() < want) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return false;
        out->append(buf, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

int unusedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) port = portOf(fd, false);
    if (fd >= 0) close(fd);
    return port;
}

// ------------------------------------------------------------ RecordedRequest

bool RecordedRequest::hasHeader(const std::string& name) const { return headerCount(name) > 0; }

size_t RecordedRequest::headerCount(const std::string& name) const {
    size_t n = 0;
    for (const auto& h : headers) n += sameName(h.first, name) ? 1 : 0;
    return n;
}

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& h : headers) {
        if (sameName(h.first, name)) return h.second;
    }
    return "";
}

const FormPart* RecordedRequest::part(const std::string& name) const {
    for (const FormPart& p : parts) {
        if (p.name == name) return &p;
    }
    return nullptr;
}

// ---------------------------------------------------------------------- Gate

void Gate::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
}

bool Gate::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

void Gate::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    cv_.notify_all();
}

void Gate::wait(const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_ || stop.load(); });
    --waiting_;
    cv_.notify_all();
}

int Gate::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

bool Gate::waitForWaiting(int n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return waiting_ >= n; });
}

// --------------------------------------------------------------------- Reply

Reply Reply::json(std::string body, int status) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

Reply Reply::withStatus(int status, std::string body) { return json(std::move(body), status); }

Reply Reply::dropped() {
    Reply r;
    r.drop = true;
    return r;
}

Reply Reply::redirectTo(std::string location, int status) {
    Reply r = withStatus(status);
    r.headers.emplace_back("Location", std::move(location));
    return r;
}

Reply Reply::after(std::chrono::milliseconds d) const {
    Reply r = *this;
    r.delay = d;
    return r;
}

Reply Reply::heldBy(std::shared_ptr<Gate> g) const {
    Reply r = *this;
    r.gate = std::move(g);
    return r;
}

// ------------------------------------------------------------------ Matchers

Matcher anyRequest() {
    return [](const RecordedRequest&) { return true; };
}
Matcher methodIs(std::string method) {
    return [method](const RecordedRequest& r) { return r.method == method; };
}
Matcher pathIs(std::string path) {
    return [path](const RecordedRequest& r) { return r.path == path; };
}
Matcher queryContains(std::string text) {
    return [text](const RecordedRequest& r) { return r.query.find(text) != std::string::npos; };
}
Matcher hasPart(std::string name) {
    return [name](const RecordedRequest& r) { return r.part(name) != nullptr; };
}
Matcher allOf(std::vector<Matcher> matchers) {
    return [matchers](const RecordedRequest& r) {
        for (const Matcher& m : matchers) {
            if (!m(r)) return false;
        }
        return true;
    };
}

// -------------------------------------------------------- ScriptedHttpServer

namespace {

// A self-signed certificate for 127.0.0.1 and its key.
struct SelfSigned {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    ~SelfSigned() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

bool makeSelfSigned(SelfSigned* out) {
    out->key = EVP_EC_gen("P-256");
    out->cert = X509_new();
    if (out->key == nullptr || out->cert == nullptr) return false;
    X509* cert = out->cert;
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, out->key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"),
                               -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    const char* extensions[][2] = {{"subjectAltName", "IP:127.0.0.1"},
                                   {"basicConstraints", "critical,CA:TRUE"},
                                   {"keyUsage", "digitalSignature,keyCertSign"}};
    for (const auto& e : extensions) {
        X509_EXTENSION* ext = X509V3_EXT_conf(nullptr, &ctx, e[0], e[1]);
        if (ext == nullptr) return false;
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
    return X509_sign(cert, out->key, EVP_sha256()) > 0;
}

std::string writeCertificate(X509* cert) {
    std::string path = processTempDir() + "cert-XXXXXX.pem";
    int fd = mkstemps(&path[0], 4);
    if (fd < 0) return "";
    FILE* f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        return "";
    }
    PEM_write_X509(f, cert);
    fclose(f);
    return path;
}

}  // namespace

class ScriptedHttpServer::Impl {
  public:
    explicit Impl(bool tls) {
        if (!tls) {
            server.reset(new httplib::Server);
            return;
        }
        if (!makeSelfSigned(&identity)) {
            std::fprintf(stderr, "ScriptedHttpServer: cannot make a certificate\n");
            std::abort();
        }
        server.reset(new httplib::SSLServer(identity.cert, identity.key));
    }
    SelfSigned identity;
    std::unique_ptr<httplib::Server> server;
    // Gates that held replies are waiting at, woken when the server stops.
    std::mutex gates_mutex;
    std::vector<std::weak_ptr<Gate>> gates;
};

ScriptedHttpServer::ScriptedHttpServer(size_t workers, bool tls) : impl_(new Impl(tls)), tls_(tls) {
    default_reply_ = Reply::withStatus(404);
    if (tls) cert_file_ = writeCertificate(impl_->identity.cert);
    httplib::Server& svr = *impl_->server;
    svr.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };

    auto serve = [this](const httplib::Request& req, httplib::Response& res, std::string body,
                        std::vector<FormPart> parts) {
        RecordedRequest rec;
        rec.method = req.method;
        rec.target = req.target;
        size_t q = req.target.find('?');
        rec.path = req.target.substr(0, q);
        rec.query = q == std::string::npos ? "" : req.target.substr(q + 1);
        for (const auto& h : req.headers) {
            // The library adds the connection's addresses as pseudo headers.
            if (h.first == "REMOTE_ADDR" || h.first == "REMOTE_PORT" || h.first == "LOCAL_ADDR" ||
                h.first == "LOCAL_PORT") {
                continue;
            }
            rec.headers.emplace_back(h.first, h.second);
        }
        rec.body = std::move(body);
        rec.parts = parts.empty() ? parseMultipart(rec.body, rec.header("Content-Type")) : std::move(parts);
        record(rec);

        Reply reply = answerFor(rec);
        if (reply.gate) {
            {
                std::lock_guard<std::mutex> lock(impl_->gates_mutex);
                impl_->gates.push_back(reply.gate);
            }
            reply.gate->wait(stopping_);
        }
        if (reply.delay.count() > 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait_for(lock, reply.delay, [this] { return stopping_.load(); });
        }
        if (reply.drop) {
            dropConnection(port_, req.remote_port);
        } else {
            res.status = reply.status;
            for (const auto& h : reply.headers) res.set_header(h.first.c_str(), h.second);
            res.set_content(reply.body, reply.content_type.c_str());
        }
        answered();
    };

    auto with_body = [serve](const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader& reader) {
        std::string body;
        std::vector<FormPart> parts;
        if (req.is_multipart_form_data()) {
            // The library parses these itself; rebuild the parts from its view.
            reader(
                [&parts](const httplib::MultipartFormData& f) {
                    FormPart p;
                    p.name = f.name;
                    p.has_filename = !f.filename.empty();
                    p.filename = f.filename;
                    p.content_type = f.content_type;
                    p.disposition_type = "form-data";
                    parts.push_back(std::move(p));
                    return true;
                },
                [&parts](const char* data, size_t len) {
                    parts.back().data.append(data, len);
                    return true;
                });
        } else {
            reader([&body](const char* data, size_t len) {
                body.append(data, len);
                return true;
            });
        }
        serve(req, res, std::move(body), std::move(parts));
    };
    auto without_body = [serve](const httplib::Request& req, httplib::Response& res) {
        serve(req, res, req.body, {});
    };

    svr.Get(".*", without_body);
    svr.Options(".*", without_body);
    svr.Post(".*", with_body);
    svr.Put(".*", with_body);
    svr.Patch(".*", with_body);
    svr.Delete(".*", with_body);

    port_ = svr.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        std::fprintf(stderr, "ScriptedHttpServer: cannot bind 127.0.0.1\n");
        std::abort();
    }
    listener_ = std::thread([this] { impl_->server->listen_after_bind(); });
    // stop() only works once the accept loop runs.
    for (int i = 0; !svr.is_running(); ++i) {
        if (i > 10000) {
            std::fprintf(stderr, "ScriptedHttpServer: accept loop did not start\n");
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

ScriptedHttpServer::~ScriptedHttpServer() {
    stopping_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cv_.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(impl_->gates_mutex);
        for (auto& weak : impl_->gates) {
            if (auto gate = weak.lock()) gate->wake();
        }
    }
    impl_->server->stop();
    // Clients keep connections open now; without this every kept-alive
    // connection would hold its worker for the library's keep-alive time-out.
    dropConnection(port_, -1);
    listener_.join();
    if (!cert_file_.empty()) unlink(cert_file_.c_str());
}

std::string ScriptedHttpServer::url(const std::string& path) const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

void ScriptedHttpServer::on(Matcher match, Reply reply, int times) {
    on(std::move(match), Responder([reply](const RecordedRequest&) { return reply; }), times);
}

void ScriptedHttpServer::on(Matcher match, Responder responder, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back(Rule{std::move(match), std::move(responder), times});
}

void ScriptedHttpServer::enqueue(Reply reply) { on(anyRequest(), std::move(reply), 1); }

void ScriptedHttpServer::setDefaultReply(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    default_reply_ = std::move(reply);
}

void ScriptedHttpServer::clearScript() {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
}

Reply ScriptedHttpServer::answerFor(const RecordedRequest& req) {
    Responder respond;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Rule& rule : rules_) {
            if (rule.remaining == 0 || !rule.match(req)) continue;
            if (rule.remaining > 0) --rule.remaining;
            respond = rule.respond;
            break;
        }
        if (!respond) return default_reply_;
    }
    return respond(req);
}

void ScriptedHttpServer::record(const RecordedRequest& req) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(req);
    cv_.notify_all();
}

void ScriptedHttpServer::answered() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++answers_;
    cv_.notify_all();
}

std::vector<RecordedRequest> ScriptedHttpServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t ScriptedHttpServer::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

bool ScriptedHttpServer::waitForRequests(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
}

bool ScriptedHttpServer::waitForAnswers(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return answers_ >= n; });
}

void ScriptedHttpServer::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    answers_ = 0;
}

// ------------------------------------------------------------ RawHttpCapture

RawHttpCapture::RawHttpCapture(int status, std::string body) : status_(status), body_(std::move(body)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listen_fd_, 16) != 0) {
        std::fprintf(stderr, "RawHttpCapture: cannot listen on 127.0.0.1\n");
        std::abort();
    }
    port_ = portOf(listen_fd_, false);
    thread_ = std::thread([this] { serve(); });
}

RawHttpCapture::~RawHttpCapture() {
    stopping_ = true;
    shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    close(listen_fd_);
}

std::string RawHttpCapture::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void RawHttpCapture::serve() {
    while (!stopping_) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (stopping_) break;
            continue;
        }
        handle(fd);
        close(fd);
    }
}

void RawHttpCapture::handle(int fd) {
    std::string data;
    size_t head_end;
    char buf[4096];
    while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return;
        data.append(buf, static_cast<size_t>(n));
    }
    Exchange ex;
    ex.head = data.substr(0, head_end + 4);
    std::string rest = data.substr(head_end + 4);
    size_t length = 0;
    for (const std::string& line : ex.headerLines()) {
        size_t colon = line.find(':');
        if (colon != std::string::npos && sameName(trimmed(line.substr(0, colon)), "Content-Length")) {
            length = std::strtoul(line.c_str() + colon + 1, nullptr, 10);
        }
    }
    readAll(fd, &rest, length);
    ex.body = rest;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exchanges_.push_back(ex);
    }
    std::string answer =
        "HTTP/1.1 " + std::to_string(status_) + " Scripted\r\nContent-Type: application/json\r\n" +
        "Content-Length: " + std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" + body_;
    send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
}

std::vector<RawHttpCapture::Exchange> RawHttpCapture::exchanges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return exchanges_;
}

std::vector<std::string> RawHttpCapture::Exchange::headerLines() const {
    std::vector<std::string> lines;
    size_t start = head.find("\r\n");
    while (start != std::string::npos) {
        start += 2;
        size_t end = head.find("\r\n", start);
        if (end == std::string::npos || end == start) break;
        lines.push_back(head.substr(start, end - start));
        start = end;
    }
    return lines;
}

}  // namespace vela_test
