// Recogniser on PocketSphinx with the en-us model. Decoders are costly (about
// half a second and 100 MB each to load), so a small pool of them is shared:
// a session holds one decoder from its first audio to its final result, and
// sessions beyond the pool size wait for one (see open()).
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
    bool verbose = false;  // let PocketSphinx log to standard error
};

class PocketSphinxRecognizer : public Recognizer {
  public:
    // Checks the model files and loads the first decoder; returns null and
    // says why in `error` when the model cannot be used.
    static std::unique_ptr<PocketSphinxRecognizer> create(const PocketSphinxConfig& config,
                                                          std::string& error);
    ~PocketSphinxRecognizer() override;

    const char* name() const override { return "pocketsphinx"; }
    // Takes an idle decoder, loads a new one while fewer than max_decoders
    // exist, or waits up to `wait` for one to be given back.
    std::unique_ptr<Utterance> open(int sample_rate, std::chrono::milliseconds wait) override;
    void shutdown() override;

    struct Decoder;

  private:
    explicit PocketSphinxRecognizer(const PocketSphinxConfig& config);
    std::unique_ptr<Decoder> load(std::string& error) const;
    void release(std::unique_ptr<Decoder> decoder);

    friend class PocketSphinxUtterance;

    PocketSphinxConfig config_;
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<Decoder>> idle_;
    size_t count_ = 0;  // decoders loaded or being loaded
    bool stopping_ = false;
};

}  // namespace asrserver
