#include "server/asr-server/echo_recognizer.h"

namespace asrserver {

namespace {

class EchoUtterance : public Utterance {
  public:
    void feed(const int16_t*, size_t count) override {
        bytes_ += count * sizeof(int16_t);
        ++packets_;
    }
    std::string partial() override { return echoText(bytes_, packets_); }
    std::string finish() override { return echoText(bytes_, packets_); }

  private:
    size_t bytes_ = 0;
    size_t packets_ = 0;
};

}  // namespace

std::string echoText(size_t bytes, size_t packets) {
    return "received " + std::to_string(bytes) + " bytes in " + std::to_string(packets) + " packets";
}

std::unique_ptr<Utterance> EchoRecognizer::open(int, std::chrono::milliseconds) {
    return std::make_unique<EchoUtterance>();
}

}  // namespace asrserver
