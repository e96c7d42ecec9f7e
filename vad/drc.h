// Dynamic range control over frames of 256 16-bit samples: high-pass filter,
// noise-level tracking, a learned level curve (2:1 expansion just above the
// noise floor, compression up to -6 dB), smoothed gain and clipping
// protection. Levels are dB of the mean power of samples scaled to +-1.
// The functions carry plain C symbol names.
#ifndef VAD_DRC_H
#define VAD_DRC_H

#include "vad/IIRFilter.h"
#include "vad/NoiseLevel.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { DRC_FRAME_LEN = 256 };

typedef struct DRC_PARAM {
    int NOISE_FRM_CNT;           // noise frames in a row (more than this) before relearning
    float THR_FACTOR;            // smoothed power factor giving the noise threshold
    float alpha_power;           // smoothing of the frame power
    float alpha_gain;            // smoothing of the gain
    float slope2;                // slope of the expansion segment
    float slope1;                // slope of the compression segment
    float thr1;                  // upper knee, dB
    float thr2;                  // middle knee, dB
    float thr3;                  // noise threshold (lower knee), dB
    float y_thr2;                // output level at thr2, dB
    float gain;                  // current linear gain
    float in_power;              // smoothed frame power
    S_NoiseLevel_RP* noise_est;  // owned
    int noise_level_cnt;         // consecutive frames near the noise level
    int FLAG_DRC_ON;             // 1 once a curve has been learned
    IIR_HANDLE iir;              // owned high-pass filter
} DRC_PARAM;

typedef DRC_PARAM* DRC_HANDLE;

// Allocates a zeroed record; null when memory is exhausted.
DRC_HANDLE drc_create(void);

// Sets the initial values and creates the noise tracker and the filter. A
// handle whose tracker or filter could not be allocated passes frames through
// unchanged in drc_process.
void drc_init(DRC_HANDLE h);

// Restarts gain, power, noise counting and the tracker; keeps filter state and knees.
void drc_reset(DRC_HANDLE h);

// Processes one frame of 256 samples; input and output may be the same buffer.
// A null or incompletely initialised handle copies input to output.
void drc_process(DRC_HANDLE h, short* input, short* output);

void drc_destroy(DRC_HANDLE h);

// outbuf = inbuf * g over 256 values, with g lowered in 3% steps (locally)
// until the output peak is at most 0.9.
void clipping_detect(float* inbuf, float* outbuf, float gain);

#ifdef __cplusplus
}
#endif

#endif  // VAD_DRC_H
