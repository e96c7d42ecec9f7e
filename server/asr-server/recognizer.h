// Speech recogniser seen by the protocol code: one utterance per session,
// fed PCM in time order. Keeping it this small lets the protocol logic run
// with the deterministic echo recogniser in tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace asrserver {

class Utterance {
  public:
    virtual ~Utterance() = default;
    // 16-bit mono samples at the rate the utterance was opened with, in time
    // order. The server calls it once per packet that carries audio.
    virtual void feed(const int16_t* samples, size_t count) = 0;
    // Text recognised so far; callable between feeds.
    virtual std::string partial() = 0;
    // Ends the utterance and returns its final text; nothing is fed afterwards.
    virtual std::string finish() = 0;
};

class Recognizer {
  public:
    virtual ~Recognizer() = default;
    virtual const char* name() const = 0;
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
