#include "server/asr-server/pocketsphinx_recognizer.h"

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>
#include <sphinxbase/jsgf.h>
#include <sphinxbase/ngram_model.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "server/asr-server/grammar.h"
#include "server/asr-server/ps_hypothesis.h"
#include "server/asr-server/shaped_noise.h"
#include "server/asr-server/upsampler.h"

namespace asrserver {

// The two searches of the language model when the start of an utterance is
// decoded twice (see PocketSphinxUtterance): a cheap one for the intermediate
// texts until the mean is settled, and the profile's own from there.
constexpr const char* kProvisionalSearch = "provisional";
constexpr const char* kSettledSearch = "settled";
// The provisional search's bounds on the HMMs active and the words ending per
// frame, those of the `fast` profile.
constexpr long kProvisionalMaxHmms = 3000;
constexpr long kProvisionalMaxWords = 20;

// Sum of the cepstra of the voiced frames seen so far.
struct CepstralSum {
    std::vector<double> sum;
    long frames = 0;
};

struct PocketSphinxRecognizer::Decoder {
    std::vector<std::string> args;  // config points into these strings: they live as long
    cmd_ln_t* config = nullptr;
    ps_decoder_t* ps = nullptr;
    // A front end of its own, configured like the decoder's, that measures the
    // cepstral mean of an utterance's first voiced frames.
    fe_t* probe = nullptr;
    std::vector<mfcc_t> initial_mean;  // the live cepstral mean as loaded (the model's preset)
    // kProvisionalSearch and kSettledSearch replace the loaded one: with the
    // language model, when the profile decodes the start of an utterance again
    bool two_searches = false;

    cmn_t* cmn() const {
        feat_t* feat = ps_get_feat(ps);
        return feat != nullptr ? feat->cmn_struct : nullptr;
    }
    // Starts an utterance from the decoder's initial condition, whatever it
    // heard before: the front end's noise estimate and the cepstral mean too.
    bool startUtterance() {
        if (two_searches && ps_set_search(ps, kProvisionalSearch) < 0) return false;
        if (ps_start_stream(ps) < 0 || ps_start_utt(ps) < 0) return false;
        cmn_t* c = cmn();
        if (c != nullptr && initial_mean.size() == static_cast<size_t>(c->veclen)) {
            cmn_live_set(c, initial_mean.data());
        }
        if (probe != nullptr) {
            fe_start_stream(probe);
            fe_start_utt(probe);
        }
        return true;
    }
    // Ends the utterance and starts it again from the same initial condition
    // (the probe goes on measuring), on the settled search if there are two.
    bool restartUtterance() {
        ps_end_utt(ps);
        if (two_searches && ps_set_search(ps, kSettledSearch) < 0) return false;
        return ps_start_stream(ps) >= 0 && ps_start_utt(ps) >= 0;
    }
    // Adds the cepstra of the voiced frames in `samples` (16 kHz) to `acc`.
    void measure(const int16_t* samples, size_t count, CepstralSum& acc) {
        if (probe == nullptr || count == 0) return;
        const int veclen = fe_get_output_size(probe);
        acc.sum.resize(static_cast<size_t>(veclen), 0.0);
        int32 nframes = 0;
        mfcc_t** cep = nullptr;
        if (fe_process_utt(probe, samples, count, &cep, &nframes) >= 0 && cep != nullptr) {
            for (int32 f = 0; f < nframes; ++f) {
                for (int i = 0; i < veclen; ++i) acc.sum[static_cast<size_t>(i)] += MFCC2FLOAT(cep[f][i]);
            }
            acc.frames += nframes;
        }
        if (cep != nullptr) fe_free_2d(cep);
    }
    // Makes the mean of `acc` the live cepstral mean the decoder goes on from.
    void setMean(const CepstralSum& acc) {
        cmn_t* c = cmn();
        if (c == nullptr || acc.frames == 0 || acc.sum.size() != static_cast<size_t>(c->veclen)) return;
        std::vector<mfcc_t> mean(acc.sum.size());
        for (size_t i = 0; i < mean.size(); ++i) {
            mean[i] = FLOAT2MFCC(acc.sum[i] / static_cast<double>(acc.frames));
        }
        cmn_live_set(c, mean.data());
    }

    Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder() {
        if (probe != nullptr) fe_free(probe);
        if (ps != nullptr) ps_free(ps);  // drops the decoder's own reference to config
        if (config != nullptr) cmd_ln_free_r(config);
    }
};

// One utterance on a decoder borrowed from the pool; 8 kHz audio is upsampled
// to the model's 16 kHz on the way in.
//
// The live pass normalises the cepstra by a running mean that moves slowly
// (it weighs about five seconds of speech), so an utterance that started from
// a fixed preset would be decoded mostly with the preset's mean, far off for
// many voices and for 8 kHz audio. Each utterance therefore measures its own
// mean with a front end of its own. Its audio is held only until kPrimeFrames
// voiced frames (0.3 s) were seen; a provisional pass then decodes it with
// their mean, made that of all the voiced frames so far after every piece,
// for the intermediate texts. Once kSettledFrames (1 s) were measured (or the
// utterance ends, or kMaxHeldSamples with some speech are held) the
// utterance is decoded again from its start with the settled mean, and that
// pass goes on live and gives the final text (the `fast` profile saves this
// second decoding of the start and lets the provisional pass go on). With the
// language model the provisional pass runs a search of its own, bounded to
// far fewer HMMs per frame and building no lattice: its texts are replaced
// within a second, and it costs a fraction of the pass it precedes. An
// utterance that ends before its mean settles is decoded again then. With a
// grammar, whose search is cheap, the live pass only gives the intermediate
// texts: the final text comes from a second pass over the whole utterance in
// one piece, normalised by its whole mean.
// The text depends only on the session's own audio, not on the decoder of the
// pool it got.
class PocketSphinxUtterance : public Utterance {
  public:
    PocketSphinxUtterance(PocketSphinxRecognizer& owner, std::unique_ptr<PocketSphinxRecognizer::Decoder> d,
                          int sample_rate)
        : owner_(owner),
          decoder_(std::move(d)),
          upsample_(sample_rate == 8000),
          whole_pass_(owner.config_.usesGrammar()),
          settled_pass_(decoder_->two_searches),
          noise_(owner.config_.shaped_noise_db > 0
                     ? std::make_unique<ShapedNoise>(owner.config_.shaped_noise_db)
                     : nullptr) {
        started_ = decoder_->startUtterance();
    }

    ~PocketSphinxUtterance() override {
        if (started_ && !finished_) ps_end_utt(decoder_->ps);
        owner_.release(std::move(decoder_));
    }

    void feed(const int16_t* samples, size_t count) override {
        if (!started_ || finished_ || count == 0) return;
        audio_.clear();
        if (upsample_) {
            upsampler_.process(samples, count, audio_);
        } else {
            audio_.assign(samples, samples + count);
        }
        take(false);
    }

    Hypothesis partial() override {
        if (!started_) return Hypothesis();
        if (stale_) {
            text_ = hypothesis(false);  // the search's best path so far
            stale_ = false;
        }
        return text_;
    }

    Hypothesis finish() override {
        if (!started_ || finished_) return Hypothesis();
        finished_ = true;
        audio_.clear();
        if (upsample_) upsampler_.flush(audio_);
        take(true);
        ps_end_utt(decoder_->ps);
        if (whole_pass_ && ps_start_utt(decoder_->ps) >= 0) {
            pass_start_ = 0;
            ps_process_raw(decoder_->ps, whole_.data(), whole_.size(), FALSE, TRUE);
            ps_end_utt(decoder_->ps);
        }
        return hypothesis(true);  // the final text
    }

  private:
    // Adds the shaped noise to the new audio in audio_ (16 kHz) and decodes
    // it, holds it while the first voiced frames are measured, or decodes the
    // utterance again from its start once the mean is settled.
    void take(bool last) {
        samples_ += audio_.size();
        if (noise_) noise_->process(audio_.data(), audio_.size());
        if (whole_pass_) whole_.insert(whole_.end(), audio_.begin(), audio_.end());
        if (settled_) {
            decode(audio_.data(), audio_.size());
            return;
        }
        decoder_->measure(audio_.data(), audio_.size(), measured_);
        start_.insert(start_.end(), audio_.begin(), audio_.end());
        const long frames = measured_.frames;
        const bool settled = frames >= kSettledFrames || (frames > 0 && start_.size() >= kMaxHeldSamples);
        // An utterance that ends before its mean settles is decoded again when
        // nothing of it was, or when the provisional pass was the cheap search.
        if ((settled && settled_pass_) || (last && (decoded_ == 0 || settled_pass_))) {
            // The pass that gives the final text: from the start, with the settled mean.
            if (searched_ || settled_pass_) decoder_->restartUtterance();
            pass_start_ = samples_ - start_.size();  // silence decoded before start_ is not decoded again
            decoder_->setMean(measured_);
            decode(start_.data(), start_.size());
            std::vector<int16_t>().swap(start_);
            settled_ = true;
            return;
        }
        if (frames < kPrimeFrames && !last) {
            if (start_.size() < kMaxHeldSamples) return;  // held until some speech is measured
            // Silence alone says nothing of the mean: it is decoded as it is
            // and the measuring goes on.
            decode(start_.data(), start_.size());
            start_.clear();
            decoded_ = 0;
            return;
        }
        // The provisional pass, for intermediate texts: the mean of the voiced frames so far.
        decoder_->setMean(measured_);
        decode(start_.data() + decoded_, start_.size() - decoded_);
        decoded_ = start_.size();
        if (settled) {  // without a settled pass, this one goes on live as it is
            std::vector<int16_t>().swap(start_);
            settled_ = true;
        }
    }

    void decode(const int16_t* samples, size_t count) {
        if (count == 0) return;
        ps_process_raw(decoder_->ps, samples, count, FALSE, FALSE);
        stale_ = searched_ = true;
    }

    // The decoder's hypothesis, its word times counted from the utterance's
    // first sample: the current pass may have started after some silence.
    Hypothesis hypothesis(bool final) {
        const auto ms = [](size_t samples) { return static_cast<int>(samples * 1000 / kModelRate); };
        Hypothesis h = readHypothesis(decoder_->ps, final, owner_.config_.nbest, ms(samples_ - pass_start_));
        for (Word& w : h.words) {
            w.start_ms += ms(pass_start_);
            w.end_ms += ms(pass_start_);
        }
        return h;
    }

    static constexpr long kPrimeFrames = 30;              // 0.3 s of voiced frames
    static constexpr long kSettledFrames = 100;           // 1 s of voiced frames
    static constexpr size_t kMaxHeldSamples = 3 * 16000;  // 3 s of audio
    static constexpr size_t kModelRate = 16000;

    PocketSphinxRecognizer& owner_;
    std::unique_ptr<PocketSphinxRecognizer::Decoder> decoder_;
    const bool upsample_;
    const bool whole_pass_;  // the final text comes from a pass over the whole utterance
    // or from a pass from the start once the mean is settled, by the decoder's
    // settled search (its provisional search decodes the start first)
    const bool settled_pass_;
    Upsampler2x upsampler_;
    const std::unique_ptr<ShapedNoise> noise_;  // null when none is added
    std::vector<int16_t> audio_;                // the latest piece, at 16 kHz
    std::vector<int16_t> start_;                // the audio until the mean is settled
    std::vector<int16_t> whole_;                // the whole utterance, for the whole pass
    size_t decoded_ = 0;                        // how much of start_ the provisional pass decoded
    CepstralSum measured_;
    Hypothesis text_;        // the latest intermediate result
    size_t samples_ = 0;     // taken so far, at 16 kHz
    size_t pass_start_ = 0;  // of those, the ones before the decoder's current pass
    bool stale_ = false;     // audio was decoded since text_
    bool searched_ = false;  // the decoder's utterance has audio the final pass must not see
    bool settled_ = false;   // the mean is measured: audio is decoded as it comes
    bool started_ = false;
    bool finished_ = false;
};

namespace {

constexpr const char* kGrammarSearch = "grammar";

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The files of the model in a model folder.
struct ModelFiles {
    explicit ModelFiles(const std::string& dir)
        : hmm(dir + "/en-us"), lm(dir + "/en-us.lm.bin"), dict(dir + "/cmudict-en-us.dict") {}
    std::string hmm;   // the acoustic model's folder
    std::string lm;    // the language model
    std::string dict;  // the pronunciation dictionary
};

struct Profile {
    const char* name;
    std::vector<std::pair<const char*, const char*>> settings;  // over PocketSphinx's defaults
    // Decode the start of an utterance again once its mean is settled (see
    // PocketSphinxUtterance); without it the provisional pass gives the final text.
    bool settled_pass = true;
};

const std::vector<Profile>& profileTable() {
    // Without the flat-lexicon pass, finishing an utterance costs a lattice
    // search only, not a second search over all of it. The bounds on the HMMs
    // and words active per frame cap the search on hard audio; `fast` bounds it
    // tighter, prunes earlier with the wider phone lookahead and decodes the
    // start of an utterance only once.
    static const std::vector<Profile> table{
        {"accurate", {}},
        {"balanced", {{"-fwdflat", "no"}, {"-maxhmmpf", "10000"}, {"-maxwpf", "20"}}},
        {"fast", {{"-fwdflat", "no"}, {"-maxhmmpf", "3000"}, {"-maxwpf", "20"}, {"-pl_window", "10"}}, false},
    };
    return table;
}

const Profile* findProfile(const std::string& name) {
    for (const Profile& p : profileTable()) {
        if (name == p.name) return &p;
    }
    return nullptr;
}

// An integer (or yes/no) setting of a PocketSphinx configuration changed for
// as long as this lives.
class ScopedSetting {
  public:
    ScopedSetting(cmd_ln_t* config, const char* name, long value)
        : config_(config), name_(name), old_(cmd_ln_int_r(config, name)) {
        cmd_ln_set_int_r(config_, name_, value);
    }
    ~ScopedSetting() { cmd_ln_set_int_r(config_, name_, old_); }
    ScopedSetting(const ScopedSetting&) = delete;
    ScopedSetting& operator=(const ScopedSetting&) = delete;

  private:
    cmd_ln_t* config_;
    const char* name_;
    long old_;
};

// Gives `ps`, loaded without a language model, the provisional and the
// settled search of the language model in `path`, sharing it. A search takes
// its bounds from the configuration when it is made. The settled one is made
// last: the acoustic model keeps a whole utterance's features only if the
// newest search makes a flat-lexicon pass, which needs them.
bool addSearches(ps_decoder_t* ps, cmd_ln_t* config, const std::string& path) {
    ngram_model_t* lm = ngram_model_read(config, path.c_str(), NGRAM_AUTO, ps_get_logmath(ps));
    if (lm == nullptr) return false;
    bool made = false;
    {
        const ScopedSetting hmms(config, "-maxhmmpf", kProvisionalMaxHmms);
        const ScopedSetting words(config, "-maxwpf", kProvisionalMaxWords);
        const ScopedSetting flat(config, "-fwdflat", FALSE);
        const ScopedSetting lattice(config, "-bestpath", FALSE);
        made = ps_set_lm(ps, kProvisionalSearch, lm) == 0;
    }
    made = made && ps_set_lm(ps, kSettledSearch, lm) == 0 && ps_set_search(ps, kSettledSearch) == 0;
    ngram_model_free(lm);  // the searches hold it
    return made;
}

}  // namespace

const char* profiles() {
    static const std::string names = [] {
        std::string joined;
        for (const Profile& p : profileTable()) joined += (joined.empty() ? "" : "|") + std::string(p.name);
        return joined;
    }();
    return names.c_str();
}

bool isProfile(const std::string& name) { return findProfile(name) != nullptr; }

std::vector<std::string> pocketSphinxArguments(const PocketSphinxConfig& config) {
    const ModelFiles model(config.model_dir);
    std::vector<std::string> args{"-hmm", model.hmm, "-dict", model.dict};
    // With a grammar the language model is not loaded at all: the grammar's search is added instead.
    if (!config.usesGrammar()) args.insert(args.end(), {"-lm", model.lm});
    if (const Profile* p = findProfile(config.profile)) {
        for (const auto& [name, value] : p->settings) args.insert(args.end(), {name, value});
    }
    return args;
}

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
    const ModelFiles model(config_.model_dir);
    std::vector<std::string> required{model.hmm + "/mdef", model.dict};
    if (!grammar) required.push_back(model.lm);
    for (const std::string& path : required) {
        if (!exists(path)) {
            error = "model file " + path + " is missing";
            return nullptr;
        }
    }
    auto d = std::make_unique<Decoder>();
    const Profile* profile = findProfile(config_.profile);
    d->two_searches = !grammar && (profile == nullptr || profile->settled_pass);
    d->args = pocketSphinxArguments(config_);
    if (d->two_searches) {  // the language model is added as two searches once the decoder is made
        const auto lm = std::find(d->args.begin(), d->args.end(), "-lm");
        if (lm != d->args.end()) d->args.erase(lm, lm + 2);
    }
    d->args.insert(d->args.begin(), "asr-server");  // the program name, skipped
    std::vector<char*> argv;
    for (std::string& a : d->args) argv.push_back(a.data());
    d->config = cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
    if (d->config == nullptr) {
        error = "PocketSphinx rejected its configuration";
        return nullptr;
    }
    // The decoder hears every frame: with the front end's silence removal its
    // frame numbers skip the pauses it dropped, and word times could not be
    // told in the session's audio.
    cmd_ln_set_boolean_r(d->config, "-remove_silence", FALSE);
    d->ps = ps_init(d->config);
    if (d->ps == nullptr || (d->two_searches && !addSearches(d->ps, d->config, model.lm))) {
        error = "PocketSphinx could not load the model in " + config_.model_dir;
        return nullptr;
    }
    // The probe keeps the silence removal: it measures voiced frames only.
    cmd_ln_set_boolean_r(d->config, "-remove_silence", TRUE);
    d->probe = fe_init_auto_r(d->config);
    cmd_ln_set_boolean_r(d->config, "-remove_silence", FALSE);
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
    return std::make_unique<PocketSphinxUtterance>(*this, std::move(d), sample_rate);
}

void PocketSphinxRecognizer::release(std::unique_ptr<Decoder> decoder) {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(std::move(decoder));
    returned_.notify_one();
}

Recognizer::Decoders PocketSphinxRecognizer::decoders() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Decoders d;
    d.busy = count_ - idle_.size();  // a decoder being loaded counts as busy
    d.free = idle_.size() + (config_.max_decoders - count_);
    return d;
}

void PocketSphinxRecognizer::shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    returned_.notify_all();
}

}  // namespace asrserver
