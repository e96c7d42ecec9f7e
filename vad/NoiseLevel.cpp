#include "vad/NoiseLevel.h"

namespace {

// One minimum-statistics step of a stage over run length len.
void trackMinimum(float e, float maxNoise, int len, float smoothRate, float& minEnergy, float& minTemp,
                  int& minAge, float& noiseLevel) {
    if (minEnergy > e) {
        minEnergy = e;
        minAge = 0;
        minTemp = maxNoise;
    } else {
        ++minAge;
    }
    if (minAge > (len >> 1) && minTemp > e) minTemp = e;
    if (minAge > ((3 * len) >> 1)) {
        minEnergy = minTemp;
        minAge = len >> 1;
        minTemp = maxNoise;
    }
    noiseLevel += (minEnergy - noiseLevel) * smoothRate;
}

}  // namespace

extern "C" {

void NoiseLevel_Init_RP(S_NoiseLevel_RP* This, float MaxNoise, float MinNoise, int RunMinLen) {
    if (This == nullptr) return;
    This->MaxNoise = This->MaxNoise1 = MaxNoise;
    This->MinNoise = This->MinNoise1 = MinNoise;
    This->RunMinLen = 2 * RunMinLen;
    This->RunMinLen1 = RunMinLen;
    This->MinEnergy = This->MinTemp = This->NoiseLevel = MaxNoise;
    This->MinEnergy1 = This->MinTemp1 = This->NoiseLevel1 = MaxNoise;
    This->MinAge = This->MinAge1 = 0;
    This->SmoothRate = This->SmoothRate1 = 0.2f;
    This->SignalOn = 0;
}

void NoiseLevel_RP(float Energy, S_NoiseLevel_RP* This) {
    if (This == nullptr) return;
    trackMinimum(Energy, This->MaxNoise1, This->RunMinLen1, This->SmoothRate1, This->MinEnergy1,
                 This->MinTemp1, This->MinAge1, This->NoiseLevel1);
    if (10.0f * This->NoiseLevel1 > Energy) {
        const float e2 = (Energy < This->MinNoise1) ? This->MinNoise : Energy;
        trackMinimum(e2, This->MaxNoise, This->RunMinLen, This->SmoothRate, This->MinEnergy, This->MinTemp,
                     This->MinAge, This->NoiseLevel);
    }
}

}  // extern "C"
