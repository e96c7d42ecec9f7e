// One recognition session: collects the numbered packets of an utterance in
// any order, feeds the contiguous ones to its recogniser utterance as they
// complete, and answers result fetches (intermediate until every packet up to
// the last one is in, then final).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/asr-server/recognizer.h"

namespace asrserver {

// How the audio of a session is carried, decided by its first packet.
enum class StreamFormat {
    Raw,   // 16-bit PCM, no header
    Pcm,   // 4-byte stream header (format byte 1 at 8 kHz, 5 at 16 kHz) followed by 16-bit PCM
    Bv32,  // 4-byte stream header (format byte 0 at 8 kHz, 4 at 16 kHz) followed by 20-byte BV32 frames
};

struct StreamHead {
    StreamFormat format = StreamFormat::Raw;
    size_t header_size = 0;  // bytes to skip before the audio
};

// Reads the stream header that may open the first packet of a session at
// `session_rate` Hz. The client's front end opens its output with
// [format, 0, 0, 0], the format byte matching the session's rate, and follows
// it with whole 80-sample units of PCM or whole BV32 frames. A header is taken
// only when the packet has exactly that shape; BV32 moreover only when the
// frames do not read as PCM, since raw PCM that starts with two zero samples
// opens with the same four bytes. Everything else is raw PCM.
StreamHead classifyFirstPacket(const std::string& data, int session_rate);

// A packet with a negative index and exactly this many bytes is an end marker
// without audio.
constexpr size_t kFillerSize = 100;

struct SessionLimits {
    size_t max_bytes = 16u << 20;  // audio held while waiting (out-of-order packets, no decoder yet)
    int max_index = 1000000;       // largest packet number accepted
    std::chrono::milliseconds final_delay{0};  // the final result is withheld this long
};

enum class PacketResult {
    Accepted,   // stored (and fed when contiguous)
    Duplicate,  // that number was already received: ignored
    AfterLast,  // a second end packet beyond the known last one: ignored
    BadIndex,   // 0, out of range, or a regular packet beyond the last one
    TooLarge,   // would exceed max_bytes
    Closed,     // the session has expired or the server is stopping
};

struct FetchResult {
    bool closed = false;  // the session expired or the server is stopping
    bool final = false;   // status 3 when true, 2 otherwise
    std::string text;
    int packets = 0;  // contiguous packets received so far
};

class Session {
  public:
    using SteadyTime = std::chrono::steady_clock::time_point;

    Session(std::string sid, int sample_rate, Recognizer& recognizer, const SessionLimits& limits);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& sid() const { return sid_; }

    // Stores packet |index| (negative: the last one) and feeds what became contiguous.
    PacketResult addPacket(int index, std::string data);

    // Long poll: answers at once when the session has progressed since the
    // last answer or its final result is due; otherwise waits until it does or
    // `deadline` passes.
    FetchResult fetch(SteadyTime deadline);

    // Ends the session: waiting fetches return, later calls are refused, the
    // utterance (and its decoder) is released.
    void close();

  private:
    struct Packet {
        std::string data;
        bool last = false;  // sent with a negative index
    };

    bool complete() const { return last_ > 0 && next_ > last_; }
    void consume(int index, Packet& packet);
    bool tryOpen();
    void feedBuffered();
    void finalize(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds wait);
    std::string partialText();

    const std::string sid_;
    const int session_rate_;
    Recognizer& recognizer_;
    const SessionLimits limits_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, Packet> pending_;  // out-of-order packets by number
    size_t pending_bytes_ = 0;       // bytes in pending_
    size_t buffered_bytes_ = 0;      // bytes in buffered_
    int next_ = 1;                   // next packet number to consume
    int last_ = 0;                   // number of the last packet, 0 while unknown
    int consumed_ = 0;               // packets consumed in order
    uint64_t version_ = 0;           // bumped whenever fetchable state changes
    uint64_t answered_version_ = 0;  // version_ at the last fetch answer

    StreamHead head_;
    bool odd_byte_pending_ = false;
    uint8_t odd_byte_ = 0;  // low byte of a sample split across packets
    size_t undecodable_bytes_ = 0;
    std::vector<int16_t> scratch_;  // samples of the packet being consumed, reused

    std::unique_ptr<Utterance> utterance_;
    bool acquiring_ = false;                     // a thread is waiting for a decoder without the lock
    std::deque<std::vector<int16_t>> buffered_;  // audio waiting for a decoder, one entry per packet
    bool dirty_ = false;                         // audio fed since partial_ was taken
    std::string partial_;

    bool finalized_ = false;
    std::string final_text_;
    SteadyTime final_due_{};
    bool closed_ = false;
};

}  // namespace asrserver
