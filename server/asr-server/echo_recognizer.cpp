#include "server/asr-server/echo_recognizer.h"

namespace asrserver {

namespace {

class EchoUtterance : public Utterance {
  public:
    explicit EchoUtterance(std::shared_ptr<std::atomic<size_t>> open) : open_(std::move(open)) { ++*open_; }
    ~EchoUtterance() override { --*open_; }
    void feed(const int16_t*, size_t count) override {
        bytes_ += count * sizeof(int16_t);
        ++packets_;
    }
    std::string partial() override { return echoText(bytes_, packets_); }
    std::string finish() override { return echoText(bytes_, packets_); }

  private:
    const std::shared_ptr<std::atomic<size_t>> open_;
    size_t bytes_ = 0;
    size_t packets_ = 0;
};

}  // namespace

std::string echoText(size_t bytes, size_t packets) {
    return "received " + std::to_string(bytes) + " bytes in " + std::to_string(packets) + " packets";
}

std::unique_ptr<Utterance> EchoRecognizer::open(int, std::chrono::milliseconds) {
    return std::make_unique<EchoUtterance>(open_);
}

Recognizer::Decoders EchoRecognizer::decoders() const {
    Decoders d;
    d.busy = *open_;
    return d;
}

}  // namespace asrserver
