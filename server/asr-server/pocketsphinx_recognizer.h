// Recogniser on PocketSphinx with the en-us model: the general language model,
// or a grammar that restricts what can be heard to a small vocabulary.
// Decoders are costly (with the language model about a second and 130 MB
// each to load), so a small pool of them is shared: a session holds one
// decoder from its first audio to its final result, and sessions beyond the
// pool size wait for one (see open()).
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/asr-server/recognizer.h"

namespace asrserver {

struct PocketSphinxConfig {
    std::string model_dir = "/usr/share/pocketsphinx/model/en-us";
    size_t max_decoders = 4;
    // Level of the envelope-shaped noise added before recognition, in dB below
    // the speech (see shaped_noise.h); 0 adds none.
    int shaped_noise_db = 30;
    bool verbose = false;  // let PocketSphinx log to standard error
    // At most one of these two replaces the language model by a grammar:
    std::string grammar_file;          // a JSGF grammar; its first public rule is used
    std::vector<std::string> phrases;  // each utterance is one of these (see grammar.h)
    size_t nbest = 0;                  // alternatives of each final hypothesis

    bool usesGrammar() const { return !grammar_file.empty() || !phrases.empty(); }

    // Decoding settings traded between accuracy and cost: one of profiles().
    std::string profile = "balanced";
};

// The names of the decoding profiles, "accurate|balanced|fast".
const char* profiles();
bool isProfile(const std::string& name);

// The PocketSphinx arguments ("-name", "value", ...) a decoder of `config` is
// made with: the model files, the language model unless a grammar replaces
// it, and the profile's search settings.
std::vector<std::string> pocketSphinxArguments(const PocketSphinxConfig& config);

enum class SetupFailure {
    Model,    // the model cannot be used: the server may fall back to another recogniser
    Grammar,  // the grammar is unreadable, invalid or uses words the dictionary lacks
};

class PocketSphinxRecognizer : public Recognizer {
  public:
    // Checks the model files and loads the first decoder with its grammar, if
    // any; returns null and says why in `error` and `failure` otherwise.
    static std::unique_ptr<PocketSphinxRecognizer> create(const PocketSphinxConfig& config,
                                                          std::string& error,
                                                          SetupFailure* failure = nullptr);
    ~PocketSphinxRecognizer() override;

    const char* name() const override { return "pocketsphinx"; }
    size_t nbest() const override { return config_.nbest; }
    // Takes an idle decoder, loads a new one while fewer than max_decoders
    // exist, or waits up to `wait` for one to be given back.
    std::unique_ptr<Utterance> open(int sample_rate, std::chrono::milliseconds wait) override;
    void shutdown() override;
    Decoders decoders() const override;

    struct Decoder;

  private:
    explicit PocketSphinxRecognizer(const PocketSphinxConfig& config);
    std::unique_ptr<Decoder> load(std::string& error, SetupFailure& failure) const;
    bool useGrammar(Decoder& d, std::string& error) const;
    void release(std::unique_ptr<Decoder> decoder);

    friend class PocketSphinxUtterance;

    PocketSphinxConfig config_;
    mutable std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<Decoder>> idle_;
    size_t count_ = 0;  // decoders loaded or being loaded
    bool stopping_ = false;
};

}  // namespace asrserver
