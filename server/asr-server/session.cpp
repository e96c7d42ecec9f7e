#include "server/asr-server/session.h"

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <climits>
#include <condition_variable>
#include <thread>

namespace asrserver {

namespace {

using vela::wire::kStreamHeaderSize;
constexpr size_t kBv32FrameSize = Bv32Stream::kFrameBytes;
constexpr size_t kPcmUnitSize = 160;  // the front end hands PCM out in units of 80 samples
constexpr size_t kSamplesPerFrame = Bv32Stream::kFrameSamples;

// Fewest samples over which the neighbour correlation of noise stays well
// below the bar that smooth audio clears.
constexpr size_t kMinCorrelationSamples = 50;

// Whether `size` bytes, read as little-endian 16-bit samples, sound like
// audio: silence and quiet sound keep at least a quarter of their samples
// below -30 dBFS (|x| < 1024), and speech and other low-pitched sound
// correlate neighbouring samples strongly (lag-1 correlation 0.4 and above).
// Packed BV32 frames read the same way look like loud white noise: about 3 %
// quiet samples and a correlation near 0. Used only when the first packet,
// and with it the stream header, was lost.
bool soundsLikePcm(const char* data, size_t size) {
    const size_t n = size / 2;
    size_t quiet = 0;
    double energy = 0.0;
    double lag1 = 0.0;
    double previous = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const auto lo = static_cast<uint8_t>(data[2 * i]);
        const auto hi = static_cast<uint8_t>(data[2 * i + 1]);
        const int x = static_cast<int16_t>(lo | (hi << 8));
        if (x > -1024 && x < 1024) ++quiet;
        energy += static_cast<double>(x) * x;
        lag1 += previous * x;
        previous = x;
    }
    if (4 * quiet >= n) return true;
    return n >= kMinCorrelationSamples && lag1 >= 0.4 * energy;
}

// The stream of a session whose first packet was lost, judged by the first
// packet that arrived: BV32 frames carry no header after the first packet.
StreamHead headlessFormat(const std::string& data) {
    StreamHead head;
    if (!data.empty() && data.size() % kBv32FrameSize == 0 && !soundsLikePcm(data.data(), data.size())) {
        head.format = StreamFormat::Bv32;
    }
    return head;
}

std::string joined(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + " " + b;
}

// `piece`, an utterance whose audio began `offset_ms` into the session's
// audio, after what the session heard before it. Its alternatives follow the
// best reading of what came before.
Hypothesis appended(const Hypothesis& before, Hypothesis piece, int offset_ms) {
    Hypothesis out;
    out.text = joined(before.text, piece.text);
    out.words = before.words;
    for (Word& w : piece.words) {
        w.start_ms += offset_ms;
        w.end_ms += offset_ms;
        out.words.push_back(std::move(w));
    }
    if (piece.alternatives.empty()) {
        out.alternatives = before.alternatives;
        return out;
    }
    const Alternative head =
        before.alternatives.empty() ? Alternative{before.text, 0} : before.alternatives.front();
    for (const Alternative& a : piece.alternatives) {
        out.alternatives.push_back({joined(head.text, a.text), head.score + a.score});
    }
    return out;
}

}  // namespace

StreamHead classifyFirstPacket(const std::string& data, int session_rate) {
    StreamHead head;
    if (data.size() < kStreamHeaderSize || data[1] != 0 || data[2] != 0 || data[3] != 0) return head;
    const unsigned char format = static_cast<unsigned char>(data[0]);
    const size_t body = data.size() - kStreamHeaderSize;
    StreamFormat kind;
    if (vela::wire::isPcmFormat(format) && body % kPcmUnitSize == 0) {
        kind = StreamFormat::Pcm;
    } else if (vela::wire::isBv32Format(format) && body % kBv32FrameSize == 0) {
        kind = StreamFormat::Bv32;
    } else {
        return head;
    }
    const int rate = vela::wire::formatRate(format);
    head.format = rate == session_rate ? kind : StreamFormat::WrongRate;
    head.header_size = kStreamHeaderSize;
    return head;
}

bool HeldAudio::take(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (used_ > cap_ || bytes > cap_ - used_) return false;
    used_ += bytes;
    return true;
}

void HeldAudio::force(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    used_ += bytes;
}

void HeldAudio::give(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    used_ -= bytes;
}

size_t HeldAudio::used() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return used_;
}

// ---------------------------------------------------------------------------

const std::vector<double>& LatencyHistogram::bounds() {
    static const std::vector<double> kBounds{0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
    return kBounds;
}

void LatencyHistogram::add(double seconds) {
    const auto& b = bounds();
    const size_t i = static_cast<size_t>(std::lower_bound(b.begin(), b.end(), seconds) - b.begin());
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[i];
    sum_ += seconds;
    ++count_;
}

void LatencyHistogram::read(std::vector<uint64_t>& cumulative, double& sum, uint64_t& count) const {
    std::lock_guard<std::mutex> lock(mutex_);
    cumulative.assign(counts_.size(), 0);
    uint64_t running = 0;
    for (size_t i = 0; i < counts_.size(); ++i) cumulative[i] = running += counts_[i];
    sum = sum_;
    count = count_;
}

// ---------------------------------------------------------------------------

struct SessionRuntime::Shared {
    std::mutex mutex;
    std::condition_variable work;   // a session is ready, or stop
    std::condition_variable ended;  // a decode thread has ended
    std::deque<std::shared_ptr<Session>> ready;
    std::vector<std::weak_ptr<Session>> starved;
    uint64_t freed = 0;  // decoders given back so far
    std::vector<std::thread> threads;
    std::vector<char> thread_ended;
    bool stopping = false;
    bool stopped = false;
    size_t left_behind = 0;
    uint64_t received_ns = 0;
    uint64_t decoded_ns = 0;
    uint64_t backlog_ns = 0;
    double busy_s = 0;
    size_t parked = 0;
    LatencyHistogram latency;

    boost::asio::io_context timers;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> timers_work{
        timers.get_executor()};
    std::thread timer_thread;
};

SessionRuntime::SessionRuntime(size_t decode_threads)
    : threads_(decode_threads == 0 ? 1 : decode_threads), shared_(std::make_unique<Shared>()) {}

SessionRuntime::~SessionRuntime() { stop(std::chrono::milliseconds(0)); }

std::shared_ptr<SessionRuntime> SessionRuntime::create(size_t decode_threads) {
    std::shared_ptr<SessionRuntime> runtime(new SessionRuntime(decode_threads));
    Shared& s = *runtime->shared_;
    s.thread_ended.assign(runtime->threads_, 0);
    // Each thread keeps the runtime alive, so that one left behind in a
    // recogniser at stop() can still finish its step.
    for (size_t i = 0; i < runtime->threads_; ++i) {
        s.threads.emplace_back([runtime, i] { runtime->decodeLoop(i); });
    }
    s.timer_thread = std::thread([&s] { s.timers.run(); });
    return runtime;
}

void SessionRuntime::decodeLoop(size_t slot) {
    Shared& s = *shared_;
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        s.work.wait(lock, [&s] { return s.stopping || !s.ready.empty(); });
        if (s.stopping) break;
        std::shared_ptr<Session> session = std::move(s.ready.front());
        s.ready.pop_front();
        lock.unlock();
        session->decodeStep();
        session.reset();
        lock.lock();
    }
    s.thread_ended[slot] = 1;
    s.ended.notify_all();
}

size_t SessionRuntime::stop(std::chrono::milliseconds grace) {
    Shared& s = *shared_;
    std::deque<std::shared_ptr<Session>> ready;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        if (s.stopped) return s.left_behind;
        s.stopping = true;
        s.work.notify_all();
        ready.swap(s.ready);
        s.starved.clear();
        s.ended.wait_for(lock, grace, [&s] {
            return std::all_of(s.thread_ended.begin(), s.thread_ended.end(), [](char e) { return e != 0; });
        });
        for (size_t i = 0; i < s.threads.size(); ++i) {
            if (s.thread_ended[i]) {
                s.threads[i].join();  // it has left the loop: only its return is left
            } else {
                s.threads[i].detach();
                ++s.left_behind;
            }
        }
        s.stopped = true;
    }
    ready.clear();
    s.timers_work.reset();
    s.timers.stop();
    if (s.timer_thread.joinable()) {
        if (s.timer_thread.get_id() == std::this_thread::get_id()) {
            s.timer_thread.detach();
        } else {
            s.timer_thread.join();
        }
    }
    return s.left_behind;
}

void SessionRuntime::schedule(std::shared_ptr<Session> session) {
    Shared& s = *shared_;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stopping) return;
    s.ready.push_back(std::move(session));
    s.work.notify_one();
}

void SessionRuntime::wakeAt(SteadyTime when, std::weak_ptr<Session> session) {
    auto timer = std::make_shared<boost::asio::steady_timer>(shared_->timers, when);
    timer->async_wait([timer, session = std::move(session)](const boost::system::error_code& ec) {
        if (ec) return;
        if (auto s = session.lock()) s->poke();
    });
}

uint64_t SessionRuntime::freedCount() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->freed;
}

bool SessionRuntime::waitForDecoder(std::weak_ptr<Session> session, uint64_t freed_before) {
    Shared& s = *shared_;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stopping || s.freed != freed_before) return false;
    s.starved.push_back(std::move(session));
    return true;
}

void SessionRuntime::decoderFreed() {
    std::vector<std::weak_ptr<Session>> starved;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        ++shared_->freed;
        starved.swap(shared_->starved);
    }
    for (const auto& w : starved) {
        if (auto session = w.lock()) session->retryDecoder();
    }
}

void SessionRuntime::received(uint64_t audio_ns) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->received_ns += audio_ns;
    shared_->backlog_ns += audio_ns;
}

void SessionRuntime::decoded(uint64_t audio_ns, double busy_s) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->decoded_ns += audio_ns;
    shared_->busy_s += busy_s;
    shared_->backlog_ns -= std::min(shared_->backlog_ns, audio_ns);
}

void SessionRuntime::dropped(uint64_t audio_ns) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->backlog_ns -= std::min(shared_->backlog_ns, audio_ns);
}

void SessionRuntime::parked(int delta) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->parked = static_cast<size_t>(static_cast<long>(shared_->parked) + delta);
}

SessionRuntime::Figures SessionRuntime::figures() const {
    const Shared& s = *shared_;
    std::lock_guard<std::mutex> lock(shared_->mutex);
    Figures f;
    f.received_s = static_cast<double>(s.received_ns) / 1e9;
    f.decoded_s = static_cast<double>(s.decoded_ns) / 1e9;
    f.busy_s = s.busy_s;
    f.backlog_s = static_cast<double>(s.backlog_ns) / 1e9;
    f.parked = s.parked;
    return f;
}

LatencyHistogram& SessionRuntime::latency() { return shared_->latency; }

// ---------------------------------------------------------------------------

Session::Session(std::string sid, int sample_rate, Recognizer& recognizer, const SessionLimits& limits,
                 std::shared_ptr<SessionRuntime> runtime, std::shared_ptr<HeldAudio> held, Clock clock)
    : sid_(std::move(sid)),
      session_rate_(sample_rate),
      recognizer_(recognizer),
      limits_(limits),
      runtime_(std::move(runtime)),
      held_(std::move(held)),
      clock_(std::move(clock)) {}

Session::~Session() {
    if (held_ && charged_ > 0) held_->give(charged_);
}

double Session::secondsOf(size_t bytes, bool frames) const {
    const double samples = frames ? static_cast<double>(bytes / kBv32FrameSize * kSamplesPerFrame)
                                  : static_cast<double>(bytes / sizeof(int16_t));
    return samples / session_rate_;
}

PacketResult Session::addPacket(int index, std::string data) {
    Answers answers;
    const PacketResult result = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return PacketResult::Closed;
        if (wrong_rate_) return PacketResult::WrongRate;
        if (index == 0 || index == INT_MIN) return PacketResult::BadIndex;
        const int n = index < 0 ? -index : index;
        if (n > limits_.max_index) return PacketResult::BadIndex;
        if (last_ > 0 && n > last_) return index < 0 ? PacketResult::AfterLast : PacketResult::BadIndex;
        if (n < next_ || pending_.count(n) != 0) return PacketResult::Duplicate;
        if (n == 1 && classifyFirstPacket(data, session_rate_).format == StreamFormat::WrongRate) {
            wrong_rate_ = true;
            ended_.store(true, std::memory_order_release);
            pending_.clear();
            pending_bytes_ = 0;
            finishWith(Hypothesis());
            settle();
            scheduleLocked();  // gives back a decoder taken for later packets
            answerDue(answers);
            return PacketResult::WrongRate;
        }
        // What the session would claim: its packets up to this one at its
        // regular size (an end marker carries no audio of its own), and the
        // audio it holds. Until the format is known, PCM is assumed.
        const bool frames = head_known_ && head_.format == StreamFormat::Bv32;
        const bool marker = index < 0 && data.size() == kFillerSize;
        const size_t unit = regular_size_ != 0 ? regular_size_ : marker ? 0 : data.size();
        const double cap = static_cast<double>(limits_.max_audio.count());
        if (static_cast<double>(n) * secondsOf(unit, frames) > cap ||
            stored_s_ + secondsOf(marker ? 0 : data.size(), frames) > cap) {
            return PacketResult::TooLong;
        }
        const bool in_order = n == next_;
        const bool held = !in_order || starved_;  // no decoder to take it
        if (held && (in_order ? queued_bytes_ : pending_bytes_) + data.size() > limits_.max_bytes) {
            return PacketResult::TooLarge;
        }
        if (held && held_) {
            const size_t want = pending_bytes_ + queued_bytes_ + fill_bytes_ + data.size();
            if (want > charged_) {
                if (!held_->take(want - charged_)) return PacketResult::ServerFull;
                charged_ = want;
            }
        }

        latest_arrival_ = std::chrono::steady_clock::now();
        if (!marker) stored_s_ += secondsOf(data.size(), frames);
        if (n != 1 && index > 0) {
            if (regular_size_ == 0) regular_size_ = data.size();
            regular_sizes_agree_ = regular_sizes_agree_ && regular_size_ == data.size();
        }
        if (index < 0 && (last_ == 0 || n < last_)) {
            // The first end packet wins: numbers beyond it came from a repeated stop.
            last_ = n;
            for (auto it = pending_.upper_bound(n); it != pending_.end();) {
                pending_bytes_ -= it->second.data.size();
                it = pending_.erase(it);
            }
        }
        Packet incoming{std::move(data), index < 0};
        bool progressed = false;
        if (in_order) {
            consume(n, incoming);
            ++next_;
            ++consumed_;
            progressed = true;
        } else {
            pending_bytes_ += incoming.data.size();
            pending_.emplace(n, std::move(incoming));
        }
        for (auto it = pending_.find(next_); it != pending_.end(); it = pending_.find(next_)) {
            consumePending(it);
            progressed = true;
        }
        if (progressed) bump();
        settle();
        scheduleLocked();
        answerDue(answers);
        return PacketResult::Accepted;
    }();
    deliver(answers);
    return result;
}

void Session::consume(int index, Packet& packet) {
    if (packet.last && packet.data.size() == kFillerSize) return;  // end marker, no audio
    size_t pos = 0;
    if (!head_known_) {
        head_ = index == 1 ? classifyFirstPacket(packet.data, session_rate_) : headlessFormat(packet.data);
        head_known_ = true;
        pos = head_.header_size;
    }
    if (pos >= packet.data.size()) return;
    Chunk chunk;
    chunk.bytes = packet.data.substr(pos);
    chunk.frames = head_.format == StreamFormat::Bv32;
    // The client sends the application's last, shorter chunk of audio as raw
    // PCM even when it compresses the rest; front-end output is whole frames
    // that do not read as audio.
    if (chunk.frames && packet.last && index > 1) {
        chunk.frames = chunk.bytes.size() % kBv32FrameSize == 0 &&
                       !soundsLikePcm(chunk.bytes.data(), chunk.bytes.size());
    }
    chunk.audio_ns = nanosOf(chunk.frames ? chunk.bytes.size() / kBv32FrameSize * kSamplesPerFrame
                                          : chunk.bytes.size() / sizeof(int16_t));
    queue(std::move(chunk));
}

void Session::consumePending(std::map<int, Packet>::iterator it) {
    Packet packet = std::move(it->second);
    pending_.erase(it);
    pending_bytes_ -= packet.data.size();
    consume(next_, packet);
    ++next_;
    ++consumed_;
}

void Session::queue(Chunk chunk) {
    queued_bytes_ += chunk.bytes.size();
    fill_bytes_ += chunk.fill_bytes;
    runtime_->received(chunk.audio_ns);
    ++queued_seq_;
    piece_has_audio_ = true;
    last_feed_ = clock_();
    queue_.push_back(std::move(chunk));
}

// Matches this session's share of the server's held audio to what it holds
// now: packets waiting for an earlier one, audio waiting for a decoder, and
// audio still to be made for lost packets.
void Session::settle() {
    const size_t now = pending_bytes_ + (starved_ ? queued_bytes_ : 0) + fill_bytes_;
    if (now < charged_) {
        if (held_) held_->give(charged_ - now);
        charged_ = now;
    }
}

bool Session::gapDue(SteadyTime now) const {
    return last_ > 0 && !complete() && now - latest_arrival_ >= limits_.gap_timeout;
}

// Gives up every packet still missing up to the last one. A run of lost
// packets is replaced by audio of the same length when that length can be
// known (the packets between the first, which carries the header, and the
// last all had one size, and the stream's format is known) and the server
// may hold it; the decode side makes it a second at a time.
void Session::fillGap() {
    auto lose = [this](int first, int count) {
        missing_ += count;
        const int fillable = count - (first == 1 ? 1 : 0);
        if (!head_known_ || fillable <= 0 || !regular_sizes_agree_ || regular_size_ == 0) return;
        const bool frames = head_.format == StreamFormat::Bv32;
        const size_t units = frames
                                 ? (regular_size_ % kBv32FrameSize == 0 ? regular_size_ / kBv32FrameSize : 0)
                                 : regular_size_ / sizeof(int16_t);
        if (units == 0) return;
        Chunk chunk;
        chunk.fill = units * static_cast<size_t>(fillable);
        chunk.frames = frames;
        chunk.fill_bytes = chunk.fill * (frames ? kSamplesPerFrame : 1) * sizeof(int16_t);
        chunk.audio_ns = nanosOf(chunk.fill * (frames ? kSamplesPerFrame : 1));
        if (held_ && !held_->take(chunk.fill_bytes)) return;  // counted as missing, without audio
        charged_ += chunk.fill_bytes;
        queue(std::move(chunk));
    };
    while (next_ <= last_) {
        const auto it = pending_.lower_bound(next_);  // nothing waits beyond the last packet
        const int upto = it == pending_.end() ? last_ + 1 : it->first;
        if (upto > next_) {
            lose(next_, upto - next_);
            next_ = upto;
            continue;
        }
        consumePending(it);
    }
    bump();
    settle();
    scheduleLocked();
}

void Session::bump() {
    if (version_ == answered_version_) unanswered_since_ = std::chrono::steady_clock::now();
    ++version_;
}

void Session::finishWith(Hypothesis final) {
    final_ = std::move(final);
    partial_ = final_;  // what fetches show while the final result is withheld
    finalized_ = true;
    final_due_ = std::chrono::steady_clock::now() + limits_.final_delay;
    bump();
    if (!queue_.empty()) {
        uint64_t ns = 0;
        for (const Chunk& c : queue_) ns += c.audio_ns;
        runtime_->dropped(ns);
        queue_.clear();
        queued_bytes_ = fill_bytes_ = 0;
    }
}

// Queues a decode step when there is work for one: audio to decode, a final
// result to make, a decoder to give back. A session waiting for a free
// decoder is queued again when one is given back.
void Session::scheduleLocked() {
    if (scheduled_) return;
    const bool decoding = !closed_ && !finalized_ && !starved_ && (!queue_.empty() || complete());
    const bool releasing = release_at_ != 0 && decoded_seq_ >= release_at_ && has_decoder_;
    const bool dropping = (closed_ || finalized_) && has_decoder_;
    if (!decoding && !releasing && !dropping) return;
    scheduled_ = true;
    runtime_->schedule(shared_from_this());
}

void Session::retryDecoder() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!starved_) return;
    starved_ = false;
    scheduleLocked();
}

void Session::decodeStep() {
    std::unique_lock<std::mutex> lock(mutex_);
    Answers answers;
    bool freed = false;
    auto finishUtterance = [&]() -> Hypothesis {  // called without the lock
        const auto t0 = std::chrono::steady_clock::now();
        Hypothesis heard = utterance_->finish();
        utterance_.reset();
        runtime_->decoded(0, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        freed = true;
        return heard;
    };

    if (!closed_ && !finalized_) {
        if (release_at_ != 0 && decoded_seq_ >= release_at_) {
            // Idle for the bound: the audio so far becomes a finished piece.
            release_at_ = 0;
            if (utterance_) {
                lock.unlock();
                Hypothesis piece = finishUtterance();
                lock.lock();
                has_decoder_ = false;
                earlier_ = appended(earlier_, std::move(piece), piece_start_ms_);
                if (earlier_.alternatives.size() > 1) earlier_.alternatives.resize(1);
                released_ = true;
                partial_ = earlier_;
                bump();
            }
        } else if (!queue_.empty() || complete()) {
            // A session that gave its decoder back and got nothing since finishes on the text it has.
            const bool need_decoder = !queue_.empty() || !released_;
            if (need_decoder && !utterance_) {
                const uint64_t freed_before = runtime_->freedCount();
                lock.unlock();
                std::unique_ptr<Utterance> u = recognizer_.open(session_rate_, std::chrono::milliseconds(0));
                lock.lock();
                if (u) {
                    utterance_ = std::move(u);
                    piece_start_ms_ =
                        static_cast<int>(fed_samples_ * 1000 / static_cast<unsigned>(session_rate_));
                    has_decoder_ = true;
                } else if (!closed_ && !finalized_) {
                    // Wait for a decoder; meanwhile the queued audio counts as held.
                    starved_ = true;
                    const size_t want = pending_bytes_ + queued_bytes_ + fill_bytes_;
                    if (held_ && want > charged_) held_->force(want - charged_);
                    charged_ = std::max(charged_, want);
                    if (!runtime_->waitForDecoder(weak_from_this(), freed_before)) starved_ = false;
                }
            }
            if (utterance_ && !closed_ && !finalized_ && !queue_.empty()) {
                decodeFront(lock);
            } else if ((utterance_ || !need_decoder) && !closed_ && !finalized_ && complete()) {
                Hypothesis piece;
                if (utterance_) {
                    lock.unlock();
                    piece = finishUtterance();
                    lock.lock();
                    has_decoder_ = false;
                }
                if (!closed_ && !finalized_)
                    finishWith(appended(earlier_, std::move(piece), piece_start_ms_));
            }
        }
    }
    if ((closed_ || finalized_) && utterance_) {
        lock.unlock();
        utterance_.reset();
        freed = true;
        lock.lock();
        has_decoder_ = false;
    }
    scheduled_ = false;
    scheduleLocked();  // more to do: back in line behind the other sessions
    answerDue(answers);
    lock.unlock();
    deliver(answers);
    if (freed) runtime_->decoderFreed();
}

// Decodes and feeds the front of the queue: one chunk, or a second of a fill.
void Session::decodeFront(std::unique_lock<std::mutex>& lock) {
    Chunk& front = queue_.front();
    Chunk chunk;
    const size_t step = front.frames ? static_cast<size_t>(session_rate_) / kSamplesPerFrame
                                     : static_cast<size_t>(session_rate_);
    bool whole = true;
    if (front.fill > step) {
        whole = false;
        chunk.fill = step;
        chunk.frames = front.frames;
        chunk.fill_bytes = front.fill_bytes * step / front.fill;
        chunk.audio_ns = nanosOf(step * (front.frames ? kSamplesPerFrame : 1));
        front.fill -= step;
        front.fill_bytes -= chunk.fill_bytes;
        front.audio_ns -= chunk.audio_ns;
    } else {
        chunk = std::move(front);
        queue_.pop_front();
    }
    queued_bytes_ -= chunk.bytes.size();
    fill_bytes_ -= chunk.fill_bytes;
    in_flight_ = true;
    // The text is taken when decoding catches up or a fetch waits for it, not after every chunk.
    const bool want_text = queue_.empty() || !waiters_.empty();
    settle();
    lock.unlock();

    const auto t0 = std::chrono::steady_clock::now();
    decodeChunk(chunk);
    Hypothesis heard = want_text ? utterance_->partial() : Hypothesis();
    const double busy = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    runtime_->decoded(chunk.audio_ns, busy);

    lock.lock();
    in_flight_ = false;
    if (whole) ++decoded_seq_;
    if (want_text) {
        partial_ = appended(earlier_, std::move(heard), piece_start_ms_);
        partial_.alternatives.clear();
    }
    bump();
}

// Decodes one piece of audio in stream order and feeds it; needs the utterance.
void Session::decodeChunk(const Chunk& chunk) {
    scratch_.clear();
    const std::string& d = chunk.bytes;
    if (chunk.frames) {
        if (chunk.fill > 0) {
            bv32_.conceal(chunk.fill, scratch_);
        } else if (bv32_.carried() == 0 && d.size() % kBv32FrameSize == kStreamHeaderSize &&
                   d.compare(0, kStreamHeaderSize,
                             std::string{static_cast<char>(vela::wire::bv32FormatFor(session_rate_)), 0, 0,
                                         0}) == 0) {
            // The front end starts a new segment after a pause with its header
            // and a freshly reset encoder.
            bv32_.reset();
            bv32_.decode(d.data() + kStreamHeaderSize, d.size() - kStreamHeaderSize, scratch_);
        } else {
            bv32_.decode(d.data(), d.size(), scratch_);
        }
    } else if (chunk.fill > 0) {
        scratch_.assign(chunk.fill, 0);
    } else {
        // Little-endian 16-bit samples; an odd byte waits for the next packet.
        size_t pos = 0;
        if (odd_byte_pending_ && pos < d.size()) {
            scratch_.push_back(static_cast<int16_t>(odd_byte_ | (static_cast<uint8_t>(d[pos]) << 8)));
            odd_byte_pending_ = false;
            ++pos;
        }
        for (; pos + 1 < d.size(); pos += 2) {
            scratch_.push_back(
                static_cast<int16_t>(static_cast<uint8_t>(d[pos]) | (static_cast<uint8_t>(d[pos + 1]) << 8)));
        }
        if (pos < d.size()) {
            odd_byte_ = static_cast<uint8_t>(d[pos]);
            odd_byte_pending_ = true;
        }
    }
    if (!scratch_.empty()) utterance_->feed(scratch_.data(), scratch_.size());
    fed_samples_ += scratch_.size();
}

// Whether waiter `w` is to be answered now; if so its answer goes to `out`,
// otherwise a wake-up is set for when it may be.
bool Session::answerIfDue(Waiter& w, SteadyTime now, Answers& out) {
    FetchResult r;
    if (closed_) {
        r.closed = true;
        out.emplace_back(std::move(w.done), r);
        return true;
    }
    r.packets = consumed_;
    if (finalized_ && now >= final_due_) {
        answered_version_ = version_;
        r.final = true;
        r.text = final_.text;
        r.words = final_.words;
        r.alternatives = final_.alternatives;
        r.missing = missing_;
        if (!final_answered_) {
            final_answered_ = true;
            ended_.store(true, std::memory_order_release);
            runtime_->latency().add(std::chrono::duration<double>(now - latest_arrival_).count());
        }
        out.emplace_back(std::move(w.done), r);
        return true;
    }
    const bool changed = version_ != answered_version_;
    // Decoding has caught up with the audio received, or cannot go on for
    // want of a decoder: the text is as new as it will get for now.
    const bool settled = starved_ || (queue_.empty() && !in_flight_ && !(complete() && !finalized_));
    const SteadyTime change_due = std::max(unanswered_since_, w.arrived) + limits_.coalesce;
    if ((changed && settled && now >= change_due) || now >= w.deadline) {
        answered_version_ = version_;
        r.text = partial_.text;
        r.words = partial_.words;
        out.emplace_back(std::move(w.done), r);
        return true;
    }
    SteadyTime until = w.deadline;
    if (changed && settled && change_due < until) until = change_due;
    if (finalized_ && final_due_ < until) until = final_due_;
    if (last_ > 0 && !complete() && latest_arrival_ + limits_.gap_timeout < until) {
        until = latest_arrival_ + limits_.gap_timeout;
    }
    if (until < w.armed || w.armed <= now) {
        w.armed = until;
        runtime_->wakeAt(until, weak_from_this());
    }
    return false;
}

void Session::answerDue(Answers& out) {
    if (waiters_.empty()) return;
    const SteadyTime now = std::chrono::steady_clock::now();
    if (!closed_ && gapDue(now)) fillGap();
    const size_t before = waiters_.size();
    waiters_.erase(
        std::remove_if(waiters_.begin(), waiters_.end(),
                       [&](const std::unique_ptr<Waiter>& w) { return answerIfDue(*w, now, out); }),
        waiters_.end());
    if (waiters_.size() != before) runtime_->parked(-static_cast<int>(before - waiters_.size()));
}

void Session::deliver(Answers& answers) {
    for (auto& a : answers) a.first(a.second);
}

void Session::fetch(SteadyTime deadline, FetchDone done) {
    Answers answers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Audio that arrives together with this request (the last audio and the
        // end packet often do) is taken into the same answer.
        const SteadyTime now = std::chrono::steady_clock::now();
        auto w = std::make_unique<Waiter>();
        w->arrived = now;
        w->deadline = deadline;
        w->done = std::move(done);
        if (!closed_ && gapDue(now)) fillGap();
        if (!answerIfDue(*w, now, answers)) {
            waiters_.push_back(std::move(w));
            runtime_->parked(1);
        }
    }
    deliver(answers);
}

void Session::poke() {
    Answers answers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answerDue(answers);
    }
    deliver(answers);
}

void Session::sweep() {
    Answers answers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ || finalized_) return;
        if (gapDue(std::chrono::steady_clock::now())) fillGap();
        // No audio for the idle bound: the decoder goes back once what came so far is decoded.
        if (!complete() && piece_has_audio_ && release_at_ == 0 &&
            clock_() - last_feed_ >= limits_.decoder_idle) {
            release_at_ = queued_seq_;
            piece_has_audio_ = false;
        }
        if (starved_ && !scheduled_) starved_ = false;  // in case no decoder was given back since
        scheduleLocked();
        answerDue(answers);
    }
    deliver(answers);
}

void Session::close() {
    Answers answers;
    bool freed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return;
        closed_ = true;
        ended_.store(true, std::memory_order_release);
        pending_.clear();
        pending_bytes_ = 0;
        uint64_t ns = 0;
        for (const Chunk& c : queue_) ns += c.audio_ns;
        if (ns > 0) runtime_->dropped(ns);
        queue_.clear();
        queued_bytes_ = fill_bytes_ = 0;
        settle();
        if (!scheduled_ && utterance_) {  // otherwise the decode step gives it back
            utterance_.reset();
            has_decoder_ = false;
            freed = true;
        }
        answerDue(answers);
    }
    deliver(answers);
    if (freed) runtime_->decoderFreed();
}

}  // namespace asrserver
