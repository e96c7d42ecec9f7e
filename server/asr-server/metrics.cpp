#include "server/asr-server/metrics.h"

#include <cmath>
#include <cstdio>

namespace asrserver {

namespace {

std::string number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

class Exposition {
  public:
    // Starts a metric family: its help and type lines.
    void family(const char* name, const char* type, const char* help) {
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const std::string& name, double value, const std::string& labels = std::string()) {
        out_ += name + (labels.empty() ? "" : "{" + labels + "}") + " " + number(value) + "\n";
    }
    void single(const char* name, const char* type, const char* help, double value) {
        family(name, type, help);
        sample(name, value);
    }
    std::string& text() { return out_; }

  private:
    std::string out_;
};

}  // namespace

std::string renderMetrics(const ServiceStats& s, const HttpStats& h) {
    Exposition e;
    e.single("asr_accepting", "gauge", "1 while the server accepts new sessions, 0 while it drains.",
             s.accepting ? 1 : 0);
    e.single("asr_sessions_live", "gauge", "Sessions held now.", static_cast<double>(s.live_sessions));
    e.single("asr_decoders_busy", "gauge", "Decoders in use by a session.",
             static_cast<double>(s.decoders_busy));
    e.single("asr_decoders_free", "gauge", "Decoders ready for a session.",
             static_cast<double>(s.decoders_free));
    e.single("asr_held_fetches", "gauge", "Result fetches waiting for their answer.",
             static_cast<double>(s.held_fetches));
    e.single("asr_audio_received_seconds_total", "counter", "Audio stored since start, in seconds.",
             s.audio_received_s);
    e.single("asr_audio_decoded_seconds_total", "counter",
             "Audio fed to the recognisers since start, in seconds.", s.audio_decoded_s);
    e.single("asr_decode_busy_seconds_total", "counter", "Wall time spent decoding since start, in seconds.",
             s.decode_busy_s);
    e.single("asr_real_time_factor", "gauge", "Decoding time over decoded audio time since start.",
             s.audio_decoded_s > 0 ? s.decode_busy_s / s.audio_decoded_s : 0);
    e.single("asr_backlog_seconds", "gauge",
             "Audio received and not yet decoded, over live sessions, in seconds.", s.backlog_s);

    // Every known reason is listed, so that a rate over it exists before the first refusal.
    std::map<std::string, uint64_t> refused = s.refused;
    for (const char* reason : {"sessions", "client_sessions", "backlog", "session_audio", "session_length",
                               "held_audio", "stopping"}) {
        refused.emplace(reason, 0);
    }
    e.family("asr_refused_total", "counter", "Requests refused for a limit, by reason.");
    for (const auto& kv : refused)
        e.sample("asr_refused_total", static_cast<double>(kv.second), "reason=\"" + kv.first + "\"");

    e.family("asr_final_latency_seconds", "histogram",
             "Time from a session's last audio packet to its final answer.");
    const auto& bounds = s.final_latency_bounds;
    const auto& buckets = s.final_latency_buckets;
    for (size_t i = 0; i < bounds.size() && i < buckets.size(); ++i) {
        e.sample("asr_final_latency_seconds_bucket", static_cast<double>(buckets[i]),
                 "le=\"" + number(bounds[i]) + "\"");
    }
    e.sample("asr_final_latency_seconds_bucket", static_cast<double>(s.final_latency_count), "le=\"+Inf\"");
    e.sample("asr_final_latency_seconds_sum", s.final_latency_sum_s);
    e.sample("asr_final_latency_seconds_count", static_cast<double>(s.final_latency_count));

    e.family("asr_http_requests_total", "counter", "HTTP replies written, by status code.");
    for (const auto& kv : h.replies) {
        e.sample("asr_http_requests_total", static_cast<double>(kv.second),
                 "code=\"" + std::to_string(kv.first) + "\"");
    }
    e.single("asr_http_connections_open", "gauge", "Client connections open now.",
             static_cast<double>(h.connections_open));
    e.single("asr_http_connections_refused_total", "counter",
             "Connections refused over the per-address cap, or over the overall one with none idle to close.",
             static_cast<double>(h.connections_refused));
    e.single("asr_http_connections_evicted_total", "counter",
             "Idle connections closed (408) to make room for new ones.",
             static_cast<double>(h.connections_evicted));
    e.single("asr_http_framing_refused_total", "counter",
             "Request heads refused for their syntax or framing.", static_cast<double>(h.framing_refused));
    return std::move(e.text());
}

}  // namespace asrserver
