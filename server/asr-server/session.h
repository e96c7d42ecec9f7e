// One recognition session: collects the numbered packets of an utterance in
// any order, queues the contiguous ones for the server's decode threads, which
// decode them (PCM or BV32) and feed them to its recogniser utterance, and
// answers result fetches (intermediate until every packet up to the last one
// is in, then final). Requests only store and read under the session's lock;
// decoding runs beside them, one session on one decode thread at a time.
#pragma once

#include <atomic>
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
#include "wire/vela_wire.h"

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
constexpr size_t kFillerSize = vela::wire::kEndMarkerSize;

// Bytes of audio held by all sessions of a server together: packets waiting
// for an earlier one, audio waiting for a decoder, and audio made to fill
// lost packets until it is fed.
class HeldAudio {
  public:
    explicit HeldAudio(size_t cap) : cap_(cap) {}
    bool take(size_t bytes);
    // Counts `bytes` even beyond the cap (audio already accepted that turns
    // out to wait); later take()s are refused until it is given back.
    void force(size_t bytes);
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
    // Audio one session may carry: its highest packet number times its packet
    // size, or the audio it stored, in seconds of its sample rate.
    std::chrono::seconds max_audio{300};
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
    Accepted,    // stored (and queued for decoding when contiguous)
    Duplicate,   // that number was already received: ignored
    AfterLast,   // a second end packet beyond the known last one: ignored
    BadIndex,    // 0, out of range, or a regular packet beyond the last one
    TooLarge,    // would exceed max_bytes
    TooLong,     // would make the session longer than max_audio
    ServerFull,  // would exceed the audio held by all sessions together
    WrongRate,   // the first packet's stream header is for the other sample rate
    Closed,      // the session has expired or the server is stopping
};

struct FetchResult {
    bool closed = false;  // the session expired or the server is stopping
    bool final = false;   // status 3 when true, 2 otherwise
    std::string text;
    // Spelling `text`; times from the session's first sample, counted in the
    // audio it received (audio made for lost packets included; pauses a client
    // left out of its uploads are not there to count).
    std::vector<Word> words;
    std::vector<Alternative> alternatives;  // final results only
    int packets = 0;                        // contiguous packets received so far
    int missing = 0;                        // packets given up as lost (final results)
};

class Session;

// Seconds, buckets and count of the time from a session's last audio packet to
// its final answer; shared by the sessions of a server.
class LatencyHistogram {
  public:
    static const std::vector<double>& bounds();
    void add(double seconds);
    void read(std::vector<uint64_t>& cumulative, double& sum, uint64_t& count) const;

  private:
    mutable std::mutex mutex_;
    std::vector<uint64_t> counts_ = std::vector<uint64_t>(bounds().size() + 1, 0);
    double sum_ = 0;
    uint64_t count_ = 0;
};

// What the sessions of one server share: a few decode threads that take
// sessions with audio to decode in turn (one step of bounded work each time,
// never one session on two threads), the timer thread that wakes parked
// result fetches, and the running figures. Sessions keep it alive; a decode
// thread stuck in a recogniser past stop()'s grace is left behind, detached.
class SessionRuntime {
  public:
    using SteadyTime = std::chrono::steady_clock::time_point;

    static std::shared_ptr<SessionRuntime> create(size_t decode_threads);
    ~SessionRuntime();
    SessionRuntime(const SessionRuntime&) = delete;
    SessionRuntime& operator=(const SessionRuntime&) = delete;

    // Ends the threads: waits up to `grace` for decode steps in progress,
    // then leaves the stuck ones behind; returns how many were left.
    size_t stop(std::chrono::milliseconds grace);

    void schedule(std::shared_ptr<Session> session);
    // Pokes `session` (Session::poke) at `when`.
    void wakeAt(SteadyTime when, std::weak_ptr<Session> session);
    // `session` found no free decoder: it is retried (Session::retryDecoder)
    // when one is given back. False when one was given back since
    // freedCount() read `freed_before`: the caller tries again at once.
    bool waitForDecoder(std::weak_ptr<Session> session, uint64_t freed_before);
    uint64_t freedCount() const;
    void decoderFreed();

    // Running figures: audio in nanoseconds (exact for both sample rates), wall time in seconds.
    void received(uint64_t audio_ns);
    void decoded(uint64_t audio_ns, double busy_s);
    void dropped(uint64_t audio_ns);  // audio received that will never be decoded
    struct Figures {
        double received_s = 0;
        double decoded_s = 0;
        double busy_s = 0;
        double backlog_s = 0;
        size_t parked = 0;  // result fetches waiting
    };
    Figures figures() const;
    void parked(int delta);
    LatencyHistogram& latency();
    size_t threads() const { return threads_; }

  private:
    struct Shared;
    explicit SessionRuntime(size_t decode_threads);
    void decodeLoop(size_t slot);

    const size_t threads_;
    std::unique_ptr<Shared> shared_;
};

class Session : public std::enable_shared_from_this<Session> {
  public:
    using SteadyTime = std::chrono::steady_clock::time_point;
    using Clock = std::function<SteadyTime()>;
    using FetchDone = std::function<void(const FetchResult&)>;

    // `held` is shared by the sessions of one server (none: no global cap);
    // `clock` times the decoder's idleness (the gap bound runs on real time,
    // since fetches wait for it). Sessions are always held by shared_ptr.
    Session(std::string sid, int sample_rate, Recognizer& recognizer, const SessionLimits& limits,
            std::shared_ptr<SessionRuntime> runtime, std::shared_ptr<HeldAudio> held = nullptr,
            Clock clock = std::chrono::steady_clock::now);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& sid() const { return sid_; }

    // Stores packet |index| (negative: the last one) and queues what became
    // contiguous for decoding; never waits for the decoder.
    PacketResult addPacket(int index, std::string data);

    // Long poll: `done` is called at once when the session has progressed
    // since the last answer (and decoding has caught up with the audio
    // received) or its final result is due; otherwise the fetch is parked and
    // answered when that happens or `deadline` passes, from the decode side
    // or the runtime's timer thread. A gap that outlives the gap bound is
    // filled meanwhile. `done` runs without the session's lock.
    void fetch(SteadyTime deadline, FetchDone done);

    // Periodic upkeep: fills a gap that outlived its bound, and has the
    // decoder given back when no audio came for the idle bound (the audio
    // decoded so far is finished into text kept for the final result).
    void sweep();

    // Ends the session: parked fetches are answered, later calls are refused,
    // the utterance (and its decoder) is released.
    void close();

    // Whether the session's final result has been answered (or it ended);
    // takes no lock, so callers holding one of their own may ask.
    bool done() const { return ended_.load(std::memory_order_acquire); }

    // Runtime side: one decode step, a look at the parked fetches, and
    // another try for a decoder after one was given back.
    void decodeStep();
    void poke();
    void retryDecoder();

  private:
    struct Packet {
        std::string data;
        bool last = false;  // sent with a negative index
    };
    // Audio in stream order waiting to be decoded: packet bytes after any
    // header, or `fill` units of lost packets (PCM samples or BV32 frames).
    struct Chunk {
        std::string bytes;
        size_t fill = 0;
        bool frames = false;    // BV32 frames rather than PCM
        uint64_t audio_ns = 0;  // the audio it stands for
        size_t fill_bytes = 0;  // PCM bytes the fill makes, counted as held
    };
    struct Waiter {
        SteadyTime arrived;
        SteadyTime deadline;
        SteadyTime armed = SteadyTime::max();  // a wake-up is due then
        FetchDone done;
    };
    using Answers = std::vector<std::pair<FetchDone, FetchResult>>;

    bool complete() const { return last_ > 0 && next_ > last_; }
    bool gapDue(SteadyTime now) const;
    void fillGap();
    void consume(int index, Packet& packet);
    // Consumes the waiting packet at `it`, which holds number next_.
    void consumePending(std::map<int, Packet>::iterator it);
    void queue(Chunk chunk);
    double secondsOf(size_t bytes, bool frames) const;
    uint64_t nanosOf(size_t samples) const {
        return samples * (1000000000ull / static_cast<unsigned>(session_rate_));
    }
    void bump();  // ++version_, noting when an unanswered change began
    void finishWith(Hypothesis final);
    void settle();
    void scheduleLocked();
    bool answerIfDue(Waiter& w, SteadyTime now, Answers& out);
    void answerDue(Answers& out);
    void closeLocked();
    static void deliver(Answers& answers);

    // Decode side, run only by the thread holding the step (scheduled_).
    void decodeFront(std::unique_lock<std::mutex>& lock);
    void decodeChunk(const Chunk& chunk);

    const std::string sid_;
    const int session_rate_;
    Recognizer& recognizer_;
    const SessionLimits limits_;
    const std::shared_ptr<SessionRuntime> runtime_;
    const std::shared_ptr<HeldAudio> held_;
    const Clock clock_;

    mutable std::mutex mutex_;
    std::map<int, Packet> pending_;    // out-of-order packets by number
    size_t pending_bytes_ = 0;         // bytes in pending_
    size_t queued_bytes_ = 0;          // packet bytes in queue_
    size_t fill_bytes_ = 0;            // bytes fills in queue_ will make
    size_t charged_ = 0;               // bytes counted in held_ for this session
    double stored_s_ = 0;              // audio accepted so far
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
    std::deque<Chunk> queue_;  // audio waiting to be decoded
    std::vector<std::unique_ptr<Waiter>> waiters_;

    // Shared between the two sides under mutex_.
    bool scheduled_ = false;    // a decode step is queued or running
    bool starved_ = false;      // the last step found no free decoder
    bool has_decoder_ = false;  // utterance_ is open
    bool in_flight_ = false;    // a chunk is being decoded
    uint64_t queued_seq_ = 0;   // chunks queued so far...
    uint64_t decoded_seq_ = 0;  // ...and decoded
    // Idle for the bound: the decoder goes back once chunk release_at_ is decoded (0: not asked).
    uint64_t release_at_ = 0;
    bool piece_has_audio_ = false;  // audio came since the decoder was last given back
    SteadyTime last_feed_{};        // of the latest audio queued, by clock_
    Hypothesis partial_;
    // The final hypothesis of the pieces decoded before the decoder was given
    // back (its best alternative only).
    Hypothesis earlier_;
    bool released_ = false;  // the decoder was given back for idleness at least once
    bool finalized_ = false;
    bool final_answered_ = false;
    std::atomic<bool> ended_{false};  // closed, refused for its rate, or its final result answered
    Hypothesis final_;
    SteadyTime final_due_{};
    bool wrong_rate_ = false;  // packet 1 was refused: the session ends without text
    bool closed_ = false;

    // Decode side only.
    std::unique_ptr<Utterance> utterance_;
    bool odd_byte_pending_ = false;
    uint8_t odd_byte_ = 0;  // low byte of a sample split across packets
    Bv32Stream bv32_;
    std::vector<int16_t> scratch_;  // samples of the step being decoded, reused
    uint64_t fed_samples_ = 0;      // fed to the session's utterances so far
    int piece_start_ms_ = 0;        // where the open utterance's audio begins in the session's
};

}  // namespace asrserver
