#include "server/asr-server/session.h"

#include <algorithm>
#include <climits>

namespace asrserver {

namespace {

constexpr size_t kStreamHeaderSize = 4;
constexpr size_t kBv32FrameSize = Bv32Stream::kFrameBytes;
constexpr size_t kPcmUnitSize = 160;  // the front end hands PCM out in units of 80 samples

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

}  // namespace

StreamHead classifyFirstPacket(const std::string& data, int session_rate) {
    StreamHead head;
    if (data.size() < kStreamHeaderSize || data[1] != 0 || data[2] != 0 || data[3] != 0) return head;
    const unsigned char format = static_cast<unsigned char>(data[0]);
    const size_t body = data.size() - kStreamHeaderSize;
    StreamFormat kind;
    if ((format == 1 || format == 5) && body % kPcmUnitSize == 0) {
        kind = StreamFormat::Pcm;
    } else if ((format == 0 || format == 4) && body % kBv32FrameSize == 0) {
        kind = StreamFormat::Bv32;
    } else {
        return head;
    }
    const int rate = format >= 4 ? 16000 : 8000;
    head.format = rate == session_rate ? kind : StreamFormat::WrongRate;
    head.header_size = kStreamHeaderSize;
    return head;
}

bool HeldAudio::take(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes > cap_ - used_) return false;
    used_ += bytes;
    return true;
}

void HeldAudio::give(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    used_ -= bytes;
}

size_t HeldAudio::used() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return used_;
}

Session::Session(std::string sid, int sample_rate, Recognizer& recognizer, const SessionLimits& limits,
                 std::shared_ptr<HeldAudio> held, Clock clock)
    : sid_(std::move(sid)),
      session_rate_(sample_rate),
      recognizer_(recognizer),
      limits_(limits),
      held_(std::move(held)),
      clock_(std::move(clock)) {}

Session::~Session() {
    if (held_ && charged_ > 0) held_->give(charged_);
}

PacketResult Session::addPacket(int index, std::string data) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return PacketResult::Closed;
    if (wrong_rate_) return PacketResult::WrongRate;
    if (index == 0 || index == INT_MIN) return PacketResult::BadIndex;
    const int n = index < 0 ? -index : index;
    if (n > limits_.max_index) return PacketResult::BadIndex;
    if (last_ > 0 && n > last_) return index < 0 ? PacketResult::AfterLast : PacketResult::BadIndex;
    if (n < next_ || pending_.count(n) != 0) return PacketResult::Duplicate;
    if (n == 1 && classifyFirstPacket(data, session_rate_).format == StreamFormat::WrongRate) {
        wrong_rate_ = true;
        pending_.clear();
        pending_bytes_ = 0;
        settle();
        finishWith(std::string());
        return PacketResult::WrongRate;
    }
    const bool in_order = n == next_;
    if (in_order) tryOpen();
    const bool held = !in_order || !utterance_;  // no decoder to take it at once
    if (held && (in_order ? buffered_bytes_ : pending_bytes_) + data.size() > limits_.max_bytes) {
        return PacketResult::TooLarge;
    }
    if (held && held_) {
        const size_t want = pending_bytes_ + buffered_bytes_ + data.size();
        if (want > charged_) {
            if (!held_->take(want - charged_)) return PacketResult::ServerFull;
            charged_ = want;
        }
    }

    latest_arrival_ = std::chrono::steady_clock::now();
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
        Packet packet = std::move(it->second);
        pending_.erase(it);
        pending_bytes_ -= packet.data.size();
        consume(next_, packet);
        ++next_;
        ++consumed_;
        progressed = true;
    }
    if (progressed) bump();
    if (complete()) finalize(lock, std::chrono::milliseconds(0));
    settle();
    changed_.notify_all();
    return PacketResult::Accepted;
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
    Chunk chunk{packet.data.substr(pos), 0, false};
    // The client sends the application's last, shorter chunk of audio as raw
    // PCM even when it compresses the rest; front-end output is whole frames
    // that do not read as audio.
    if (head_.format == StreamFormat::Bv32 && packet.last && index > 1) {
        chunk.pcm =
            chunk.bytes.size() % kBv32FrameSize != 0 || soundsLikePcm(chunk.bytes.data(), chunk.bytes.size());
    }
    queue(std::move(chunk));
}

// Packet `index` is given up. Its audio is replaced when its length can be
// known: the packets between the first (which carries the header) and the
// last all had one size, and the stream's format is known.
void Session::lose(int index) {
    ++missing_;
    if (!head_known_ || index == 1 || !regular_sizes_agree_ || regular_size_ == 0) return;
    const size_t units = head_.format == StreamFormat::Bv32
                             ? (regular_size_ % kBv32FrameSize == 0 ? regular_size_ / kBv32FrameSize : 0)
                             : regular_size_ / sizeof(int16_t);
    if (units > 0) queue(Chunk{std::string(), units, false});
}

void Session::queue(Chunk chunk) {
    if (tryOpen()) {
        decode(chunk);
    } else {
        buffered_bytes_ += chunk.bytes.size();
        buffered_.push_back(std::move(chunk));
    }
    dirty_ = true;
}

// Decodes one chunk in stream order and feeds it; needs the utterance.
void Session::decode(const Chunk& chunk) {
    scratch_.clear();
    const std::string& d = chunk.bytes;
    if (head_.format == StreamFormat::Bv32 && !chunk.pcm) {
        if (chunk.fill > 0) {
            bv32_.conceal(chunk.fill, scratch_);
        } else if (bv32_.carried() == 0 && d.size() % kBv32FrameSize == kStreamHeaderSize &&
                   d.compare(0, kStreamHeaderSize,
                             std::string{static_cast<char>(session_rate_ == 16000 ? 4 : 0), 0, 0, 0}) == 0) {
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
    last_feed_ = clock_();
    if (!scratch_.empty()) utterance_->feed(scratch_.data(), scratch_.size());
}

bool Session::tryOpen() {
    if (!utterance_ && !acquiring_) {
        utterance_ = recognizer_.open(session_rate_, std::chrono::milliseconds(0));
        if (utterance_) {
            last_feed_ = clock_();
            feedBuffered();
        }
    }
    return utterance_ != nullptr;
}

void Session::feedBuffered() {
    for (const Chunk& chunk : buffered_) decode(chunk);
    buffered_bytes_ = 0;
    if (!buffered_.empty()) dirty_ = true;
    buffered_.clear();
    settle();
}

// Matches this session's share of the server's held audio to what it holds now.
void Session::settle() {
    const size_t now = pending_bytes_ + buffered_bytes_;
    if (held_ && now < charged_) held_->give(charged_ - now);
    if (now < charged_) charged_ = now;
}

bool Session::gapDue(SteadyTime now) const {
    return last_ > 0 && !complete() && now - latest_arrival_ >= limits_.gap_timeout;
}

void Session::fillGap() {
    for (; next_ <= last_; ++next_) {
        const auto it = pending_.find(next_);
        if (it == pending_.end()) {
            lose(next_);
            continue;
        }
        Packet packet = std::move(it->second);
        pending_.erase(it);
        pending_bytes_ -= packet.data.size();
        consume(next_, packet);
        ++consumed_;
    }
    bump();
    settle();
}

void Session::bump() {
    if (version_ == answered_version_) unanswered_since_ = std::chrono::steady_clock::now();
    ++version_;
}

void Session::releaseDecoder() {
    earlier_text_ = joined(earlier_text_, utterance_->finish());
    utterance_.reset();
    released_ = true;
    partial_ = earlier_text_;
    dirty_ = false;
    bump();
}

void Session::finishWith(std::string text) {
    utterance_.reset();  // gives the decoder back
    final_text_ = std::move(text);
    partial_ = final_text_;  // what fetches show while the final result is withheld
    dirty_ = false;
    finalized_ = true;
    final_due_ = std::chrono::steady_clock::now() + limits_.final_delay;
    bump();
    changed_.notify_all();
}

void Session::finalize(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds wait) {
    if (finalized_) return;
    if (released_ && !utterance_ && buffered_.empty()) {
        finishWith(earlier_text_);  // nothing came after the decoder was given back
        return;
    }
    if (!tryOpen()) {
        if (wait.count() <= 0 || acquiring_) return;
        // Wait for a decoder without blocking the session's other requests.
        acquiring_ = true;
        lock.unlock();
        std::unique_ptr<Utterance> u = recognizer_.open(session_rate_, wait);
        lock.lock();
        acquiring_ = false;
        changed_.notify_all();
        if (!u || closed_ || finalized_) return;
        utterance_ = std::move(u);
        feedBuffered();
    }
    finishWith(joined(earlier_text_, utterance_->finish()));
}

std::string Session::partialText() {
    if (!buffered_.empty()) tryOpen();
    if (utterance_ && dirty_) {
        partial_ = joined(earlier_text_, utterance_->partial());
        dirty_ = false;
    }
    return partial_;
}

FetchResult Session::fetch(SteadyTime deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Audio that arrives together with this request (the last audio and the
    // end packet often do) is taken into the same answer.
    const SteadyTime arrived = std::chrono::steady_clock::now();
    bool tried_decoder = false;
    for (;;) {
        FetchResult r;
        if (closed_) {
            r.closed = true;
            return r;
        }
        auto now = std::chrono::steady_clock::now();
        if (gapDue(now)) fillGap();
        if (complete() && !finalized_ && !tried_decoder) {
            tried_decoder = true;
            finalize(lock, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
            continue;  // the lock may have been released: look again
        }
        r.packets = consumed_;
        if (finalized_ && now >= final_due_) {
            answered_version_ = version_;
            r.final = true;
            r.text = final_text_;
            r.missing = missing_;
            return r;
        }
        const bool changed = version_ != answered_version_;
        const SteadyTime change_due = std::max(unanswered_since_, arrived) + limits_.coalesce;
        if ((changed && now >= change_due) || now >= deadline) {
            answered_version_ = version_;
            r.text = partialText();
            return r;
        }
        SteadyTime until = deadline;
        if (changed && change_due < until) until = change_due;
        if (finalized_ && final_due_ < until) until = final_due_;
        if (last_ > 0 && !complete() && latest_arrival_ + limits_.gap_timeout < until) {
            until = latest_arrival_ + limits_.gap_timeout;
        }
        changed_.wait_until(lock, until);
    }
}

void Session::sweep() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_ || finalized_) return;
    if (gapDue(std::chrono::steady_clock::now())) {
        fillGap();
        finalize(lock, std::chrono::milliseconds(0));
        changed_.notify_all();
        if (finalized_) return;
    }
    if (utterance_ && !complete() && clock_() - last_feed_ >= limits_.decoder_idle) {
        releaseDecoder();
        changed_.notify_all();
    }
}

void Session::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    pending_.clear();
    buffered_.clear();
    pending_bytes_ = buffered_bytes_ = 0;
    settle();
    utterance_.reset();
    changed_.notify_all();
}

}  // namespace asrserver
