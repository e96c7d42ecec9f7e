// The server's figures in the Prometheus text exposition format (version 0.0.4).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "server/asr-server/service.h"

namespace asrserver {

// What the HTTP layer counts itself.
struct HttpStats {
    std::map<int, uint64_t> replies;  // replies written (or attempted), by HTTP status
    size_t connections_open = 0;
    uint64_t connections_refused = 0;  // over the per-address cap, or the overall one with none idle
    uint64_t connections_evicted = 0;  // idle connections closed to make room for new ones
    uint64_t framing_refused = 0;      // request heads refused for their syntax or framing
};

// Content-Type of the exposition.
constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string renderMetrics(const ServiceStats& service, const HttpStats& http);

}  // namespace asrserver
