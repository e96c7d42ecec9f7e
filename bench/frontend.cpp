// CPU cost of the front end's three data operations (send, detect, fetch) per
// second of audio, at 8 and 16 kHz, with BV32 compression on and off. The
// fixed 2 ms pause after each operation is not CPU time and is not counted:
// the figure is the calling thread's CPU time.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vad/MFE.h"

namespace {

constexpr double kAudioSeconds = 8.0;
constexpr size_t kChunk = 1600;  // the SDK's 3200-byte chunk

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Continuous speech: the file's leading silence (for the detector to learn
// on), then its words repeated without the long pauses, to kAudioSeconds. So
// the whole session after the start is speech and is handed out. Falls back to
// a harmonic signal when the file is missing.
std::vector<short> loadAudio(int rate) {
    std::vector<unsigned char> bytes;
#ifdef VELA_TEST_DATA_DIR
    const std::string path =
        std::string(VELA_TEST_DATA_DIR) + (rate == 8000 ? "/vad/speech_8k.pcm" : "/vad/speech_16k.pcm");
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
#endif
    std::vector<short> file(bytes.size() / 2);
    for (size_t i = 0; i < file.size(); ++i) {
        file[i] = static_cast<short>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    }
    size_t first = 0;
    size_t last = file.size();
    while (first < file.size() && std::abs(file[first]) < 500) ++first;
    while (last > first && std::abs(file[last - 1]) < 500) --last;
    std::vector<short> audio(static_cast<size_t>(kAudioSeconds * rate));
    if (last <= first) {
        for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<short>((i * 37 % 200) * 40 - 4000);
        return audio;
    }
    for (size_t i = 0; i < audio.size(); ++i) {
        audio[i] = i < first ? file[i] : file[first + (i - first) % (last - first)];
    }
    return audio;
}

void configure(CMFE& m, int rate, bool compress) {
    m.mfeSetParam(2, 400);
    m.mfeSetParam(11, 1);
    m.mfeSetParam(12, compress ? 1 : 0);
    m.mfeSetParam(4, 5);
    m.mfeSetParam(1, 250);
    m.mfeSetParam(3, 15);
    m.mfeSetParam(16, 5);
    m.mfeSetParam(13, rate);
    m.mfeSetParam(14, rate == 16000 ? 4 : 0);
    m.mfeSetParam(5, 60);
}

// One session per iteration: every chunk is sent, analysed and fetched; the
// verdicts are not acted on, so detection and hand-out run over all the audio.
void BM_FrontEnd(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const bool compress = state.range(1) != 0;
    const std::vector<short> audio = loadAudio(rate);
    std::vector<short> chunk(kChunk);
    std::vector<char> out(32000);
    int64_t handed = 0;
    double cpu = 0.0;
    for (auto _ : state) {
        CMFE m;
        configure(m, rate, compress);
        if (m.mfeInit() != 0) {
            state.SkipWithError("mfeInit failed");
            break;
        }
        const double t0 = threadCpuSeconds();
        for (size_t pos = 0; pos + kChunk <= audio.size(); pos += kChunk) {
            std::copy(audio.begin() + pos, audio.begin() + pos + kChunk, chunk.begin());
            m.mfeSendData(chunk.data(), static_cast<int>(kChunk));
            m.mfeDetect();
            const int n = m.mfeGetCallbackData(out.data(), 32000);
            if (n > 0) handed += n;
        }
        const double used = threadCpuSeconds() - t0;
        cpu += used;
        state.SetIterationTime(used);
        m.mfeExit();
    }
    const double audioSeconds = kAudioSeconds * static_cast<double>(state.iterations());
    state.counters["x_realtime"] = audioSeconds / cpu;
    state.counters["cpu_ms_per_audio_s"] = 1000.0 * cpu / audioSeconds;
    state.counters["bytes_out"] = static_cast<double>(handed) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_FrontEnd)
    ->ArgNames({"rate", "compress"})
    ->Args({8000, 0})
    ->Args({8000, 1})
    ->Args({16000, 0})
    ->Args({16000, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.3);

}  // namespace

BENCHMARK_MAIN();
