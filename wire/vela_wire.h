// The constants of the recognition protocol, shared by the SDK, the server,
// the tools and the front end's stream writer: the JSON keys of a reply, the
// result statuses, the error numbers and their texts, the stream header, the
// end marker and the shape of an upload request. Header-only, standard C++
// only; deploy/nginx/render.sh reads the error bodies' values from here, so
// keep each of those on one line of the form `constexpr ... kName = value;`.
#pragma once

#include <cstddef>

namespace vela {
namespace wire {

// Keys of a reply: {"asr_param":{"err_no":N,"err_msg":"...","sid":"...",
// "status":S},"asr_content":{...}}.
constexpr const char* kParamKey = "asr_param";
constexpr const char* kErrNoKey = "err_no";
constexpr const char* kErrMsgKey = "err_msg";
constexpr const char* kSidKey = "sid";
constexpr const char* kStatusKey = "status";
constexpr const char* kContentKey = "asr_content";

// "asr_param"."status" of a fetched result.
constexpr int kStatusIntermediate = 2;
constexpr int kStatusFinal = 3;

// "asr_param"."err_no".
enum ErrNo : int {
    kOk = 0,
    kBadRequest = 1,      // malformed query or body, or a stream header of the wrong sample rate
    kUnknownSession = 2,  // no such session, or it expired
    kBadPacket = 3,       // packet number 0, out of range, or after the last packet
    kLimitReached = 4,    // too many sessions, or too much audio held for one session or by all
    kInternal = 5,        // unexpected failure inside the server
    kStopping = 6,        // the server is shutting down
};

// "asr_param"."err_msg" texts of fixed wording.
constexpr const char* kMsgUnknownSession = "unknown or expired session";
constexpr const char* kMsgStopping = "server is shutting down";
constexpr const char* kMsgTooManySessions = "too many sessions";
constexpr const char* kMsgSessionAudio = "too much audio held for this session";
constexpr const char* kMsgHeldAudio = "limit reached: the server holds as much audio as it may";
constexpr const char* kMsgBadPacket = "packet number 0, out of range or after the last packet";
constexpr const char* kMsgWrongRate = "the stream header's format is for the other sample rate";
constexpr const char* kMsgBadRate = "unsupported rate (use 8 or 16)";
constexpr const char* kMsgMissingSid = "missing sid";
constexpr const char* kMsgBadIdx = "missing or malformed idx";
constexpr const char* kMsgBadMultipart = "malformed multipart body";
constexpr const char* kMsgMissingAudio = "missing \"asr_audio\" part";
constexpr const char* kMsgInternal = "internal error";
// A gateway's answer when no node could take the request.
constexpr const char* kMsgNodeUnavailable = "node unavailable";
// A refusal made by the HTTP layer: this prefix and the HTTP status, "HTTP 413".
constexpr const char* kMsgHttpPrefix = "HTTP ";

// The stream header that opens the front end's first packet of a session:
// [format, 0, 0, 0], then 16-bit PCM or 20-byte BV32 frames.
constexpr std::size_t kStreamHeaderSize = 4;
constexpr unsigned char kFormatBv32At8k = 0;
constexpr unsigned char kFormatPcmAt8k = 1;
constexpr unsigned char kFormatBv32At16k = 4;
constexpr unsigned char kFormatPcmAt16k = 5;
// Formats from kFormatBv32At16k up are for 16 kHz.
constexpr bool isPcmFormat(unsigned char f) { return f == kFormatPcmAt8k || f == kFormatPcmAt16k; }
constexpr bool isBv32Format(unsigned char f) { return f == kFormatBv32At8k || f == kFormatBv32At16k; }
constexpr int formatRate(unsigned char f) { return f >= kFormatBv32At16k ? 16000 : 8000; }
// The format bytes of a stream at `rate` Hz: 16 kHz for 16000, else 8 kHz.
constexpr unsigned char pcmFormatFor(int rate) { return rate == 16000 ? kFormatPcmAt16k : kFormatPcmAt8k; }
constexpr unsigned char bv32FormatFor(int rate) { return rate == 16000 ? kFormatBv32At16k : kFormatBv32At8k; }

// The last packet of a session goes with a negative index and carries at least
// this many bytes; one of exactly this size that ends a session with no new
// audio is all zeros, the end marker.
constexpr std::size_t kEndMarkerSize = 100;

// The Content-Type of every request and reply. An upload says it with the
// form's boundary ("application/json; boundary=..."), while its body is a
// multipart form whose audio part is form-data named kAudioPart with the file
// name kAudioFileName and the type kAudioPartType.
constexpr const char* kJsonType = "application/json";
constexpr const char* kAudioPart = "asr_audio";
constexpr const char* kAudioFileName = "";
constexpr const char* kAudioPartType = "audio/pcm";

}  // namespace wire
}  // namespace vela
