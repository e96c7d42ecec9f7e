// Speech recogniser seen by the protocol code: one utterance per session,
// fed PCM in time order. Keeping it this small lets the protocol logic run
// with the deterministic echo recogniser in tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace asrserver {

// One recognised word; times in milliseconds from the utterance's first
// sample, `conf` its posterior probability in [0, 1] (0 where a recogniser
// does not estimate it, as on intermediate results).
struct Word {
    std::string word;
    int start_ms = 0;
    int end_ms = 0;
    float conf = 0;
};

// Another reading of a whole utterance; a higher score is likelier.
struct Alternative {
    std::string text;
    double score = 0;
};

// What an utterance was heard as: `text` is `words` joined by one space
// (fillers and silence left out of both); alternatives only on final results.
struct Hypothesis {
    std::string text;
    std::vector<Word> words;
    std::vector<Alternative> alternatives;
};

class Utterance {
  public:
    virtual ~Utterance() = default;
    // 16-bit mono samples at the rate the utterance was opened with, in time
    // order. The server calls it once per packet that carries audio.
    virtual void feed(const int16_t* samples, size_t count) = 0;
    // What was recognised so far, without alternatives; callable between feeds.
    virtual Hypothesis partial() = 0;
    // Ends the utterance and returns its final hypothesis, with up to nbest()
    // alternatives; nothing is fed afterwards.
    virtual Hypothesis finish() = 0;
};

class Recognizer {
  public:
    virtual ~Recognizer() = default;
    virtual const char* name() const = 0;
    // Alternatives asked of each final hypothesis; 0: none.
    virtual size_t nbest() const { return 0; }
    // Opens an utterance for audio at `sample_rate` Hz (8000 or 16000). Waits
    // up to `wait` for a free decoder and returns null when none became free
    // or the recogniser is shutting down. Utterances must be destroyed before
    // the recogniser.
    virtual std::unique_ptr<Utterance> open(int sample_rate, std::chrono::milliseconds wait) = 0;
    // Wakes every waiting open() and makes later ones fail at once.
    virtual void shutdown() {}

    struct Decoders {
        size_t busy = 0;  // held by open utterances
        size_t free = 0;  // could be opened now without waiting (idle or still to be loaded)
    };
    // A recogniser without a pool of decoders reports its open utterances as
    // busy and none free (or nothing, by default).
    virtual Decoders decoders() const { return Decoders(); }
};

}  // namespace asrserver
