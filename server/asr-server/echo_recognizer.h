// Recogniser without a model: it reports how much audio it was given, as
// "received 12800 bytes in 4 packets", each word spanning an equal share of
// the audio with confidence 1. Used by tests and as the fallback when no
// acoustic model can be loaded.
#pragma once

#include <atomic>

#include "server/asr-server/recognizer.h"

namespace asrserver {

class EchoRecognizer : public Recognizer {
  public:
    // With `nbest` > 0 final hypotheses carry that many alternatives: the text
    // itself (score 0), then the same with k more packets (score -k).
    explicit EchoRecognizer(size_t nbest = 0) : nbest_(nbest) {}
    const char* name() const override { return "echo"; }
    size_t nbest() const override { return nbest_; }
    std::unique_ptr<Utterance> open(int sample_rate, std::chrono::milliseconds wait) override;
    Decoders decoders() const override;

  private:
    const size_t nbest_;
    // Open utterances; shared with them, so that counting needs no order of destruction.
    std::shared_ptr<std::atomic<size_t>> open_ = std::make_shared<std::atomic<size_t>>(0);
};

// The echo recogniser's text for `bytes` bytes of PCM in `packets` feeds.
std::string echoText(size_t bytes, size_t packets);

}  // namespace asrserver
