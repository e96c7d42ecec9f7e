// CMFE::mfeGetCallbackData: hands out the released audio window, either as
// 20-byte BV32 frames appended to the compressed store (read behind its
// 4-byte stream header) or as PCM with a 4-byte header on the first hand-out.

#include <algorithm>
#include <cstring>

#include "vad/MFE.h"
#include "vad/MFEInternal.h"
#include "vad/bv32/bv32.h"
#include "wire/vela_wire.h"

namespace {

constexpr int kPackedFrameBytes = 20;
constexpr int kHeaderBytes = static_cast<int>(vela::wire::kStreamHeaderSize);

}  // namespace

using mfe_internal::unlockAndSleep;
using mfe_internal::wholeUnits;

int CMFE::mfeGetCallbackData(char* pDataOut, int iLen) {
    if (nCurState != RUN) return -102;
    if (pDataOut == nullptr && iLen > 0) return -101;
    pthread_mutex_lock(&MyMutex);
    if (!selectWindow()) return unlockAndSleep(&MyMutex, 0);
    if (nCompress) return unlockAndSleep(&MyMutex, handOutCompressed(pDataOut, iLen));
    const int n = handOutPcm(pDataOut, iLen);
    if (n < 0) return unlockAndSleep(&MyMutex, n);
    pthread_mutex_unlock(&MyMutex);
    return n;
}

// Sets [lSampleStart, lSampleEnd) for this hand-out; false when there is
// nothing to hand out in the current state.
bool CMFE::selectWindow() {
    const uint64_t unit = nSpeechEncLength;
    if (!nVAD) {
        lSampleEnd = lSampleStart + wholeUnits(lSampleStart, lSample, unit);
        return true;
    }
    if (nVADCurState == SILENCE || nVADCurState == NO_SPEECH || lSampleStart == lSampleEnd) return false;

    const DWORD cur = nVADCurState;
    const DWORD last = nVADLastState;
    const uint64_t endCandidate = candidateEndSample();
    const bool started =
        cur == SILENCE_TO_SPEECH && (last == SILENCE || (nSpeech_Mode != 0 && last == SPEECH_PAUSE));
    if (started) {
        // Speech has just started: release from the start frame, pre-roll included.
        lSampleStart = static_cast<uint64_t>(nFrameLength) * nStartFrame;
        lSampleEnd = lSampleStart + wholeUnits(lSampleStart, lSample, unit);
        return true;
    }
    if (nSpeech_Mode == 0) {
        if (cur == SPEECH_TO_SILENCE && last == SILENCE_TO_SPEECH) {
            lSampleEnd = lSampleStart < endCandidate
                             ? lSampleStart + wholeUnits(lSampleStart, endCandidate, unit)
                             : lSampleStart;
        }
        return true;
    }
    if (cur == SPEECH_PAUSE && last == SPEECH_PAUSE) return false;
    if (cur == SPEECH_PAUSE && last == SILENCE_TO_SPEECH) {
        lSampleEnd = lSampleStart < endCandidate ? lSampleStart + wholeUnits(lSampleStart, endCandidate, unit)
                                                 : lSampleStart + unit;
        // One unit past the start may reach beyond the sample store when it is
        // full; nothing is released then.
        if (lSampleEnd > sampleCapacity()) lSampleEnd = lSampleStart;
        return true;
    }
    if (cur == SPEECH_TO_SILENCE && (last == SPEECH_TO_SILENCE || last == SPEECH_PAUSE)) return false;
    return true;
}

// Appends the window's whole 80-sample frames, from where encoding last
// stopped, to the compressed store as packed BV32 frames. Encoding stops at
// the end of the store.
void CMFE::encodeWindow() {
    frame = 0;
    if (!isBV32Format() || state == nullptr || bs == nullptr) return;
    const uint64_t unit = static_cast<uint64_t>(frsz);
    const uint64_t from = std::max(lSampleStart, lBVEncodedEnd);
    uint64_t n = lSampleEnd > from ? (lSampleEnd - from) / unit : 0;
    const uint64_t room = (bvStoreBytes() - std::min(bvStoreBytes(), lBVCurLoc)) / kPackedFrameBytes;
    n = std::min(n, room);
    Word16 scratch[80];
    for (uint64_t k = 0; k < n; ++k) {
        std::memcpy(scratch, g_pData + from + k * unit, sizeof(scratch));
        BV32_Encode(bs, state, scratch);
        BV32_BitPack(PackedStream, bs);
        std::memcpy(g_pBVData + lBVCurLoc, PackedStream, kPackedFrameBytes);
        lBVCurLoc += kPackedFrameBytes;
        ++frame;
    }
    if (n > 0) lBVEncodedEnd = from + n * unit;
}

bool CMFE::compressedHandOutAllowed() const {
    if (!nVAD) return true;
    const DWORD cur = nVADCurState;
    if (nSpeech_Mode == 0) return cur == SILENCE_TO_SPEECH || cur == SPEECH_TO_SILENCE;
    return cur == SILENCE_TO_SPEECH || cur == SPEECH_PAUSE ||
           (cur == SPEECH_TO_SILENCE && nVADLastState == SILENCE_TO_SPEECH);
}

int CMFE::handOutCompressed(char* pDataOut, int iLen) {
    encodeWindow();
    // Encoded frames stay in the store until a call with enough room takes them.
    const uint64_t pending = lBVCurLoc - lBVStartLoc;
    if (iLen < 0 || pending > static_cast<uint64_t>(iLen)) return -1;
    lSampleStart = lSampleEnd;
    if (!compressedHandOutAllowed()) return 0;

    if (pending > 0) std::memcpy(pDataOut, g_pBVData + lBVStartLoc, pending);
    lBVStartLoc = lBVCurLoc;
    int count = static_cast<int>(pending);
    // Speech resuming after a rewind: drop the repeated stream header.
    if (nSpeech_Mode != 0 && nModeComb != 0 && nVADCurState == SILENCE_TO_SPEECH &&
        nVADLastState == SPEECH_PAUSE && count >= kHeaderBytes) {
        std::memmove(pDataOut, pDataOut + kHeaderBytes, static_cast<size_t>(count - kHeaderBytes));
        count -= kHeaderBytes;
    }
    return count;
}

int CMFE::handOutPcm(char* pDataOut, int iLen) {
    const uint64_t n = 2 * (lSampleEnd - lSampleStart);
    const int64_t capacity = iLen;
    if (isFirst) {
        if (capacity <= static_cast<int64_t>(n) + 3) return -1;
        pDataOut[0] =
            static_cast<char>(nSampleRate == 8000 ? vela::wire::kFormatPcmAt8k : vela::wire::kFormatPcmAt16k);
        pDataOut[1] = pDataOut[2] = pDataOut[3] = 0;
        if (n > 0) std::memcpy(pDataOut + kHeaderBytes, g_pData + lSampleStart, n);
        isFirst = false;
        lSampleStart = lSampleEnd;
        return static_cast<int>(n + kHeaderBytes);
    }
    if (capacity < static_cast<int64_t>(n)) return -1;
    if (n > 0) std::memcpy(pDataOut, g_pData + lSampleStart, n);
    lSampleStart = lSampleEnd;
    return static_cast<int>(n);
}
