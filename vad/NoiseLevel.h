// Two-stage minimum-statistics tracker of the background frame energy.
// Stage 1 follows every frame; stage 2 only sees frames within 10 dB of the
// stage-1 floor, so speech does not lift its estimate.
#ifndef VAD_NOISELEVEL_H
#define VAD_NOISELEVEL_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct S_NoiseLevel_RP {
    // Stage 2 (its NoiseLevel is the tracker's output).
    float MaxNoise;    // value the candidate minimum restarts from
    float MinNoise;    // floor substituted for very low input
    int RunMinLen;     // window length in frames
    float MinEnergy;   // current minimum
    float MinTemp;     // candidate minimum of the running window
    int MinAge;        // frames since the minimum was renewed
    float SmoothRate;  // smoothing of NoiseLevel towards MinEnergy
    float NoiseLevel;  // smoothed noise energy
    // Stage 1.
    float MaxNoise1;
    float MinNoise1;
    int RunMinLen1;
    float MinEnergy1;
    float MinTemp1;
    int MinAge1;
    float SmoothRate1;
    float NoiseLevel1;
    int SignalOn;  // not used
} S_NoiseLevel_RP;

// Stage 1 runs over RunMinLen frames, stage 2 over twice as many.
void NoiseLevel_Init_RP(S_NoiseLevel_RP* This, float MaxNoise, float MinNoise, int RunMinLen);

// Feeds the energy of one frame.
void NoiseLevel_RP(float Energy, S_NoiseLevel_RP* This);

#ifdef __cplusplus
}
#endif

#endif  // VAD_NOISELEVEL_H
