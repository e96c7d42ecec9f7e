// Throughput of the 16 kHz to 8 kHz downsampling and of the online audio
// bitmap, as seconds of input audio processed per CPU second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "speech-util/utilcxx/downsampling/downsampling.h"
#include "vad/GetAudioBitmap.h"

namespace {

std::vector<short> test_signal(size_t samples, int rate) {
    std::vector<short> s(samples);
    for (size_t n = 0; n < samples; ++n) {
        const double t = static_cast<double>(n) / rate;
        // Two notes that alternate every half second, and some deterministic noise.
        const double f = (n / (rate / 2)) % 2 ? 523.25 : 440.0;
        s[n] = static_cast<short>(6000.0 * std::sin(2.0 * M_PI * f * t) + static_cast<int>((n * 7919) % 801) -
                                  400);
    }
    return s;
}

// One call per chunk of `chunk_ms` milliseconds of 16 kHz audio.
void BM_DownSampling(benchmark::State& state) {
    const size_t chunk = static_cast<size_t>(state.range(0)) * 16;
    std::vector<short> in = test_signal(16000, 16000);
    std::vector<short> out(in.size() / 2);
    size_t chunks = 0;
    for (auto _ : state) {
        for (size_t pos = 0; pos + chunk <= in.size(); pos += chunk) {
            size_t out_len = 0;
            down_sampling(in.data() + pos, out.data() + pos / 2, chunk * 2, out_len);
            ++chunks;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["input_s_per_cpu_s"] =
        benchmark::Counter(static_cast<double>(chunks * chunk) / 16000.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DownSampling)->Arg(100)->Arg(1000);

// A typical note bitmap: 8 kHz, 128 ms frames with a 32 ms hop, notes between
// 100 and 4000 Hz (64 dimensions), blocks of 16 frames. One stream of 10 s
// (310 frames) is fed in packs of `range(0)` ms.
void BM_ExtractBitmapOnline(benchmark::State& state) {
    constexpr int kRate = 8000;
    const size_t pack = static_cast<size_t>(state.range(0)) * kRate / 1000;
    const int bandwidth = static_cast<int>(state.range(1));
    CAudioBitmap bm(2, 100.0f, 4000.0f, 1024, 256, kRate, 16, 1.0f, false, 0);
    if (!bm.IsSuccess()) {
        state.SkipWithError("bitmap construction failed");
        return;
    }
    const std::vector<short> stream = test_signal(309 * 256 + 1024, kRate);
    double audio_seconds = 0.0;
    for (auto _ : state) {
        bm.ResetVar();
        size_t have = 0;
        for (int pid = 1; have < stream.size(); ++pid) {
            const size_t end = std::min(stream.size(), have + pack);
            std::copy(stream.begin() + have, stream.begin() + end, bm.GetDataPtr() + have);
            have = end;
            bm.SetDataNum(static_cast<unsigned>(have));
            benchmark::DoNotOptimize(bm.ExtractBitmap_Online(pid, bandwidth));
        }
        audio_seconds += static_cast<double>(stream.size()) / kRate;
    }
    state.counters["input_s_per_cpu_s"] = benchmark::Counter(audio_seconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExtractBitmapOnline)->Args({1000, 1})->Args({1000, 3})->Args({200, 1});

}  // namespace

BENCHMARK_MAIN();
