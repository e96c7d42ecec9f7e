#include "server/asr-server/bv32_stream.h"

#include <algorithm>
#include <new>

#include "vad/bv32/bv32.h"
#include "vad/bv32/bv32dec.h"

namespace asrserver {

struct Bv32Stream::Codec {
    BV32_Decoder_State* state = allocDecoderState(0, 0);
    BV32_Bit_Stream bits{};
    Codec() {
        if (state == nullptr) throw std::bad_alloc();
        Reset_BV32_Decoder(state);
    }
    ~Codec() { deallocDecoderState(state, 0, 0); }
    Codec(const Codec&) = delete;
    Codec& operator=(const Codec&) = delete;
};

Bv32Stream::Bv32Stream() : codec_(std::make_unique<Codec>()) {}

void Bv32Stream::reset() {
    Reset_BV32_Decoder(codec_->state);
    carry_.clear();
}

void Bv32Stream::decode(const char* data, size_t size, std::vector<int16_t>& out) {
    UWord8 frame[kFrameBytes];
    Word16 samples[kFrameSamples];
    auto emit = [&](const char* bytes) {
        for (size_t i = 0; i < kFrameBytes; ++i) frame[i] = static_cast<UWord8>(bytes[i]);
        BV32_BitUnPack(frame, &codec_->bits);
        BV32_Decode(&codec_->bits, codec_->state, samples);
        out.insert(out.end(), samples, samples + kFrameSamples);
    };
    size_t pos = 0;
    if (!carry_.empty()) {
        const size_t take = std::min(kFrameBytes - carry_.size(), size);
        carry_.append(data, take);
        pos = take;
        if (carry_.size() < kFrameBytes) return;
        emit(carry_.data());
        carry_.clear();
    }
    for (; pos + kFrameBytes <= size; pos += kFrameBytes) emit(data + pos);
    carry_.assign(data + pos, size - pos);
}

void Bv32Stream::conceal(size_t frames, std::vector<int16_t>& out) {
    carry_.clear();
    Word16 samples[kFrameSamples];
    for (size_t i = 0; i < frames; ++i) {
        BV32_PLC(codec_->state, samples);
        out.insert(out.end(), samples, samples + kFrameSamples);
    }
}

Bv32Stream::~Bv32Stream() = default;

}  // namespace asrserver
