// Why a session failed, in words, for layers above the SDK that report more
// than the fixed texts of its own API. The code that ends a session (or
// refuses to open one) notes the cause on its own thread just before it tells
// the listener (or returns from getInstance), so the listener, running on that
// same thread, can take it. Nothing here changes what the SDK's API reports.
#ifndef SPEECH_ASR_SDK_FAILURE_CAUSE_H
#define SPEECH_ASR_SDK_FAILURE_CAUSE_H

#include <string>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"

namespace speech {
namespace util {
class CurlRequest;
}
}  // namespace speech

namespace vela {

enum class FailureKind {
    kNone,
    kConnect,          // connection refused
    kResolve,          // server name not resolved
    kTls,              // TLS handshake or certificate check failed
    kHttpStatus,       // the server answered with a status other than 200
    kConnectTimeout,   // no connection within the connect time-out
    kExchangeTimeout,  // no complete reply within the exchange time-out
    kResultTimeout,    // no final result within the result time-out
    kReply,            // a reply the SDK could not use
    kTransfer,         // any other transport failure
};

struct Failure {
    FailureKind kind = FailureKind::kNone;
    std::string detail;
};

// Notes the cause of a failure on this thread, replacing an earlier one.
void note_failure(FailureKind kind, std::string detail);
// Notes why the exchange of `req` failed; `limits` name the time-outs it ran with.
void note_exchange_failure(const speech::util::CurlRequest& req, const WaitLimits& limits);
// The latest cause noted on this thread, which is cleared.
Failure take_failure();

}  // namespace vela

#endif  // SPEECH_ASR_SDK_FAILURE_CAUSE_H
