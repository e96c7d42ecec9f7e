// Signal generators and helpers shared by the front-end tests.
#ifndef TESTS_VAD_FRONTENDTESTUTIL_H
#define TESTS_VAD_FRONTENDTESTUTIL_H

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/files.h"
#include "vad/MFE.h"

namespace fetest {

constexpr int kFrame = 256;

// Deterministic uniform noise in [-1, 1).
class Lcg {
  public:
    explicit Lcg(uint32_t seed) : s_(seed) {}
    double next() {
        s_ = s_ * 1664525u + 1013904223u;
        return static_cast<double>(s_ >> 8) / 8388608.0 - 1.0;
    }

  private:
    uint32_t s_;
};

inline short clamp16(double v) {
    return static_cast<short>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
}

// One-pole low-passed noise (pole lp), scaled so that its level is about amp.
inline std::vector<short> noise(size_t n, double amp, double lp, uint32_t seed) {
    Lcg g(seed);
    std::vector<short> v(n);
    const double scale = lp > 0.0 ? amp / ((1.0 - lp) * 3.0) : amp;
    double y = 0.0;
    for (short& x : v) {
        y = lp * y + (1.0 - lp) * g.next();
        x = clamp16(scale * y);
    }
    return v;
}

inline std::vector<short> tone(size_t n, double amp, double hz, int rate) {
    std::vector<short> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = clamp16(amp * std::sin(2.0 * M_PI * hz * i / rate));
    return v;
}

// Digital silence, a burst of speech-like noise, silence (lengths in frames).
inline std::vector<short> burstSession(int lead, int burst, int tail) {
    std::vector<short> v(static_cast<size_t>(lead) * kFrame, 0);
    const std::vector<short> b = noise(static_cast<size_t>(burst) * kFrame, 3000.0, 0.8, 11);
    v.insert(v.end(), b.begin(), b.end());
    v.resize(v.size() + static_cast<size_t>(tail) * kFrame, 0);
    return v;
}

// Raw 16-bit little-endian samples of a file.
inline std::vector<short> loadPcm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
    std::vector<short> v(b.size() / 2);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<short>(static_cast<uint16_t>(b[2 * i] | (b[2 * i + 1] << 8)));
    return v;
}

inline std::vector<short> loadSpeech(const std::string& name) {
    return loadPcm(vela_test::testDataPath("vad/" + name));
}

// The SDK's configuration of the engine.
inline int initLikeSdk(CMFE& m, int rate, bool vad, bool compress) {
    const int settings[][2] = {{2, 400},
                               {11, vad},
                               {12, compress},
                               {4, 5},
                               {8, 0},
                               {10, 0},
                               {22, 0},
                               {1, 250},
                               {3, 15},
                               {15, 0},
                               {16, 5},
                               {13, rate},
                               {14, rate == 16000 ? 4 : 0},
                               {5, 60}};
    for (const auto& s : settings) m.mfeSetParam(s[0], s[1]);
    return m.mfeInit();
}

// First analysed frame with decision 1 (-1 when none).
inline int firstSpeechFrame(const CMFE& m) {
    for (uint64_t f = 0; f < m.lVADResultCurLoc; ++f) {
        if (m.g_pVADResult[f] == 1) return static_cast<int>(f);
    }
    return -1;
}

}  // namespace fetest

#endif  // TESTS_VAD_FRONTENDTESTUTIL_H
