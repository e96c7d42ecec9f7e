// One recognition session: collects the numbered packets of an utterance in
// any order, decodes the contiguous ones (PCM or BV32) and feeds them to its
// recogniser utterance as they complete, and answers result fetches
// (intermediate until every packet up to the last one is in, then final).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/asr-server/bv32_stream.h"
#include "server/asr-server/recognizer.h"

namespace asrserver {

// How the audio of a session is carried, decided by its first packet.
enum class StreamFormat {
    Raw,        // 16-bit PCM, no header
    Pcm,        // 4-byte stream header (format byte 1 at 8 kHz, 5 at 16 kHz) followed by 16-bit PCM
    Bv32,       // 4-byte stream header (format byte 0 at 8 kHz, 4 at 16 kHz) followed by 20-byte BV32 frames
    WrongRate,  // a stream header of the other sample rate: refused
};

struct StreamHead {
    StreamFormat format = StreamFormat::Raw;
    size_t header_size = 0;  // bytes to skip before the audio
};

// Reads the stream header that may open the first packet of a session at
// `session_rate` Hz. The client's front end opens its output with
// [format, 0, 0, 0] and follows it with whole 80-sample units of PCM (160
// bytes each) or whole 20-byte BV32 frames, possibly none yet. A packet of
// exactly that shape is taken for what its format byte says, without looking
// at the audio; a format of the other rate is WrongRate. Anything else is raw
// PCM: in particular raw PCM that opens with silence is raw unless its length
// is exactly 4 bytes plus whole frames (a raw packet of whole 10 ms or 20 ms
// never is).
StreamHead classifyFirstPacket(const std::string& data, int session_rate);

// A packet with a negative index and exactly this many bytes is an end marker
// without audio.
constexpr size_t kFillerSize = 100;

// Bytes of packet data held by all sessions of a server together: packets
// waiting for an earlier one, and audio waiting for a decoder.
class HeldAudio {
  public:
    explicit HeldAudio(size_t cap) : cap_(cap) {}
    bool take(size_t bytes);
    void give(size_t bytes);
    size_t used() const;

  private:
    const size_t cap_;
    mutable std::mutex mutex_;
    size_t used_ = 0;
};

struct SessionLimits {
    size_t max_bytes = 16u << 20;  // audio held while waiting (out-of-order packets, no decoder yet)
    int max_index = 1000000;       // largest packet number accepted
    std::chrono::milliseconds final_delay{0};  // the final result is withheld this long
    // Once the last packet is in, a gap in the numbering that stays open this
    // long after the latest packet is filled and the session finishes.
    std::chrono::milliseconds gap_timeout{1000};
    // A session that feeds no new audio for this long gives its decoder back.
    std::chrono::milliseconds decoder_idle{2000};
    // A result request answers an intermediate change only once the change,
    // and the request itself, are this old, so that packets arriving together
    // (the last audio and the end packet, often with the request) give one
    // answer, and the final one comes without another round trip.
    std::chrono::milliseconds coalesce{20};
};

enum class PacketResult {
    Accepted,    // stored (and fed when contiguous)
    Duplicate,   // that number was already received: ignored
    AfterLast,   // a second end packet beyond the known last one: ignored
    BadIndex,    // 0, out of range, or a regular packet beyond the last one
    TooLarge,    // would exceed max_bytes
    ServerFull,  // would exceed the audio held by all sessions together
    WrongRate,   // the first packet's stream header is for the other sample rate
    Closed,      // the session has expired or the server is stopping
};

struct FetchResult {
    bool closed = false;  // the session expired or the server is stopping
    bool final = false;   // status 3 when true, 2 otherwise
    std::string text;
    int packets = 0;  // contiguous packets received so far
    int missing = 0;  // packets given up as lost (final results)
};

class Session {
  public:
    using SteadyTime = std::chrono::steady_clock::time_point;
    using Clock = std::function<SteadyTime()>;

    // `held` is shared by the sessions of one server (none: no global cap);
    // `clock` times the decoder's idleness (the gap bound runs on real time,
    // since fetches wait for it).
    Session(std::string sid, int sample_rate, Recognizer& recognizer, const SessionLimits& limits,
            std::shared_ptr<HeldAudio> held = nullptr, Clock clock = std::chrono::steady_clock::now);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& sid() const { return sid_; }

    // Stores packet |index| (negative: the last one) and feeds what became contiguous.
    PacketResult addPacket(int index, std::string data);

    // Long poll: answers at once when the session has progressed since the
    // last answer or its final result is due; otherwise waits until it does or
    // `deadline` passes. A gap that outlives the gap bound is filled meanwhile.
    FetchResult fetch(SteadyTime deadline);

    // Periodic upkeep: fills a gap that outlived its bound, and gives the
    // decoder back when no audio came for the idle bound (the audio decoded
    // so far is finished into text kept for the final result).
    void sweep();

    // Ends the session: waiting fetches return, later calls are refused, the
    // utterance (and its decoder) is released.
    void close();

  private:
    struct Packet {
        std::string data;
        bool last = false;  // sent with a negative index
    };
    // Audio in stream order waiting for a decoder: packet bytes after any
    // header, or `fill` units of a lost packet (PCM samples or BV32 frames).
    struct Chunk {
        std::string bytes;
        size_t fill = 0;
        bool pcm = false;  // raw PCM ending a BV32 stream
    };

    bool complete() const { return last_ > 0 && next_ > last_; }
    bool gapDue(SteadyTime now) const;
    void fillGap();
    void consume(int index, Packet& packet);
    void lose(int index);
    void queue(Chunk chunk);
    void decode(const Chunk& chunk);
    bool tryOpen();
    void feedBuffered();
    void releaseDecoder();
    void bump();  // ++version_, noting when an unanswered change began
    void finalize(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds wait);
    std::string partialText();
    void settle();
    void finishWith(std::string text);

    const std::string sid_;
    const int session_rate_;
    Recognizer& recognizer_;
    const SessionLimits limits_;
    const std::shared_ptr<HeldAudio> held_;
    const Clock clock_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, Packet> pending_;    // out-of-order packets by number
    size_t pending_bytes_ = 0;         // bytes in pending_
    size_t buffered_bytes_ = 0;        // bytes in buffered_
    size_t charged_ = 0;               // bytes counted in held_ for this session
    int next_ = 1;                     // next packet number to consume
    int last_ = 0;                     // number of the last packet, 0 while unknown
    int consumed_ = 0;                 // packets consumed in order
    int missing_ = 0;                  // packets given up as lost
    SteadyTime latest_arrival_{};      // of any accepted packet (real time)
    size_t regular_size_ = 0;          // size of the packets between the first and the last...
    bool regular_sizes_agree_ = true;  // ...while they all have one size
    uint64_t version_ = 0;             // bumped whenever fetchable state changes
    uint64_t answered_version_ = 0;    // version_ at the last fetch answer
    SteadyTime unanswered_since_{};    // when version_ first moved past answered_version_

    bool head_known_ = false;
    StreamHead head_;
    bool odd_byte_pending_ = false;
    uint8_t odd_byte_ = 0;  // low byte of a sample split across packets
    Bv32Stream bv32_;
    std::vector<int16_t> scratch_;  // samples of the chunk being decoded, reused

    std::unique_ptr<Utterance> utterance_;
    SteadyTime last_feed_{};      // by clock_
    bool acquiring_ = false;      // a thread is waiting for a decoder without the lock
    std::deque<Chunk> buffered_;  // audio waiting for a decoder
    bool dirty_ = false;          // audio fed since partial_ was taken
    std::string partial_;
    std::string earlier_text_;  // final text of the pieces decoded before the decoder was given back
    bool released_ = false;     // the decoder was given back for idleness at least once

    bool finalized_ = false;
    std::string final_text_;
    SteadyTime final_due_{};
    bool wrong_rate_ = false;  // packet 1 was refused: the session ends without text
    bool closed_ = false;
};

}  // namespace asrserver
