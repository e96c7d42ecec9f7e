#include "server/asr-server/pocketsphinx_recognizer.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>
#include <sys/stat.h>

#include <cstdio>

#include "server/asr-server/upsampler.h"

namespace asrserver {

struct PocketSphinxRecognizer::Decoder {
    cmd_ln_t* config = nullptr;
    ps_decoder_t* ps = nullptr;

    Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder() {
        if (ps != nullptr) ps_free(ps);  // drops the decoder's own reference to config
        if (config != nullptr) cmd_ln_free_r(config);
    }
};

// One utterance on a decoder borrowed from the pool; 8 kHz audio is upsampled
// to the model's 16 kHz on the way in.
class PocketSphinxUtterance : public Utterance {
  public:
    PocketSphinxUtterance(PocketSphinxRecognizer& owner, std::unique_ptr<PocketSphinxRecognizer::Decoder> d,
                          int sample_rate)
        : owner_(owner), decoder_(std::move(d)), upsample_(sample_rate == 8000) {
        started_ = ps_start_utt(decoder_->ps) >= 0;
    }

    ~PocketSphinxUtterance() override {
        if (started_ && !finished_) ps_end_utt(decoder_->ps);
        owner_.release(std::move(decoder_));
    }

    void feed(const int16_t* samples, size_t count) override {
        if (!started_ || finished_) return;
        if (upsample_) {
            scratch_.clear();
            upsampler_.process(samples, count, scratch_);
            process(scratch_.data(), scratch_.size());
        } else {
            process(samples, count);
        }
    }

    std::string partial() override { return started_ ? hypothesis() : std::string(); }

    std::string finish() override {
        if (!started_ || finished_) return std::string();
        if (upsample_) {
            scratch_.clear();
            upsampler_.flush(scratch_);
            process(scratch_.data(), scratch_.size());
        }
        ps_end_utt(decoder_->ps);
        finished_ = true;
        return hypothesis();
    }

  private:
    void process(const int16_t* samples, size_t count) {
        if (count > 0) ps_process_raw(decoder_->ps, samples, count, FALSE, FALSE);
    }

    std::string hypothesis() {
        int32 score = 0;
        const char* hyp = ps_get_hyp(decoder_->ps, &score);
        return hyp != nullptr ? std::string(hyp) : std::string();
    }

    PocketSphinxRecognizer& owner_;
    std::unique_ptr<PocketSphinxRecognizer::Decoder> decoder_;
    const bool upsample_;
    Upsampler2x upsampler_;
    std::vector<int16_t> scratch_;  // reused for every packet
    bool started_ = false;
    bool finished_ = false;
};

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

PocketSphinxRecognizer::PocketSphinxRecognizer(const PocketSphinxConfig& config) : config_(config) {
    if (config_.max_decoders == 0) config_.max_decoders = 1;
}

PocketSphinxRecognizer::~PocketSphinxRecognizer() = default;

std::unique_ptr<PocketSphinxRecognizer> PocketSphinxRecognizer::create(const PocketSphinxConfig& config,
                                                                       std::string& error) {
    // PocketSphinx logs through one process-wide stream; null silences it.
    err_set_logfp(config.verbose ? stderr : nullptr);
    std::unique_ptr<PocketSphinxRecognizer> rec(new PocketSphinxRecognizer(config));
    std::unique_ptr<Decoder> first = rec->load(error);
    if (!first) return nullptr;
    rec->idle_.push_back(std::move(first));
    rec->count_ = 1;
    return rec;
}

std::unique_ptr<PocketSphinxRecognizer::Decoder> PocketSphinxRecognizer::load(std::string& error) const {
    const std::string hmm = config_.model_dir + "/en-us";
    const std::string lm = config_.model_dir + "/en-us.lm.bin";
    const std::string dict = config_.model_dir + "/cmudict-en-us.dict";
    for (const std::string& path : {hmm + "/mdef", lm, dict}) {
        if (!exists(path)) {
            error = "model file " + path + " is missing";
            return nullptr;
        }
    }
    auto d = std::make_unique<Decoder>();
    d->config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
                            dict.c_str(), nullptr);
    if (d->config == nullptr) {
        error = "PocketSphinx rejected its configuration";
        return nullptr;
    }
    d->ps = ps_init(d->config);
    if (d->ps == nullptr) {
        error = "PocketSphinx could not load the model in " + config_.model_dir;
        return nullptr;
    }
    return d;
}

std::unique_ptr<Utterance> PocketSphinxRecognizer::open(int sample_rate, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::unique_ptr<Decoder> d;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!d) {
        if (stopping_) return nullptr;
        if (!idle_.empty()) {
            d = std::move(idle_.back());
            idle_.pop_back();
        } else if (count_ < config_.max_decoders) {
            ++count_;  // reserve the slot, load without the lock
            lock.unlock();
            std::string error;
            d = load(error);
            lock.lock();
            if (!d) {
                --count_;
                std::fprintf(stderr, "asr-server: warning: %s\n", error.c_str());
                return nullptr;
            }
        } else if (returned_.wait_until(lock, deadline) == std::cv_status::timeout && idle_.empty()) {
            return nullptr;
        }
    }
    lock.unlock();
    return std::make_unique<PocketSphinxUtterance>(*this, std::move(d), sample_rate);
}

void PocketSphinxRecognizer::release(std::unique_ptr<Decoder> decoder) {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(std::move(decoder));
    returned_.notify_one();
}

void PocketSphinxRecognizer::shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    returned_.notify_all();
}

}  // namespace asrserver
