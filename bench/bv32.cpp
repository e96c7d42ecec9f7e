// BV32 encoder and decoder speed: frames per CPU second on the speech reference
// vector (speech_en_us, 713 frames), each pass from a freshly reset coder.
//
// For comparison with the original library's style (every basic operator an
// out-of-line call writing one process-wide flag, no loop shortcuts), build this
// program in a separate tree configured with
//   -DCMAKE_CXX_FLAGS="-DVELA_BASOP_OUT_OF_LINE -fno-semantic-interposition"
// (the second flag lets the operators call each other directly, as they do in a
// library built without -fPIC) and run both.
#include "vad/bv32/bv32.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vad/bv32/bv32dec.h"

namespace {

constexpr int kFrameSamples = 80;

std::vector<Word16> load_pcm(const std::string& path) {
    std::vector<Word16> samples;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        unsigned char b[2];
        while (std::fread(b, 1, 2, f) == 2) samples.push_back(static_cast<Word16>(b[0] | (b[1] << 8)));
        std::fclose(f);
    }
    return samples;
}

void BM_BV32EncodeSpeech(benchmark::State& state) {
    const std::string path = std::string(VELA_TEST_DATA_DIR) + "/bv32/speech_en_us.pcm";
    std::vector<Word16> pcm = load_pcm(path);
    const size_t frames = pcm.size() / kFrameSamples;
    if (frames == 0) {
        state.SkipWithError((path + " not found").c_str());
        return;
    }
    BV32_Encoder_State encoder;
    BV32_Bit_Stream bits;
    UWord8 packed[20];
    for (auto _ : state) {
        Reset_BV32_Encoder(&encoder);
        for (size_t f = 0; f < frames; f++) {
            BV32_Encode(&bits, &encoder, &pcm[f * kFrameSamples]);
            BV32_BitPack(packed, &bits);
            benchmark::DoNotOptimize(packed);
        }
    }
    // Rates are divided by the CPU time of the measurement.
    state.counters["frames_per_cpu_s"] =
        benchmark::Counter(static_cast<double>(frames * state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BV32EncodeSpeech)->Unit(benchmark::kMillisecond);

std::vector<UWord8> load_bytes(const std::string& path) {
    std::vector<UWord8> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        UWord8 b[4096];
        std::size_t n;
        while ((n = std::fread(b, 1, sizeof(b), f)) > 0) bytes.insert(bytes.end(), b, b + n);
        std::fclose(f);
    }
    return bytes;
}

void BM_BV32DecodeSpeech(benchmark::State& state) {
    const std::string path = std::string(VELA_TEST_DATA_DIR) + "/bv32/speech_en_us.bv32";
    std::vector<UWord8> packed = load_bytes(path);
    const size_t frames = packed.size() / 20;
    if (frames == 0) {
        state.SkipWithError((path + " not found").c_str());
        return;
    }
    BV32_Decoder_State decoder;
    BV32_Bit_Stream bits;
    Word16 pcm[kFrameSamples];
    for (auto _ : state) {
        Reset_BV32_Decoder(&decoder);
        for (size_t f = 0; f < frames; f++) {
            BV32_BitUnPack(&packed[f * 20], &bits);
            BV32_Decode(&bits, &decoder, pcm);
            benchmark::DoNotOptimize(pcm);
        }
    }
    state.counters["frames_per_cpu_s"] =
        benchmark::Counter(static_cast<double>(frames * state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BV32DecodeSpeech)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
