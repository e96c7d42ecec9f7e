// The recognition protocol, independent of the HTTP library: one base path,
// POST to create a session (no "asr_audio" part) or to upload a packet
// ("asr_audio" part, query idx and sid), GET to fetch the session's result.
// Every reply is a JSON document whose "asr_param" holds "err_no" (0 on
// success, see ErrNo) and, on failure, "err_msg".
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/asr-server/multipart.h"
#include "server/asr-server/recognizer.h"
#include "server/asr-server/session.h"
#include "wire/vela_wire.h"

namespace asrserver {

using vela::wire::ErrNo;
using vela::wire::kBadPacket;
using vela::wire::kBadRequest;
using vela::wire::kInternal;
using vela::wire::kLimitReached;
using vela::wire::kOk;
using vela::wire::kStopping;
using vela::wire::kUnknownSession;

struct ServiceConfig {
    std::chrono::milliseconds hold{500};               // longest wait of a result fetch for new audio
    std::chrono::milliseconds session_timeout{30000};  // idle time after which a session is dropped
    size_t max_sessions = 1000;
    size_t max_sessions_per_client = 64;  // live sessions created by one client address
    size_t max_held_bytes = 256u << 20;   // audio held by all sessions together (see HeldAudio)
    // When set, every sid is this name, '.', and the random part, and a sid
    // naming another node is unknown here.
    std::string node;
    SessionLimits limits;
    size_t decode_threads = 0;  // threads decoding audio; 0: one per core
    // Audio received and not yet decoded, over all sessions, beyond which new
    // sessions are refused; 0: 60 s per decode thread.
    double max_backlog_s = 0;
};

struct ServiceStats {
    bool accepting = true;  // false while draining or stopped
    size_t live_sessions = 0;
    size_t decoders_busy = 0;
    size_t decoders_free = 0;
    size_t held_fetches = 0;      // result fetches parked, waiting for their answer
    double audio_received_s = 0;  // audio stored since start, seconds
    double audio_decoded_s = 0;   // audio fed to recognisers since start, seconds
    double decode_busy_s = 0;     // wall time spent decoding since start (real-time factor = busy / decoded)
    double backlog_s = 0;         // audio received and not yet decoded, over live sessions
    std::map<std::string, uint64_t> refused;  // refusals by reason: "sessions", "client_sessions", "backlog",
                                              // "session_audio", "session_length", "held_audio", "stopping"
    std::vector<double> final_latency_bounds;     // seconds (upper bounds of the histogram buckets)
    std::vector<uint64_t> final_latency_buckets;  // cumulative count per bound; the last element is +Inf
    double final_latency_sum_s = 0;  // time from a session's last audio packet to its final answer
    uint64_t final_latency_count = 0;
};

// Whether `name` can name a node: 1 to 32 of A-Z, a-z, 0-9, '_' and '-'.
bool validNodeName(const std::string& name);

using Query = std::multimap<std::string, std::string>;

struct Reply {
    int http_status = 200;
    std::string body;  // JSON
};

class Service {
  public:
    // Clock of the idle expiry; tests pass one they can move.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    Service(Recognizer& recognizer, const ServiceConfig& config,
            Clock clock = std::chrono::steady_clock::now);
    ~Service();

    // `parts` is the parsed multipart body; `body_ok` is false when the body
    // declared a multipart boundary but could not be split by it. `client`
    // names who asks (its address): it bounds the sessions one client may hold.
    Reply post(const Query& query, std::vector<FormPart> parts, bool body_ok,
               const std::string& client = std::string());
    // Result fetch: `done` gets the reply at once or, when the fetch must wait
    // for the session, later from another thread; nothing blocks meanwhile.
    using ReplyDone = std::function<void(Reply)>;
    void get(const Query& query, ReplyDone done);

    // Drops the sessions idle for longer than the session timeout and returns
    // their number; the others get their upkeep (Session::sweep).
    size_t expireIdle();
    // Bytes of audio held by all sessions (out-of-order packets, audio waiting for a decoder).
    size_t heldBytes() const { return held_->used(); }
    size_t sessionCount() const;
    // Requests in progress over all sessions (a held result fetch counts).
    size_t activeRequests() const;
    // Stops taking new sessions (creation answers err_no 6) and waits up to
    // `limit` for the live ones to have their final result answered; true
    // when they all did.
    bool drain(std::chrono::milliseconds limit);
    // Whether new sessions are taken: false once draining or stopped.
    bool accepting() const;
    bool draining() const { return !accepting(); }
    // Refuses further requests, answers every waiting fetch and stops the
    // decode threads (waiting a short while for a step in progress).
    void shutdown();
    // Decode threads shutdown() left behind, stuck in a recogniser.
    size_t stuckDecodeThreads() const;
    ServiceStats stats() const;

    static Reply error(ErrNo code, const std::string& message);

  private:
    struct Entry {
        std::shared_ptr<Session> session;
        std::chrono::steady_clock::time_point last_used;
        int active = 0;      // requests in progress
        std::string client;  // who created it
    };
    class Use;  // marks a session busy for one request

    Reply create(const Query& query, const std::string& client);
    Reply upload(const Query& query, FormPart& audio);
    std::string newSid();
    bool isOtherNode(const std::string& sid) const;
    Reply refuse(const char* reason, ErrNo code, const std::string& message);

    Recognizer& recognizer_;
    const ServiceConfig config_;
    const Clock clock_;
    const std::shared_ptr<HeldAudio> held_;
    const std::shared_ptr<SessionRuntime> runtime_;
    const double max_backlog_s_;

    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> sessions_;
    bool stopping_ = false;
    bool draining_ = false;
    size_t stuck_ = 0;
    mutable std::mutex refused_mutex_;
    std::map<std::string, uint64_t> refused_;
};

}  // namespace asrserver
