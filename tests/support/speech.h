// Recorded speech for tests and benchmarks: the samples of a WAV or raw file,
// and where the speech in them begins.
#ifndef TESTS_SUPPORT_SPEECH_H
#define TESTS_SUPPORT_SPEECH_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vela_test {

inline bool isWav(const std::string& bytes) {
    return bytes.size() >= 12 && bytes.compare(0, 4, "RIFF") == 0 && bytes.compare(8, 4, "WAVE") == 0;
}

// Finds the chunk `id` of a RIFF/WAVE file: where its body starts and its
// size, cut at the end of `bytes`. False when there is none.
inline bool wavChunk(const std::string& bytes, const char* id, size_t& from, size_t& size) {
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t len = 0;
        std::memcpy(&len, bytes.data() + at + 4, 4);  // little-endian, as the hosts we run on
        if (bytes.compare(at, 4, id) == 0) {
            from = at + 8;
            size = std::min<size_t>(len, bytes.size() - from);
            return true;
        }
        at += 8 + size_t{len} + (len & 1);
    }
    return false;
}

// The 16-bit samples of `bytes`: the data chunk of a RIFF/WAVE file, or the
// whole of a headerless raw file.
inline std::vector<int16_t> pcmSamples(const std::string& bytes) {
    size_t from = 0;
    size_t size = bytes.size();
    if (isWav(bytes) && !wavChunk(bytes, "data", from, size)) size = 0;
    std::vector<int16_t> samples(size / 2);
    if (!samples.empty()) std::memcpy(samples.data(), bytes.data() + from, samples.size() * 2);
    return samples;
}

// The first sample of the first 10 ms frame whose power comes within 30 dB
// of the loudest frame's: where the speech begins.
inline size_t speechOnset(const std::vector<int16_t>& samples, int rate) {
    const size_t frame = static_cast<size_t>(rate) / 100;
    std::vector<double> power;
    for (size_t at = 0; at + frame <= samples.size(); at += frame) {
        double sum = 0;
        for (size_t i = at; i < at + frame; ++i) sum += double(samples[i]) * samples[i];
        power.push_back(sum / static_cast<double>(frame));
    }
    if (power.empty()) return 0;
    const double threshold = *std::max_element(power.begin(), power.end()) / 1000.0;
    return frame * static_cast<size_t>(
                       std::find_if(power.begin(), power.end(), [&](double p) { return p >= threshold; }) -
                       power.begin());
}

}  // namespace vela_test

#endif  // TESTS_SUPPORT_SPEECH_H
