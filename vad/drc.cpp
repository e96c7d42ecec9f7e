#include "vad/drc.h"

#include <cmath>
#include <cstring>
#include <new>

namespace {

constexpr float kTrackerMaxNoise = 0.8545f;
constexpr float kTrackerMinNoise = 2.3842e-7f;
constexpr int kTrackerRunLen = 50;
constexpr double kSilentEnergy = 2.3283e-9;  // about 10 * 2^-32
constexpr double kNoiseMargin = 1.5;
constexpr float kQ15 = 3.0517578125e-5f;  // 2^-15

// Knees of the level curve from thr1, thr3 and slope2. The compression slope
// is only meaningful while thr2 < thr1 (thr3 below -6 dB); otherwise that
// segment is empty and the slope is set to 1 to stay defined.
void learnKnees(DRC_PARAM* d) {
    d->thr2 = (d->thr1 - d->thr3) / 3 + d->thr3;
    d->y_thr2 = (d->thr2 - d->thr3) * d->slope2 + d->thr3;
    const float span = d->thr1 - d->thr2;
    d->slope1 = span > 0.0f ? (d->thr1 - d->y_thr2) / span : 1.0f;
}

// Target gain of the curve for the smoothed input level.
float curveGain(const DRC_PARAM* d) {
    const float in_dB = static_cast<float>(10.0 * std::log10(static_cast<double>(d->in_power)));
    float out_dB = in_dB;
    if (d->thr3 < in_dB && in_dB < d->thr2) {
        out_dB = (in_dB - d->thr3) * d->slope2 + d->thr3;
    } else if (d->thr2 < in_dB && in_dB < d->thr1) {
        out_dB = (in_dB - d->thr2) * d->slope1 + d->y_thr2;
    }
    const float exponent = (out_dB - in_dB) / 20.0f;
    return static_cast<float>(std::pow(10.0, static_cast<double>(exponent)));
}

}  // namespace

extern "C" {

DRC_HANDLE drc_create(void) { return new (std::nothrow) DRC_PARAM{}; }

void drc_init(DRC_HANDLE h) {
    if (h == nullptr) return;
    h->NOISE_FRM_CNT = 5;
    h->THR_FACTOR = 1.2f;
    h->alpha_power = 0.5f;
    h->alpha_gain = 0.8f;
    h->slope2 = 2.0f;
    h->thr1 = -6.0f;
    h->thr3 = -90.0f;
    learnKnees(h);
    h->gain = 1.0f;
    h->in_power = 0.0f;
    h->noise_level_cnt = 0;
    h->FLAG_DRC_ON = 0;
    delete h->noise_est;
    h->noise_est = new (std::nothrow) S_NoiseLevel_RP{};
    NoiseLevel_Init_RP(h->noise_est, kTrackerMaxNoise, kTrackerMinNoise, kTrackerRunLen);
    iir_free(h->iir);
    h->iir = iir_init();
}

void drc_reset(DRC_HANDLE h) {
    if (h == nullptr) return;
    h->in_power = 0.0f;
    h->gain = 1.0f;
    h->noise_level_cnt = 0;
    h->FLAG_DRC_ON = 0;
    NoiseLevel_Init_RP(h->noise_est, kTrackerMaxNoise, kTrackerMinNoise, kTrackerRunLen);
}

void drc_process(DRC_HANDLE h, short* input, short* output) {
    if (h == nullptr || h->noise_est == nullptr || h->iir == nullptr) {
        if (input != output) std::memmove(output, input, DRC_FRAME_LEN * sizeof(short));
        return;
    }
    float inbuf[DRC_FRAME_LEN] = {};
    float outbuf[DRC_FRAME_LEN] = {};
    for (int i = 0; i < DRC_FRAME_LEN; ++i) inbuf[i] = static_cast<float>(input[i]) * kQ15;
    iir_proc(h->iir, inbuf, DRC_FRAME_LEN);

    float enrg = 0.0f;
    for (int i = 0; i < DRC_FRAME_LEN; ++i) enrg += inbuf[i] * inbuf[i];
    NoiseLevel_RP(enrg, h->noise_est);
    if (static_cast<double>(h->noise_est->NoiseLevel) * kNoiseMargin > static_cast<double>(enrg)) {
        ++h->noise_level_cnt;
    } else {
        h->noise_level_cnt = 0;
    }
    h->in_power = h->in_power * h->alpha_power + (1.0f - h->alpha_power) * enrg * (1.0f / 256.0f);

    if (static_cast<double>(enrg) <= kSilentEnergy) {
        if (input != output) std::memmove(output, input, DRC_FRAME_LEN * sizeof(short));
        drc_reset(h);
        return;
    }

    bool apply = h->FLAG_DRC_ON == 1;
    if (h->noise_level_cnt > h->NOISE_FRM_CNT) {
        h->thr3 = static_cast<float>(10.0 * std::log10(static_cast<double>(h->in_power * h->THR_FACTOR)));
        h->noise_level_cnt = 0;
        h->FLAG_DRC_ON = 1;
        h->gain = 1.0f;
        learnKnees(h);
        apply = true;
    }
    if (apply) h->gain = h->gain * h->alpha_gain + (1.0f - h->alpha_gain) * curveGain(h);

    clipping_detect(inbuf, outbuf, h->gain);
    for (int i = 0; i < DRC_FRAME_LEN; ++i) {
        output[i] = static_cast<short>(static_cast<double>(outbuf[i]) * 32768.0);
    }
}

void drc_destroy(DRC_HANDLE h) {
    if (h == nullptr) return;
    delete h->noise_est;
    iir_free(h->iir);
    delete h;
}

void clipping_detect(float* inbuf, float* outbuf, float gain) {
    float g = gain;
    for (;;) {
        float peak = 0.0f;
        for (int i = 0; i < DRC_FRAME_LEN; ++i) {
            const float v = std::fabs(inbuf[i] * g);
            if (v > peak) peak = v;
        }
        // A non-finite peak cannot be brought down by scaling; stop rather than loop.
        if (!(static_cast<double>(peak) > 0.9) || !std::isfinite(peak)) break;
        g = static_cast<float>(static_cast<double>(g) * 0.97);
    }
    for (int i = 0; i < DRC_FRAME_LEN; ++i) outbuf[i] = inbuf[i] * g;
}

}  // extern "C"
