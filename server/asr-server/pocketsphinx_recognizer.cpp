#include "server/asr-server/pocketsphinx_recognizer.h"

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>
#include <sphinxbase/jsgf.h>
#include <sys/stat.h>

#include <cstdio>

#include "server/asr-server/grammar.h"
#include "server/asr-server/upsampler.h"

namespace asrserver {

struct PocketSphinxRecognizer::Decoder {
    cmd_ln_t* config = nullptr;
    ps_decoder_t* ps = nullptr;
    std::vector<mfcc_t> initial_mean;  // the live cepstral mean as loaded (the model's preset)

    cmn_t* cmn() const {
        feat_t* feat = ps_get_feat(ps);
        return feat != nullptr ? feat->cmn_struct : nullptr;
    }
    // Starts an utterance from the decoder's initial condition, whatever it heard before.
    bool startUtterance() {
        if (ps_start_utt(ps) < 0) return false;
        cmn_t* c = cmn();
        if (c != nullptr && initial_mean.size() == static_cast<size_t>(c->veclen)) {
            cmn_live_set(c, initial_mean.data());
        }
        return true;
    }

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
//
// Texts come from PocketSphinx's live pass, which normalises the cepstra by a
// running mean. PocketSphinx carries that mean over from one utterance to the
// next, so the text would depend on which decoder of the pool a session gets
// and what it heard before; every utterance therefore starts from the mean
// the decoder was loaded with. For 8 kHz audio that preset is far off, so
// with a grammar the final text comes from a second pass over the whole
// utterance in one piece, which starts from the mean the live pass of the
// same utterance left; the grammar search is cheap. With the language model a
// second pass would add about the utterance's decoding time again to every
// final result, so there the live text stands.
class PocketSphinxUtterance : public Utterance {
  public:
    PocketSphinxUtterance(PocketSphinxRecognizer& owner, std::unique_ptr<PocketSphinxRecognizer::Decoder> d,
                          int sample_rate, bool whole_pass)
        : owner_(owner), decoder_(std::move(d)), upsample_(sample_rate == 8000), whole_pass_(whole_pass) {
        started_ = decoder_->startUtterance();
    }

    ~PocketSphinxUtterance() override {
        if (started_ && !finished_) ps_end_utt(decoder_->ps);
        owner_.release(std::move(decoder_));
    }

    void feed(const int16_t* samples, size_t count) override {
        if (!started_ || finished_) return;
        const size_t from = keep();
        if (upsample_) {
            upsampler_.process(samples, count, audio_);
        } else {
            audio_.insert(audio_.end(), samples, samples + count);
        }
        live(from);
    }

    std::string partial() override { return started_ ? hypothesis() : std::string(); }

    std::string finish() override {
        if (!started_ || finished_) return std::string();
        finished_ = true;
        const size_t from = keep();
        if (upsample_) upsampler_.flush(audio_);
        live(from);
        ps_end_utt(decoder_->ps);
        if (whole_pass_ && ps_start_utt(decoder_->ps) >= 0) {
            ps_process_raw(decoder_->ps, audio_.data(), audio_.size(), FALSE, TRUE);
            ps_end_utt(decoder_->ps);
        }
        return hypothesis();
    }

  private:
    // Where new audio starts in audio_: after everything so far when the
    // whole utterance is kept, else at 0, the previous piece dropped.
    size_t keep() {
        if (!whole_pass_) audio_.clear();
        return audio_.size();
    }

    void live(size_t from) {
        if (audio_.size() > from) {
            ps_process_raw(decoder_->ps, audio_.data() + from, audio_.size() - from, FALSE, FALSE);
        }
    }

    std::string hypothesis() {
        int32 score = 0;
        const char* hyp = ps_get_hyp(decoder_->ps, &score);
        return hyp != nullptr ? std::string(hyp) : std::string();
    }

    PocketSphinxRecognizer& owner_;
    std::unique_ptr<PocketSphinxRecognizer::Decoder> decoder_;
    const bool upsample_;
    const bool whole_pass_;
    Upsampler2x upsampler_;
    std::vector<int16_t> audio_;  // at 16 kHz: the whole utterance, or the latest piece
    bool started_ = false;
    bool finished_ = false;
};

namespace {

constexpr const char* kGrammarSearch = "grammar";

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
                                                                       std::string& error,
                                                                       SetupFailure* failure) {
    // PocketSphinx logs through one process-wide stream; null silences it.
    err_set_logfp(config.verbose ? stderr : nullptr);
    std::unique_ptr<PocketSphinxRecognizer> rec(new PocketSphinxRecognizer(config));
    SetupFailure why = SetupFailure::Model;
    std::unique_ptr<Decoder> first = rec->load(error, why);
    if (!first) {
        if (failure != nullptr) *failure = why;
        return nullptr;
    }
    rec->idle_.push_back(std::move(first));
    rec->count_ = 1;
    return rec;
}

std::unique_ptr<PocketSphinxRecognizer::Decoder> PocketSphinxRecognizer::load(std::string& error,
                                                                              SetupFailure& failure) const {
    failure = SetupFailure::Model;
    const bool grammar = config_.usesGrammar();
    const std::string hmm = config_.model_dir + "/en-us";
    const std::string lm = config_.model_dir + "/en-us.lm.bin";
    const std::string dict = config_.model_dir + "/cmudict-en-us.dict";
    std::vector<std::string> required{hmm + "/mdef", dict};
    if (!grammar) required.push_back(lm);
    for (const std::string& path : required) {
        if (!exists(path)) {
            error = "model file " + path + " is missing";
            return nullptr;
        }
    }
    auto d = std::make_unique<Decoder>();
    // With a grammar the language model is not loaded at all: the search is added below.
    d->config =
        grammar ? cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-dict", dict.c_str(), nullptr)
                : cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
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
    if (cmn_t* c = d->cmn()) {
        d->initial_mean.resize(static_cast<size_t>(c->veclen));
        cmn_live_get(c, d->initial_mean.data());
    }
    if (grammar && !useGrammar(*d, error)) {
        failure = SetupFailure::Grammar;
        return nullptr;
    }
    return d;
}

bool PocketSphinxRecognizer::useGrammar(Decoder& d, std::string& error) const {
    const bool from_file = !config_.grammar_file.empty();
    const std::string what = from_file ? "grammar " + config_.grammar_file : "the grammar of the phrases";
    if (from_file && !exists(config_.grammar_file)) {
        error = "grammar file " + config_.grammar_file + " does not exist";
        return false;
    }
    std::unique_ptr<jsgf_t, void (*)(jsgf_t*)> jsgf(
        from_file ? jsgf_parse_file(config_.grammar_file.c_str(), nullptr)
                  : jsgf_parse_string(phraseGrammar(config_.phrases).c_str(), nullptr),
        jsgf_grammar_free);
    if (!jsgf) {
        error = what + " is not a valid JSGF grammar";
        return false;
    }
    jsgf_rule_t* rule = jsgf_get_public_rule(jsgf.get());
    if (rule == nullptr) {
        error = what + " has no public rule";
        return false;
    }
    std::unique_ptr<fsg_model_t, int (*)(fsg_model_t*)> fsg(
        jsgf_build_fsg(jsgf.get(), rule, ps_get_logmath(d.ps), cmd_ln_float32_r(d.config, "-lw")),
        fsg_model_free);
    if (!fsg || fsg_model_n_word(fsg.get()) == 0) {
        error = what + " has no words";
        return false;
    }
    // PocketSphinx would refuse the grammar too, but only say why in its log.
    std::string missing;
    for (int32 w = 0; w < fsg_model_n_word(fsg.get()); ++w) {
        const char* word = fsg_model_word_str(fsg.get(), w);
        char* pronunciation = ps_lookup_word(d.ps, word);
        if (pronunciation == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(word);
        ckd_free(pronunciation);
    }
    if (!missing.empty()) {
        error = what + " uses words the dictionary lacks: " + missing;
        return false;
    }
    if (ps_set_fsg(d.ps, kGrammarSearch, fsg.get()) < 0 || ps_set_search(d.ps, kGrammarSearch) < 0) {
        error = "PocketSphinx refused " + what;
        return false;
    }
    return true;
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
            SetupFailure failure;
            d = load(error, failure);
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
    return std::make_unique<PocketSphinxUtterance>(*this, std::move(d), sample_rate, config_.usesGrammar());
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
