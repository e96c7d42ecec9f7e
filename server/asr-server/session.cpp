#include "server/asr-server/session.h"

#include <climits>

namespace asrserver {

namespace {

constexpr size_t kStreamHeaderSize = 4;
constexpr size_t kBv32FrameSize = 20;
constexpr size_t kPcmUnitSize = 160;  // the front end hands PCM out in units of 80 samples

// Fewest samples over which the neighbour correlation of noise stays well
// below the bar that smooth audio clears.
constexpr size_t kMinCorrelationSamples = 50;

std::string bv32Text(size_t bytes, int packets) {
    return "BV32-compressed audio cannot be decoded by this server (received " + std::to_string(bytes) +
           " bytes in " + std::to_string(packets) + " packets)";
}

// Whether `size` bytes, read as little-endian 16-bit samples, sound like
// audio: silence and quiet sound keep at least a quarter of their samples
// below -30 dBFS (|x| < 1024), and speech and other low-pitched sound
// correlate neighbouring samples strongly (lag-1 correlation 0.4 and above).
// Packed BV32 frames read the same way look like loud white noise: about 3 %
// quiet samples and a correlation near 0. Only loud noise-like PCM (white
// noise, a loud tone near the Nyquist rate) fails both tests.
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

}  // namespace

StreamHead classifyFirstPacket(const std::string& data, int session_rate) {
    StreamHead head;
    if (data.size() < kStreamHeaderSize || data[1] != 0 || data[2] != 0 || data[3] != 0) return head;
    const unsigned char format = static_cast<unsigned char>(data[0]);
    const size_t body = data.size() - kStreamHeaderSize;
    const bool wide = session_rate == 16000;
    if (format == (wide ? 5 : 1) && body % kPcmUnitSize == 0) {
        head.format = StreamFormat::Pcm;
        head.header_size = kStreamHeaderSize;
    } else if (format == (wide ? 4 : 0) && body > 0 && body % kBv32FrameSize == 0 &&
               !soundsLikePcm(data.data() + kStreamHeaderSize, body)) {
        head.format = StreamFormat::Bv32;
        head.header_size = kStreamHeaderSize;
    }
    return head;
}

Session::Session(std::string sid, int sample_rate, Recognizer& recognizer, const SessionLimits& limits)
    : sid_(std::move(sid)), session_rate_(sample_rate), recognizer_(recognizer), limits_(limits) {}

Session::~Session() = default;

PacketResult Session::addPacket(int index, std::string data) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return PacketResult::Closed;
    if (index == 0 || index == INT_MIN) return PacketResult::BadIndex;
    const int n = index < 0 ? -index : index;
    if (n > limits_.max_index) return PacketResult::BadIndex;
    if (last_ > 0 && n > last_) return index < 0 ? PacketResult::AfterLast : PacketResult::BadIndex;
    if (n < next_ || pending_.count(n) != 0) return PacketResult::Duplicate;
    const bool in_order = n == next_;
    if (in_order ? !utterance_ && buffered_bytes_ + data.size() > limits_.max_bytes
                 : pending_bytes_ + data.size() > limits_.max_bytes) {
        return PacketResult::TooLarge;
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
    if (progressed) ++version_;
    if (complete()) finalize(lock, std::chrono::milliseconds(0));
    changed_.notify_all();
    return PacketResult::Accepted;
}

void Session::consume(int index, Packet& packet) {
    if (packet.last && packet.data.size() == kFillerSize) return;  // end marker, no audio
    const std::string& d = packet.data;
    size_t pos = 0;
    if (index == 1) {
        head_ = classifyFirstPacket(d, session_rate_);
        pos = head_.header_size;
    }
    if (head_.format == StreamFormat::Bv32) {
        undecodable_bytes_ += d.size() - pos;
        return;
    }
    // Little-endian 16-bit samples; an odd byte waits for the next packet.
    scratch_.clear();
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
    if (scratch_.empty()) return;
    if (tryOpen()) {
        utterance_->feed(scratch_.data(), scratch_.size());
    } else {
        buffered_.push_back(scratch_);
        buffered_bytes_ += scratch_.size() * sizeof(int16_t);
    }
    dirty_ = true;
}

bool Session::tryOpen() {
    if (!utterance_ && !acquiring_) {
        utterance_ = recognizer_.open(session_rate_, std::chrono::milliseconds(0));
        if (utterance_) feedBuffered();
    }
    return utterance_ != nullptr;
}

void Session::feedBuffered() {
    for (const std::vector<int16_t>& chunk : buffered_) {
        utterance_->feed(chunk.data(), chunk.size());
    }
    buffered_bytes_ = 0;
    if (!buffered_.empty()) dirty_ = true;
    buffered_.clear();
}

void Session::finalize(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds wait) {
    if (finalized_) return;
    if (head_.format == StreamFormat::Bv32) {
        final_text_ = bv32Text(undecodable_bytes_, consumed_);
    } else {
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
        final_text_ = utterance_->finish();
    }
    utterance_.reset();      // gives the decoder back
    partial_ = final_text_;  // what fetches show while the final result is withheld
    dirty_ = false;
    finalized_ = true;
    final_due_ = std::chrono::steady_clock::now() + limits_.final_delay;
    ++version_;
    changed_.notify_all();
}

std::string Session::partialText() {
    if (head_.format == StreamFormat::Bv32) return std::string();
    if (!buffered_.empty()) tryOpen();
    if (utterance_ && dirty_) {
        partial_ = utterance_->partial();
        dirty_ = false;
    }
    return partial_;
}

FetchResult Session::fetch(SteadyTime deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool tried_decoder = false;
    for (;;) {
        FetchResult r;
        if (closed_) {
            r.closed = true;
            return r;
        }
        auto now = std::chrono::steady_clock::now();
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
            return r;
        }
        if (version_ != answered_version_ || now >= deadline) {
            answered_version_ = version_;
            r.text = partialText();
            return r;
        }
        changed_.wait_until(lock, finalized_ && final_due_ < deadline ? final_due_ : deadline);
    }
}

void Session::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    pending_.clear();
    buffered_.clear();
    pending_bytes_ = buffered_bytes_ = 0;
    utterance_.reset();
    changed_.notify_all();
}

}  // namespace asrserver
