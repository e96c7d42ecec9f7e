#include "speech-asr-sdk/failure_cause.h"

#include <cstring>
#include <utility>

#include "speech-util/curlreq/curlreq.h"

namespace vela {

namespace {

thread_local Failure t_failure;

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// libcurl's description, or its generic text for the code when it gave none.
std::string detailOf(const speech::util::CurlRequest& req) {
    const char* detail = req.getErrDetail();
    return detail[0] != '\0' ? detail : curl_easy_strerror(req.curl_ret_code);
}

}  // namespace

void note_failure(FailureKind kind, std::string detail) {
    t_failure.kind = kind;
    t_failure.detail = std::move(detail);
}

void note_exchange_failure(const speech::util::CurlRequest& req, const WaitLimits& limits) {
    const std::string detail = detailOf(req);
    switch (req.curl_ret_code) {
        case CURLE_OK:
            note_failure(FailureKind::kHttpStatus,
                         "the server answered with HTTP status " + std::to_string(req.http_status));
            return;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            note_failure(FailureKind::kResolve, "server name not resolved (" + detail + ")");
            return;
        case CURLE_COULDNT_CONNECT:
            note_failure(FailureKind::kConnect, "connection refused (" + detail + ")");
            return;
        case CURLE_OPERATION_TIMEDOUT: {
            // libcurl names the phase: "Connection timed out after ...",
            // "Resolving timed out after ..." or "Operation timed out after ...".
            const char* text = req.getErrDetail();
            if (startsWith(text, "Connection") || startsWith(text, "Resolving") ||
                startsWith(text, "Failed to connect")) {
                note_failure(FailureKind::kConnectTimeout, "connect time-out: no connection within " +
                                                               std::to_string(limits.connect_ms) +
                                                               " ms (VELA_ASR_CONNECT_TIMEOUT_MS)");
            } else {
                note_failure(FailureKind::kExchangeTimeout, "exchange time-out: no complete reply within " +
                                                                std::to_string(limits.exchange_ms) +
                                                                " ms (VELA_ASR_TIMEOUT_MS)");
            }
            return;
        }
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
            note_failure(FailureKind::kTls, "TLS certificate not trusted (" + detail +
                                                "); set VELA_ASR_CA_FILE to a PEM file with the server's "
                                                "certificate or its CA");
            return;
        case CURLE_SSL_CONNECT_ERROR:
            note_failure(FailureKind::kTls, "TLS handshake failed (" + detail + ")");
            return;
        default:
            note_failure(FailureKind::kTransfer, "exchange with the server failed (" + detail + ")");
            return;
    }
}

Failure take_failure() { return std::exchange(t_failure, Failure()); }

}  // namespace vela
