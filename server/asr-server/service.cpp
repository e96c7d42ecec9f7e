#include "server/asr-server/service.h"

#include <json/json.h>
#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace asrserver {

namespace wire = vela::wire;

namespace {

const std::string* param(const Query& query, const char* key) {
    const auto it = query.find(key);
    return it == query.end() ? nullptr : &it->second;
}

bool parseInt(const std::string* text, int& value) {
    if (text == nullptr || text->empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text->c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

// Compact JSON, UTF-8 kept as it is, fractions (the words' confidences, the
// alternatives' scores) to 4 decimal places.
std::string toJson(const Json::Value& value) {
    thread_local std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["emitUTF8"] = true;
        builder["precision"] = 4;
        builder["precisionType"] = "decimal";
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::ostringstream out;
    writer->write(value, &out);
    return out.str();
}

// The words of a result, times from the start of the session's audio.
Json::Value wordsJson(const std::vector<Word>& words) {
    Json::Value out(Json::arrayValue);
    for (const Word& w : words) {
        Json::Value& v = out.append(Json::Value(Json::objectValue));
        v["word"] = w.word;
        v["start_ms"] = w.start_ms;
        v["end_ms"] = w.end_ms;
        v["conf"] = static_cast<double>(w.conf);
    }
    return out;
}

Json::Value alternativesJson(const std::vector<Alternative>& alternatives) {
    Json::Value out(Json::arrayValue);
    for (const Alternative& a : alternatives) {
        Json::Value& v = out.append(Json::Value(Json::objectValue));
        v["text"] = a.text;
        v["score"] = a.score;
    }
    return out;
}

Reply ok(Json::Value root) {
    root[wire::kParamKey][wire::kErrNoKey] = kOk;
    return Reply{200, toJson(root)};
}

}  // namespace

// Holds a session for one request, so that idle expiry leaves it alone meanwhile.
class Service::Use {
  public:
    Use(Service& service, const std::string& sid) : service_(service), sid_(sid) {
        std::lock_guard<std::mutex> lock(service_.mutex_);
        if (service_.stopping_) return;
        const auto it = service_.sessions_.find(sid);
        if (it == service_.sessions_.end()) return;
        ++it->second.active;
        it->second.last_used = service_.clock_();
        session_ = it->second.session;
    }
    ~Use() {
        if (!session_) return;
        std::lock_guard<std::mutex> lock(service_.mutex_);
        const auto it = service_.sessions_.find(sid_);
        if (it == service_.sessions_.end() || it->second.session != session_) return;
        --it->second.active;
        it->second.last_used = service_.clock_();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    Session* get() const { return session_.get(); }

  private:
    Service& service_;
    const std::string sid_;
    std::shared_ptr<Session> session_;
};

bool validNodeName(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    for (const char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    }
    return true;
}

namespace {

size_t decodeThreads(size_t configured) {
    if (configured != 0) return configured;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

}  // namespace

Service::Service(Recognizer& recognizer, const ServiceConfig& config, Clock clock)
    : recognizer_(recognizer),
      config_(config),
      clock_(std::move(clock)),
      held_(std::make_shared<HeldAudio>(config.max_held_bytes)),
      runtime_(SessionRuntime::create(decodeThreads(config.decode_threads))),
      max_backlog_s_(config.max_backlog_s > 0 ? config.max_backlog_s : 60.0 * runtime_->threads()) {}

Service::~Service() { shutdown(); }

Reply Service::error(ErrNo code, const std::string& message) {
    Json::Value root;
    root[wire::kParamKey][wire::kErrNoKey] = code;
    root[wire::kParamKey][wire::kErrMsgKey] = message;
    return Reply{200, toJson(root)};
}

Reply Service::post(const Query& query, std::vector<FormPart> parts, bool body_ok,
                    const std::string& client) {
    const auto audio = std::find_if(parts.begin(), parts.end(),
                                    [](const FormPart& p) { return p.name == wire::kAudioPart; });
    const bool has_audio = audio != parts.end();
    const std::string* idx = param(query, "idx");
    const bool is_upload = has_audio || param(query, "sid") != nullptr || (idx != nullptr && *idx != "0");
    if (!is_upload) return create(query, client);  // whatever else the body holds
    if (!body_ok) return error(kBadRequest, wire::kMsgBadMultipart);
    if (!has_audio) return error(kBadRequest, wire::kMsgMissingAudio);
    return upload(query, *audio);
}

Reply Service::create(const Query& query, const std::string& client) {
    int rate = 16000;
    if (const std::string* text = param(query, "rate")) {
        int value = 0;
        if (!parseInt(text, value) || (value != 8 && value != 16 && value != 8000 && value != 16000)) {
            return error(kBadRequest, wire::kMsgBadRate);
        }
        rate = value == 8 || value == 8000 ? 8000 : 16000;
    }
    bool full;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || draining_) return refuse("stopping", kStopping, wire::kMsgStopping);
        full = sessions_.size() >= config_.max_sessions;
    }
    if (full) expireIdle();
    // The decoders are this far behind: a new session would only make every session later.
    const bool behind = runtime_->figures().backlog_s > max_backlog_s_;

    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || draining_) return refuse("stopping", kStopping, wire::kMsgStopping);
    if (sessions_.size() >= config_.max_sessions)
        return refuse("sessions", kLimitReached, wire::kMsgTooManySessions);
    // One client must not fill the table for everyone else; its finished
    // sessions, kept until they expire, do not count.
    const size_t mine =
        static_cast<size_t>(std::count_if(sessions_.begin(), sessions_.end(), [&](const auto& kv) {
            return kv.second.client == client && !kv.second.session->done();
        }));
    if (mine >= config_.max_sessions_per_client)
        return refuse("client_sessions", kLimitReached, wire::kMsgTooManySessions);
    if (behind) return refuse("backlog", kLimitReached, wire::kMsgTooManySessions);
    std::string sid = newSid();
    while (sessions_.count(sid) != 0) sid = newSid();
    Entry& entry = sessions_[sid];
    entry.session =
        std::make_shared<Session>(sid, rate, recognizer_, config_.limits, runtime_, held_, clock_);
    entry.last_used = clock_();
    entry.client = client;

    Json::Value root;
    root[wire::kParamKey][wire::kSidKey] = sid;
    return ok(root);
}

Reply Service::upload(const Query& query, FormPart& audio) {
    const std::string* sid = param(query, "sid");
    if (sid == nullptr || sid->empty()) return error(kBadRequest, wire::kMsgMissingSid);
    int idx = 0;
    if (!parseInt(param(query, "idx"), idx)) return error(kBadRequest, wire::kMsgBadIdx);
    if (isOtherNode(*sid)) return error(kUnknownSession, wire::kMsgUnknownSession);
    Use use(*this, *sid);
    if (use.get() == nullptr) return error(kUnknownSession, wire::kMsgUnknownSession);
    switch (use.get()->addPacket(idx, std::move(audio.data))) {
        case PacketResult::Accepted:
        case PacketResult::Duplicate:
        case PacketResult::AfterLast:
            return ok(Json::Value());
        case PacketResult::BadIndex:
            return error(kBadPacket, wire::kMsgBadPacket);
        case PacketResult::TooLarge:
            return refuse("session_audio", kLimitReached, wire::kMsgSessionAudio);
        case PacketResult::TooLong:
            return refuse("session_length", kLimitReached,
                          "limit reached: a session may carry at most " +
                              std::to_string(config_.limits.max_audio.count()) + " s of audio");
        case PacketResult::ServerFull:
            return refuse("held_audio", kLimitReached, wire::kMsgHeldAudio);
        case PacketResult::WrongRate:
            return error(kBadRequest, wire::kMsgWrongRate);
        case PacketResult::Closed:
            break;
    }
    return error(kUnknownSession, wire::kMsgUnknownSession);
}

void Service::get(const Query& query, ReplyDone done) {
    const std::string* sid = param(query, "sid");
    if (sid == nullptr || sid->empty()) return done(error(kBadRequest, wire::kMsgMissingSid));
    if (isOtherNode(*sid)) return done(error(kUnknownSession, wire::kMsgUnknownSession));
    // The session counts as in use until the fetch is answered.
    auto use = std::make_shared<Use>(*this, *sid);
    Session* session = use->get();
    if (session == nullptr) return done(error(kUnknownSession, wire::kMsgUnknownSession));
    const bool alternatives = recognizer_.nbest() > 0;
    session->fetch(std::chrono::steady_clock::now() + config_.hold,
                   [use = std::move(use), sid = *sid, done = std::move(done),
                    alternatives](const FetchResult& r) mutable {
                       use.reset();
                       if (r.closed) return done(error(kUnknownSession, wire::kMsgUnknownSession));
                       Json::Value root;
                       root[wire::kParamKey][wire::kStatusKey] =
                           r.final ? wire::kStatusFinal : wire::kStatusIntermediate;
                       Json::Value& content = root[wire::kContentKey];
                       content["text"] = r.text;
                       content["words"] = wordsJson(r.words);
                       if (r.final && alternatives)
                           content["alternatives"] = alternativesJson(r.alternatives);
                       content[wire::kSidKey] = sid;
                       content["packets"] = r.packets;
                       if (r.final) content["missing"] = r.missing;
                       done(ok(root));
                   });
}

Reply Service::refuse(const char* reason, ErrNo code, const std::string& message) {
    {
        std::lock_guard<std::mutex> lock(refused_mutex_);
        ++refused_[reason];
    }
    return error(code, message);
}

size_t Service::expireIdle() {
    std::vector<std::shared_ptr<Session>> dropped;
    std::vector<std::shared_ptr<Session>> kept;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = clock_();
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (it->second.active == 0 && now - it->second.last_used > config_.session_timeout) {
                dropped.push_back(std::move(it->second.session));
                it = sessions_.erase(it);
            } else {
                kept.push_back(it->second.session);
                ++it;
            }
        }
    }
    // Outside the store lock: both may give decoders back.
    for (const auto& s : dropped) s->close();
    for (const auto& s : kept) s->sweep();
    return dropped.size();
}

size_t Service::sessionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

size_t Service::activeRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& kv : sessions_) n += static_cast<size_t>(kv.second.active);
    return n;
}

bool Service::drain(std::chrono::milliseconds limit) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        draining_ = true;
    }
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        std::vector<std::shared_ptr<Session>> live;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& kv : sessions_) live.push_back(kv.second.session);
        }
        const bool finished = std::all_of(live.begin(), live.end(),
                                          [](const std::shared_ptr<Session>& s) { return s->done(); });
        if (finished) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool Service::accepting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !stopping_ && !draining_;
}

void Service::shutdown() {
    std::vector<std::shared_ptr<Session>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        for (auto& kv : sessions_) dropped.push_back(std::move(kv.second.session));
        sessions_.clear();
    }
    recognizer_.shutdown();
    for (const auto& s : dropped) s->close();
    dropped.clear();
    // A decode step normally ends within a second of audio; one stuck in a recogniser is left behind.
    const size_t stuck = runtime_->stop(std::chrono::milliseconds(500));
    std::lock_guard<std::mutex> lock(mutex_);
    stuck_ = stuck;
}

size_t Service::stuckDecodeThreads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stuck_;
}

ServiceStats Service::stats() const {
    ServiceStats st;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        st.accepting = !stopping_ && !draining_;
        st.live_sessions = sessions_.size();
    }
    {
        std::lock_guard<std::mutex> lock(refused_mutex_);
        st.refused = refused_;
    }
    const Recognizer::Decoders d = recognizer_.decoders();
    st.decoders_busy = d.busy;
    st.decoders_free = d.free;
    const SessionRuntime::Figures f = runtime_->figures();
    st.held_fetches = f.parked;
    st.audio_received_s = f.received_s;
    st.audio_decoded_s = f.decoded_s;
    st.decode_busy_s = f.busy_s;
    st.backlog_s = f.backlog_s;
    st.final_latency_bounds = LatencyHistogram::bounds();
    runtime_->latency().read(st.final_latency_buckets, st.final_latency_sum_s, st.final_latency_count);
    return st;
}

bool Service::isOtherNode(const std::string& sid) const {
    const size_t dot = sid.find('.');
    return dot != std::string::npos && (config_.node.empty() || sid.compare(0, dot, config_.node) != 0);
}

// The sid is a session's only credential: 128 bits from the kernel's
// cryptographic source, so that no number of sids seen predicts the next.
std::string Service::newSid() {
    static const char kHex[] = "0123456789abcdef";
    unsigned char bytes[16];
    for (size_t at = 0; at < sizeof bytes;) {
        const ssize_t n = getrandom(bytes + at, sizeof bytes - at, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("getrandom failed");
        at += static_cast<size_t>(n);
    }
    std::string sid = config_.node.empty() ? std::string() : config_.node + ".";
    for (const unsigned char b : bytes) {
        sid.push_back(kHex[b >> 4]);
        sid.push_back(kHex[b & 0xf]);
    }
    return sid;
}

}  // namespace asrserver
