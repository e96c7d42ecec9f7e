#include "server/asr-server/echo_recognizer.h"

#include <sstream>

namespace asrserver {

namespace {

class EchoUtterance : public Utterance {
  public:
    EchoUtterance(std::shared_ptr<std::atomic<size_t>> open, int sample_rate, size_t nbest)
        : open_(std::move(open)), sample_rate_(sample_rate), nbest_(nbest) {
        ++*open_;
    }
    ~EchoUtterance() override { --*open_; }
    void feed(const int16_t*, size_t count) override {
        bytes_ += count * sizeof(int16_t);
        ++packets_;
    }
    Hypothesis partial() override { return hypothesis(); }
    Hypothesis finish() override {
        Hypothesis h = hypothesis();
        for (size_t k = 0; k < nbest_; ++k) {
            h.alternatives.push_back({echoText(bytes_, packets_ + k), -static_cast<double>(k)});
        }
        return h;
    }

  private:
    // The words share the audio equally, in order.
    Hypothesis hypothesis() const {
        Hypothesis h;
        h.text = echoText(bytes_, packets_);
        std::istringstream in(h.text);
        std::vector<std::string> words;
        for (std::string w; in >> w;) words.push_back(w);
        const long long ms = static_cast<long long>(bytes_ / sizeof(int16_t)) * 1000 / sample_rate_;
        const long long n = static_cast<long long>(words.size());
        for (long long i = 0; i < n; ++i) {
            h.words.push_back({words[static_cast<size_t>(i)], static_cast<int>(ms * i / n),
                               static_cast<int>(ms * (i + 1) / n), 1.0f});
        }
        return h;
    }

    const std::shared_ptr<std::atomic<size_t>> open_;
    const int sample_rate_;
    const size_t nbest_;
    size_t bytes_ = 0;
    size_t packets_ = 0;
};

}  // namespace

std::string echoText(size_t bytes, size_t packets) {
    return "received " + std::to_string(bytes) + " bytes in " + std::to_string(packets) + " packets";
}

std::unique_ptr<Utterance> EchoRecognizer::open(int sample_rate, std::chrono::milliseconds) {
    return std::make_unique<EchoUtterance>(open_, sample_rate, nbest_);
}

Recognizer::Decoders EchoRecognizer::decoders() const {
    Decoders d;
    d.busy = *open_;
    return d;
}

}  // namespace asrserver
