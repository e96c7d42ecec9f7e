// CMFE::keypadToneFilter: removes a short keypad beep near the start of the
// session (speech mode 0, once per session) by copying the audio that follows
// it 100 ms later over it, then makes the next mfeDetect start again at frame 0.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "vad/MFE.h"

void CMFE::keypadToneFilter() {
    bKeypadFiltering = true;
    const uint64_t rate = nSampleRate;
    const uint64_t step = (rate / 8000) * nKeyToneStep;
    const uint64_t s0 = static_cast<uint64_t>(nKeyToneOffset) * rate / 1000;
    const uint64_t range = static_cast<uint64_t>(nKeyToneRange) * rate / 1000;
    if (step == 0 || s0 >= range) return;

    // Mean absolute amplitude of each block of `step` samples in [s0, range).
    std::vector<uint64_t> amp;
    amp.reserve((range - s0) / step + 1);
    for (uint64_t start = s0; start < range; start += step) {
        uint64_t sum = 0;
        for (uint64_t i = start; i < start + step; ++i) sum += std::abs(static_cast<int>(g_pData[i]));
        amp.push_back(sum / step);
    }
    const int64_t blocks = static_cast<int64_t>(amp.size());
    const int64_t peak = std::max_element(amp.begin(), amp.end()) - amp.begin();
    if (amp[peak] <= nKeyTonePeakThr) return;

    const int64_t left =
        std::min<int64_t>(peak, static_cast<int64_t>(nKeyToneLeftRange * rate / 1000 / step));
    const int64_t right =
        std::min<int64_t>(blocks - peak, static_cast<int64_t>(nKeyToneRightRange * rate / 1000 / step));
    const int64_t d = nKeyToneDelta;

    bool leftQuiet = true;
    if (left > d) {
        for (int64_t i = peak - left + 1; i <= peak - d; ++i)
            leftQuiet = leftQuiet && amp[i] <= nKeyToneLeftThr;
    }
    bool rightQuiet = true;
    for (int64_t i = peak + d; i < peak + right; ++i) rightQuiet = rightQuiet && amp[i] <= nKeyToneRightThr;
    if (!leftQuiet || !rightQuiet) return;

    // Replace [a, b) by the samples starting 100 ms after b; samples not yet
    // received read as 0.
    const int64_t a =
        std::max<int64_t>(0, static_cast<int64_t>(s0) + (peak - d) * static_cast<int64_t>(step));
    const int64_t b = static_cast<int64_t>(s0) + (peak + d) * static_cast<int64_t>(step);
    const int64_t src = b + static_cast<int64_t>(rate / 10);
    const int64_t held = static_cast<int64_t>(lSample);
    const int64_t capacity = static_cast<int64_t>(sampleCapacity());
    for (int64_t i = a; i < b && i < capacity; ++i) {
        const int64_t from = src + (i - a);
        g_pData[i] = (from < held) ? g_pData[from] : 0;
    }
    lVADResultCurLoc = 0;
}
