// Signal generators and engine drivers shared by the front-end tests.
#ifndef TESTS_VAD_FRONTENDTESTUTIL_H
#define TESTS_VAD_FRONTENDTESTUTIL_H

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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
    if (v > 32767.0) return 32767;
    if (v < -32768.0) return -32768;
    return static_cast<short>(std::lround(v));
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

inline void append(std::vector<short>& to, const std::vector<short>& from) {
    to.insert(to.end(), from.begin(), from.end());
}

// Digital silence, a burst of voiced-like noise of `burst` frames, silence.
inline std::vector<short> burstSession(int leadFrames, int burstFrames, int tailFrames) {
    std::vector<short> v(static_cast<size_t>(leadFrames) * kFrame, 0);
    append(v, noise(static_cast<size_t>(burstFrames) * kFrame, 3000.0, 0.8, 11));
    v.resize(v.size() + static_cast<size_t>(tailFrames) * kFrame, 0);
    return v;
}

inline std::vector<short> loadPcm(const std::string& name) {
    std::ifstream in(std::string(VELA_TEST_DATA_DIR) + "/vad/" + name, std::ios::binary);
    const std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
    std::vector<short> v(b.size() / 2);
    for (size_t i = 0; i < v.size(); ++i) {
        v[i] = static_cast<short>(static_cast<uint16_t>(b[2 * i] | (b[2 * i + 1] << 8)));
    }
    return v;
}

// The SDK's configuration of the engine.
inline int initLikeSdk(CMFE& m, int rate, bool vad, bool compress) {
    m.mfeSetParam(2, 400);
    m.mfeSetParam(11, vad ? 1 : 0);
    m.mfeSetParam(12, compress ? 1 : 0);
    m.mfeSetParam(4, 5);
    m.mfeSetParam(8, 0);
    m.mfeSetParam(10, 0);
    m.mfeSetParam(22, 0);
    m.mfeSetParam(1, 250);
    m.mfeSetParam(3, 15);
    m.mfeSetParam(15, 0);
    m.mfeSetParam(16, 5);
    m.mfeSetParam(13, rate);
    m.mfeSetParam(14, rate == 16000 ? 4 : 0);
    m.mfeSetParam(5, 60);
    return m.mfeInit();
}

struct ChunkResult {
    int detect;
    int handed;
};

// Drives the engine as the SDK does: per chunk send, detect and (unless the
// verdict is 3 or 4) fetch into a 32000-byte buffer; stops after verdict 2-5.
struct Session {
    std::vector<ChunkResult> chunks;
    std::vector<std::vector<char>> outputs;  // one per fetch that returned data
    std::vector<char> stream;                // all handed-out bytes
    int last = 0;
};

inline Session run(CMFE& m, std::vector<short> samples, size_t chunk = 1600, bool stopOnVerdict = true) {
    Session s;
    std::vector<char> buf(32000);
    for (size_t pos = 0; pos < samples.size(); pos += chunk) {
        const size_t n = std::min(chunk, samples.size() - pos);
        if (m.mfeSendData(samples.data() + pos, static_cast<int>(n)) != 0) break;
        const int d = m.mfeDetect();
        int got = 0;
        if (d != 3 && d != 4) got = m.mfeGetCallbackData(buf.data(), 32000);
        if (got > 0) {
            s.outputs.emplace_back(buf.begin(), buf.begin() + got);
            s.stream.insert(s.stream.end(), buf.begin(), buf.begin() + got);
        }
        s.chunks.push_back({d, got});
        s.last = d;
        if (stopOnVerdict && d >= 2 && d <= 5) break;
    }
    return s;
}

// First and last analysed frame with decision 1 (-1 when none).
inline int firstSpeechFrame(const CMFE& m) {
    for (uint64_t f = 0; f < m.lVADResultCurLoc; ++f) {
        if (m.g_pVADResult[f] == 1) return static_cast<int>(f);
    }
    return -1;
}

}  // namespace fetest

#endif  // TESTS_VAD_FRONTENDTESTUTIL_H
