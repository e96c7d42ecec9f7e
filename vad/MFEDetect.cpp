// CMFE::mfeDetect: analyses the frames completed since the last call, moves
// the end-point state machine over the recorded decisions and sets the
// release window [lSampleStart, lSampleEnd) for the next hand-out.

#include <algorithm>
#include <cstring>

#include "vad/MFE.h"
#include "vad/MFEInternal.h"

namespace {

constexpr DWORD kMaxFrame = 256;

}  // namespace

using mfe_internal::unlockAndSleep;
using mfe_internal::wholeUnits;

int CMFE::mfeDetect() {
    if (nCurState != RUN) return -102;
    pthread_mutex_lock(&MyMutex);
    if (!nVAD) return unlockAndSleep(&MyMutex, isSilence ? RET_SPEECH_TO_SILENCE : RET_SILENCE_TO_SPEECH);
    if (nIsFinishFlag == 1) return unlockAndSleep(&MyMutex, detectEndOfInput());

    const uint64_t s0 = lVADResultCurLoc;
    const uint64_t e = lSample / nFrameLength;
    lVADResultStartLoc = s0;
    lFrameCnt = s0;
    lVADResultCurLoc = e;
    if (e > s0) {
        const uint64_t T = static_cast<uint64_t>(nIn_Speech_Threshold);
        const uint64_t M = nMax_Speech_Pause;
        uint64_t p = s0;
        if (nSpeech_Mode == 0) {
            analyseFramesMode0(s0, e);
            // Look again at the windows that straddle the previous call.
            if (lSampleStart == 0) {
                nVADCurState = SILENCE;
            } else {
                nVADCurState = nVADLastState;
                if (p > T && nVADCurState == SILENCE) {
                    p -= T;
                } else if (p > T && nVADCurState == SILENCE_TO_SPEECH) {
                    p = p > M ? p - M : 0;
                }
            }
            scanMode0(p, e);
        } else {
            analyseFramesModeOther(s0, e);
            nVADCurState = nVADLastState;
            if (lSampleStart != 0 && p > T) {
                if (nVADCurState == SILENCE || nVADCurState == SPEECH_PAUSE) {
                    p -= T;
                } else if (nVADCurState == SILENCE_TO_SPEECH) {
                    p = p > M ? p - M : p - T;
                }
            }
            scanModeOther(p, e);
        }
        advanceReleaseWindow();
    }
    return unlockAndSleep(&MyMutex, detectResult());
}

// The end-of-input marker: no frame is analysed; the rest of the audio is
// released and the verdict follows from the state before the marker.
int CMFE::detectEndOfInput() {
    const DWORD last = nVADLastState;
    lSampleStart = lSampleEnd;
    nIsFinishFlag = 0;
    nFindPossibleEndPoint = 0;
    nEndFrame = static_cast<DWORD>(lSample / nFrameLength);
    if (last == SILENCE) return RET_NO_SPEECH;
    if (last == SPEECH_PAUSE) return RET_SPEECH_TO_SILENCE;
    lSampleEnd = lSampleStart + wholeUnits(lSampleStart, lSample, nSpeechEncLength);
    if (last != SILENCE_TO_SPEECH) return RET_SPEECH_TO_SILENCE;
    const int64_t d = static_cast<int64_t>(nEndFrame) - static_cast<int64_t>(nStartFrame);
    if (d < static_cast<int64_t>(nMin_Speech_Duration)) return RET_SPEECH_TOO_SHORT;
    if (d <= static_cast<int64_t>(nMax_Speech_Duration) - 10) return RET_SPEECH_TO_SILENCE;
    return RET_SPEECH_TOO_LONG;
}

// Detector decision for frame f; the stored samples are not changed.
short CMFE::analyseFrame(uint64_t f) {
    short frameBuf[kMaxFrame];
    const DWORD n = std::min(nFrameLength, kMaxFrame);
    std::memcpy(frameBuf, g_pData + f * nFrameLength, n * sizeof(short));
    if (nCarlife != 0 && drc_handle != nullptr) drc_process(drc_handle, frameBuf, frameBuf);
    return VAD_SubbandEntropy_Process(frameBuf);
}

void CMFE::analyseFramesMode0(uint64_t s0, uint64_t e) {
    const DWORD T = static_cast<DWORD>(nIn_Speech_Threshold);
    for (uint64_t f = s0; f < e; ++f) {
        // The detector uses the in-speech thresholds once a start run is complete.
        nVADCurState = (nVADInnerCnt == T) ? SILENCE_TO_SPEECH : SILENCE;
        lFrameCnt = f;
        const short r = analyseFrame(f);
        if (nVADInnerCnt < T) nVADInnerCnt = (nVADInnerCnt + r) * r;
        g_pVADResult[f] = r;
        nPossible_Speech_Start = r;
        lFrameCnt = f + 1;
    }
}

void CMFE::analyseFramesModeOther(uint64_t s0, uint64_t e) {
    const DWORD T = static_cast<DWORD>(nIn_Speech_Threshold);
    const DWORD M = nMax_Speech_Pause;
    for (uint64_t f = s0; f < e; ++f) {
        switch (nVADCurState) {
            case SILENCE:
            case SPEECH_PAUSE:
                nVADInnerZeroCnt = 0;
                if (nVADInnerCnt == T) {
                    nVADCurState = SILENCE_TO_SPEECH;
                    nVADInnerCnt = 0;
                    nSpeechEndCnt = 0;
                }
                break;
            case SILENCE_TO_SPEECH:
                nVADInnerCnt = 0;
                if (nVADInnerZeroCnt == M) {
                    nVADCurState = SPEECH_PAUSE;
                    nVADInnerZeroCnt = 0;
                }
                break;
            default:
                nVADInnerCnt = nVADInnerZeroCnt = nSpeechEndCnt = 0;
                break;
        }
        lFrameCnt = f;
        const short r = analyseFrame(f);
        switch (nVADCurState) {
            case SILENCE:
                nVADInnerCnt = (nVADInnerCnt + r) * r;
                break;
            case SILENCE_TO_SPEECH:
                nVADInnerZeroCnt = (r == 1) ? 0 : nVADInnerZeroCnt + 1;
                break;
            case SPEECH_PAUSE:
                nVADInnerCnt = (nVADInnerCnt + r) * r;
                if (r == 0) ++nSpeechEndCnt;
                break;
            default:
                break;
        }
        g_pVADResult[f] = r;
        ++lFrameCntTotal;
        lFrameCnt = f + 1;
    }
}

uint64_t CMFE::sumDecisions(uint64_t p, uint64_t k) const {
    const uint64_t slots = decisionSlots();
    uint64_t sum = 0;
    for (uint64_t i = p; i < p + k && i < slots; ++i) sum += static_cast<uint64_t>(g_pVADResult[i]);
    return sum;
}

bool CMFE::anySpeechIn(uint64_t p, uint64_t e) const {
    for (uint64_t i = p; i < e; ++i) {
        if (g_pVADResult[i] == 1) return true;
    }
    return false;
}

void CMFE::fillDecisions(uint64_t from, short value) {
    const uint64_t slots = decisionSlots();
    if (from < slots) std::fill(g_pVADResult + from, g_pVADResult + slots, value);
}

// In silence: speech starts when the T decisions from p are all speech (the
// start backs off by `back` frames); otherwise p skips past the last
// non-speech decision, and waiting too long means no speech. Returns the new p.
uint64_t CMFE::scanSilence(uint64_t p, uint64_t e, uint64_t T, uint64_t back) {
    const uint64_t sigma = sumDecisions(p, T);
    if (sigma == T) {
        nVADCurState = SILENCE_TO_SPEECH;
        nStartFrame = static_cast<DWORD>(p > back ? p - back : 0);
        // Frames not analysed yet count as speech until they are.
        fillDecisions(e, 1);
        return p + T;
    }
    p += T - sigma;
    if (p > nMax_Wait_Duration) nVADCurState = NO_SPEECH;
    return p;
}

void CMFE::scanMode0(uint64_t p, uint64_t e) {
    const uint64_t T = static_cast<uint64_t>(nIn_Speech_Threshold);
    const uint64_t P = nPossible_Speech_Pause;
    const uint64_t M = nMax_Speech_Pause;
    const uint64_t back = startBackFrames();
    while (p < e) {
        lFrameCnt = p;
        if (nVADCurState == SILENCE) {
            p = scanSilence(p, e, T, back);
        } else if (nVADCurState == SILENCE_TO_SPEECH) {
            const uint64_t a = (P == 0) ? 0 : sumDecisions(p, P);
            if (a == 0 && nFindPossibleEndPoint == 0) {
                nFindPossibleEndPoint = 1;
                nEndFrame = static_cast<DWORD>(p + P);
            }
            if (nFindPossibleEndPoint != 0 && anySpeechIn(p, e)) {
                nFindPossibleEndPoint = 0;
                nEndFrame = 0;
            }
            const uint64_t m = sumDecisions(p, M);
            if (M == 0 || m == 0) {
                nVADCurState = SPEECH_TO_SILENCE;
                p = e;
                if (nEndFrame != 0 && static_cast<int64_t>(nEndFrame) - static_cast<int64_t>(nStartFrame) <
                                          static_cast<int64_t>(nMin_Speech_Duration)) {
                    nVADCurState = SPEECH_TOO_SHORT;
                }
            } else {
                p += (a == 0) ? 1 : a;
                if (p > nStartFrame && p - nStartFrame > nMax_Speech_Duration) nVADCurState = SPEECH_TOO_LONG;
            }
        } else {
            p = e;
        }
    }
    lFrameCnt = p;
}

void CMFE::scanModeOther(uint64_t p, uint64_t e) {
    const uint64_t T = static_cast<uint64_t>(nIn_Speech_Threshold);
    const uint64_t P = nPossible_Speech_Pause;
    const uint64_t M = nMax_Speech_Pause;
    const uint64_t back = startBackFrames();
    while (p < e) {
        lFrameCnt = p;
        if (nVADCurState == SILENCE) {
            nFindPossibleEndPoint = 0;
            p = scanSilence(p, e, T, back);
        } else if (nVADCurState == SILENCE_TO_SPEECH) {
            const uint64_t a = (P == 0) ? 0 : sumDecisions(p, P);
            if (a == 0 && nFindPossibleEndPoint == 0) {
                nFindPossibleEndPoint = 1;
                nEndFrame = static_cast<DWORD>(p + P);
            }
            if (nFindPossibleEndPoint != 0 && anySpeechIn(p, e)) nFindPossibleEndPoint = 0;
            const uint64_t m = sumDecisions(p, M);
            if (M == 0 || m == 0) {
                nVADCurState = SPEECH_PAUSE;
                p = std::min(p + M, e);
                fillDecisions(e, 0);
            } else {
                p += m;
                if (p > nStartFrame && p - nStartFrame > nMax_Speech_Duration) nVADCurState = SPEECH_TOO_LONG;
            }
        } else if (nVADCurState == SPEECH_PAUSE) {
            nFindPossibleEndPoint = 0;
            // Only slots p .. e count when the window reaches past e.
            const uint64_t k = (p + T > e + 1) ? e + 1 - p : T;
            const uint64_t sigma = sumDecisions(p, k);
            if (sigma == T) {
                nVADCurState = SILENCE_TO_SPEECH;
                nStartFrame = static_cast<DWORD>(p > back ? p - back : 0);
                p += T;
                nSpeechEndCnt = 0;
                fillDecisions(e, 1);
            } else {
                p += T - sigma;
                if (nSpeechEndCnt > nSpeech_End) {
                    nVADCurState = SPEECH_TO_SILENCE;
                    nSpeechEndCnt = 0;
                }
            }
        } else {
            p = e;
        }
    }
    lFrameCnt = p;
}

// The window advances over whole 80-sample units; with a candidate end
// pending it stops there and never moves backwards.
void CMFE::advanceReleaseWindow() {
    lSampleStart = lSampleEnd;
    if (nFindPossibleEndPoint == 0) {
        lSampleEnd += wholeUnits(lSampleEnd, lSample, nSpeechEncLength);
    } else {
        const uint64_t t = candidateEndSample();
        if (t >= lSampleEnd) lSampleEnd += wholeUnits(lSampleEnd, t, nSpeechEncLength);
    }
}

int CMFE::detectResult() const {
    if (bNoiseDetectionFlag) return RET_SILENCE;
    switch (nVADCurState) {
        case SILENCE:
            return (nSpeech_Mode == 0 && nPossible_Speech_Start == 1) ? RET_SILENCE_TO_SPEECH : RET_SILENCE;
        case SILENCE_TO_SPEECH:
        case SPEECH_TO_SILENCE:
        case NO_SPEECH:
        case SPEECH_TOO_SHORT:
        case SPEECH_TOO_LONG:
            return static_cast<int>(nVADCurState);
        case SPEECH_PAUSE:
            if (nSpeech_Mode != 0) return RET_SILENCE;
            return -100;
        default:
            return -100;
    }
}
