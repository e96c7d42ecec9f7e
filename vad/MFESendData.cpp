// CMFE::mfeSendData: stores incoming samples, with the start-of-recording
// click check and the segment rewind of speech modes 1 and 2.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "vad/MFE.h"
#include "vad/MFEInternal.h"
#include "vad/bv32/bv32.h"

namespace {

constexpr int kMaxChunkSamples = 16000;
constexpr int kClickCheckSamples = 1600;
constexpr int kClickCheckFirst = 11;    // samples before this are skipped by the crossing count
constexpr int kClickAttenuation = 128;  // 42 dB

}  // namespace

using mfe_internal::unlockAndSleep;

// A loud first chunk with hardly any zero crossings is a click or an offset
// at the start of recording.
bool CMFE::isStartClick(const short* x, int iLen) const {
    const int n = std::min(iLen, kClickCheckSamples);
    if (n < 2) return false;
    int64_t crossings = 0;
    int64_t energy = 0;
    for (int i = kClickCheckFirst; i < n; ++i) {
        if ((x[i - 1] < 0 && x[i] > 0) || (x[i - 1] > 0 && x[i] < 0)) ++crossings;
        energy += std::abs(static_cast<int>(x[i]));
    }
    for (int i = 1; i < n; ++i) energy += std::abs(static_cast<int>(x[i]));
    return crossings < static_cast<int64_t>(nThr_ZeroPass) &&
           energy / (n - 1) > static_cast<int64_t>(nThr_Energy);
}

// Divides the part of the chunk that falls into the first nModificationRange
// ms of the session by 128, in place.
void CMFE::attenuateStart(short* x, int iLen) const {
    const uint64_t m = static_cast<uint64_t>(nSampleRate) * nModificationRange / 1000;
    if (lSample >= m) return;
    const uint64_t end = std::min(lSample + static_cast<uint64_t>(iLen), m);
    for (uint64_t i = 0; i < end - lSample; ++i) x[i] = static_cast<short>(x[i] / kClickAttenuation);
}

void CMFE::appendSamples(const short* x, uint64_t n) {
    if (n > 0) std::memcpy(g_pData + lSample, x, n * sizeof(short));
    lSample += n;
}

int CMFE::mfeSendData(short* pDataIn, int iLen) {
    if (nCurState != RUN) return -102;
    if (iLen < 0 || (pDataIn == nullptr && iLen > 0)) return -101;
    pthread_mutex_lock(&MyMutex);

    if (pDataIn == nullptr) {  // end-of-input marker
        nIsFinishFlag = 1;
        if (nVAD) {
            nVADLastState = nVADCurState;
            nVADCurState = SPEECH_TO_SILENCE;
        } else {
            isSilence = true;
        }
        return unlockAndSleep(&MyMutex, 0);
    }

    // Refused before anything is looked at, so a refused chunk neither arms the
    // click attenuation nor changes the caller's buffer.
    if (iLen > kMaxChunkSamples) return unlockAndSleep(&MyMutex, -118);

    if (nVAD && nVADCurState == SILENCE) {
        if (lSample == 0 && isStartClick(pDataIn, iLen)) bInvalidRecModification = true;
        if (bInvalidRecModification) attenuateStart(pDataIn, iLen);
    }

    if (nSpeech_Mode != 0) return unlockAndSleep(&MyMutex, sendSpeechModeOther(pDataIn, iLen));

    if (lSample + static_cast<uint64_t>(iLen) > sampleCapacity()) return unlockAndSleep(&MyMutex, -108);
    appendSamples(pDataIn, static_cast<uint64_t>(iLen));
    if (nVAD) {
        nVADLastState = nVADCurState;
        const uint64_t range = static_cast<uint64_t>(nKeyToneRange) * nSampleRate / 1000;
        if (!bKeypadFiltering && lSample >= range) keypadToneFilter();
    }
    return unlockAndSleep(&MyMutex, 0);
}

int CMFE::sendSpeechModeOther(short* pDataIn, int iLen) {
    const uint64_t n = static_cast<uint64_t>(iLen);
    if (!nVAD) {
        if (lSample + n > sampleCapacity()) return -108;
        appendSamples(pDataIn, n);
        return 0;
    }
    if (nVADLastState == SILENCE_TO_SPEECH && nVADCurState == SPEECH_PAUSE)
        return rewindSegment(pDataIn, iLen);

    if (lSample + n > sampleCapacity()) return -108;
    if (nVADCurState == SILENCE && lSample == 0 && nOffsetLength < n) {
        // The leading offset ends inside this chunk: keep only what follows it.
        appendSamples(pDataIn + nOffsetLength, n - nOffsetLength);
        nOffsetLength = 0;
        nVADLastState = SILENCE;
        return 0;
    }
    if (nOffsetLength > 0) {
        lSample = 0;
        nOffsetLength = (nOffsetLength > n) ? nOffsetLength - static_cast<DWORD>(n) : 0;
    } else {
        appendSamples(pDataIn, n);
    }
    nVADLastState = nVADCurState;
    return 0;
}

// A pause has just ended a segment: keep nBackEnd frames before its candidate
// end and everything after, move them to the front, and restart the output
// stream (header again, encoder reset).
int CMFE::rewindSegment(short* pDataIn, int iLen) {
    if (lSample < static_cast<uint64_t>(nFrameLength) * nEndFrame) return -100;
    nBackEnd = (nSampleRate == 8000) ? 4 : 8;
    const uint64_t c = std::min<uint64_t>(nEndFrame > nBackEnd ? nEndFrame - nBackEnd : 0, lVADResultCurLoc);
    const uint64_t cs = c * nFrameLength;
    std::memmove(g_pData, g_pData + cs, (lSample - cs) * sizeof(short));
    lSample -= cs;
    const uint64_t kept = lVADResultCurLoc - c;
    std::memmove(g_pVADResult, g_pVADResult + c, kept * sizeof(short));
    std::fill(g_pVADResult + kept, g_pVADResult + decisionSlots(), static_cast<short>(0));
    lSampleStart = lSampleEnd = lSample;
    lVADResultStartLoc = lVADResultCurLoc = lSample / nFrameLength;

    if (lSample + static_cast<uint64_t>(iLen) > sampleCapacity()) return -108;
    appendSamples(pDataIn, static_cast<uint64_t>(iLen));
    lBVCurLoc = 4;
    lBVStartLoc = 0;
    lBVEncodedEnd = 0;
    if (isBV32Format() && state != nullptr) Reset_BV32_Encoder(state);
    nVADLastState = SPEECH_PAUSE;
    return 0;
}
