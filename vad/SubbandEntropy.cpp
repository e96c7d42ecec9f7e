// Subband-entropy speech decision per frame. The magnitude spectrum plus a
// large floor dQ is split into nSubbandNum subbands; each is normalised to a
// distribution and its sum p*ln(p) taken. The frame value H is a high order
// statistic of these entropies over the last nL frames, compared with
// thresholds learned from the first nN frames and a background-noise class.
#include <cmath>
#include <cstdlib>

#include "vad/MFE.h"
#include "vad/SubbandEntropyTables.h"

namespace {

constexpr DWORD kMaxFrame = 256;

uint64_t absSum(const short* x, DWORD n) {
    uint64_t s = 0;
    for (DWORD i = 0; i < n; ++i) s += static_cast<uint64_t>(std::abs(static_cast<int>(x[i])));
    return s;
}

// Sign changes between neighbours; a pair that contains a zero is not counted.
int zeroCrossings(const short* x, DWORD n) {
    int count = 0;
    for (DWORD i = 0; i + 1 < n; ++i) {
        if ((x[i] > 0 && x[i + 1] < 0) || (x[i] < 0 && x[i + 1] > 0)) ++count;
    }
    return count;
}

}  // namespace

bool CMFE::VAD_SubbandEntropy_CalSubEntro(short* pData) {
    const DWORD n = nFrameLength < kMaxFrame ? nFrameLength : kMaxFrame;
    int64_t sum = 0;
    for (DWORD i = 0; i < n; ++i) sum += pData[i];
    const double m = static_cast<double>(sum) / 256.0;
    pMean[lFrameCnt % 4] = m;

    COMPLEX fft[kMaxFrame];
    const bool removeDc = m > sbe::kDcLimit || m < -sbe::kDcLimit;
    const float mf = static_cast<float>(m);
    for (DWORD i = 0; i < n; ++i) {
        fft[i].real = removeDc ? static_cast<float>(pData[i]) - mf : static_cast<float>(pData[i]);
        fft[i].image = 0.0f;
    }
    FFT(fft, nFFTOrder);

    double* mag = g_ppMFEDataSpace[PowSpecIdx];
    for (DWORD i = 0; i < n; ++i) {
        const float pw = fft[i].real * fft[i].real + fft[i].image * fft[i].image;
        mag[i] = std::sqrt(static_cast<double>(pw));
    }

    const double* edge = g_ppMFEDataSpace[SubbandDivisionIdx];
    double* prob = g_ppMFEDataSpace[ProbabilityIdx];
    double* entropy = g_ppMFEDataSpace[SubbandEntropyIdx];
    for (DWORD j = 0; j < nSubbandNum; ++j) {
        const DWORD lo = static_cast<DWORD>(edge[j]);
        const DWORD hi = static_cast<DWORD>(edge[j + 1]);
        double s = 0.0;
        for (DWORD i = lo; i < hi; ++i) s += mag[i] + dQ;
        const double inv = 1.0 / s;
        double h = 0.0;
        for (DWORD i = lo; i < hi; ++i) {
            prob[i] = (dQ + mag[i]) * inv;
            h += prob[i] * std::log(prob[i]);
        }
        entropy[j] = h;
    }
    return true;
}

// Sum over subbands of the lower median of the first nN history frames.
double CMFE::VAD_SubbandEntropy_CalThreshold() {
    double* scratch = g_ppMFEDataSpace[TempEntropyArrayIdx];
    double sum = 0.0;
    for (DWORD j = 0; j < nSubbandNum; ++j) {
        for (DWORD k = 0; k < nN; ++k) scratch[k] = g_ppMFEDataSpace[SubbandDataIdx + k][j];
        Sort_QuickSort(scratch, nN);
        sum += scratch[(nN - 1) / 2];
    }
    return dBeta * sum - nSubbandNum * dTheta;
}

short CMFE::VAD_SubbandEntropy_Process(short* pData) {
    VAD_SubbandEntropy_CalSubEntro(pData);
    uint64_t c = (nSpeech_Mode == 0) ? lFrameCnt : lFrameCntTotal;
    if (c < nOffset) return 0;
    c -= nOffset;

    const double* entropy = g_ppMFEDataSpace[SubbandEntropyIdx];
    if (c <= nN && nVADCurState == SILENCE) {
        // Learning: frames 0 .. nN are never speech.
        const DWORD n = nFrameLength < kMaxFrame ? nFrameLength : kMaxFrame;
        const uint64_t amplitude = absSum(pData, n);
        if (c < 4) {
            if (c == 1) dBasicEnergy = 0.0;
            dBasicEnergy += static_cast<double>(amplitude);
            if (c == 3) dBasicEnergy *= 1.0 / 1024.0;
        }
        if (c <= 7) {
            pZeroPass[c] = zeroCrossings(pData, n);
            pStartEnergy[c] = static_cast<double>(amplitude) / 256.0;
        }
        // Frames 0 .. nN-1 are also copied to the ring's tail so that it is
        // full when decisions start.
        for (DWORD j = 0; j < nSubbandNum; ++j) g_ppMFEDataSpace[SubbandDataIdx + c][j] = entropy[j];
        if (c < nN) {
            for (DWORD j = 0; j < nSubbandNum; ++j) {
                g_ppMFEDataSpace[SubbandDataIdx + c + nL - nN][j] = entropy[j];
            }
        }
        if (c == nN) setThresholds();
        return 0;
    }

    double* slot = g_ppMFEDataSpace[SubbandDataIdx + c % nL];
    for (DWORD j = 0; j < nSubbandNum; ++j) slot[j] = entropy[j];
    const double h = orderStatisticEntropy();
    dThrAdjust_SpeechOut = 0.0;
    dThrAdjust_SpeechIn = 0.0;
    adjustThresholds(h);
    return decide(h) ? 1 : 0;
}

// H: per subband 0.15 of the 14th and 0.85 of the 15th smallest of the nL
// history values, summed over subbands.
double CMFE::orderStatisticEntropy() {
    double* scratch = g_ppMFEDataSpace[TempEntropyArrayIdx];
    double h = 0.0;
    for (DWORD j = 0; j < nSubbandNum; ++j) {
        for (DWORD r = 0; r < nL; ++r) scratch[r] = g_ppMFEDataSpace[SubbandDataIdx + r][j];
        Sort_QuickSort(scratch, nL);
        h += dLambda_hat * scratch[nH] + dLambda * scratch[nH + 1];
    }
    return h;
}

void CMFE::setThresholds() {
    const double T = VAD_SubbandEntropy_CalThreshold();
    if (nSpeech_Mode == 2) {
        dThr_InSpeech = dThrBias_SpeechIn + (T + sbe::kMode2Raise);
        dThr_OutSpeech = (T + sbe::kMode2Raise) - sbe::kMode2OutBelowIn + dThrBias_SpeechOut;
        return;
    }
    if (nSpeech_Mode > 2) return;

    const double t = (T + sbe::kLearnRaise) - sbe::kLearnDrop;
    const double tOut = t - sbe::kOutBelowIn;
    const double class1Low = (nCarlife == 0) ? sbe::kClass1Low : sbe::kClass1LowDrc;
    double in = t;
    double out = tOut;
    if (sbe::kClass3Low < t && t < sbe::kClass4Low) {
        nAmp = 3;
        in = t + sbe::kClass3In + dThrBias_SpeechIn_BI_Noise;
        out = tOut + sbe::kClass3Out + dThrBias_SpeechOut_BI_Noise;
    } else if (sbe::kClass2Low < t && t <= sbe::kClass3Low) {
        nAmp = 2;
        in = t + sbe::kClass2In + dThrBias_SpeechIn_BI_Noise;
        out = tOut + sbe::kClass2Out + dThrBias_SpeechOut_BI_Noise;
    } else if (t >= sbe::kClass4Low) {
        nAmp = 4;
        in = t + sbe::kClass4In + dThrBias_SpeechIn_BI_Noise;
        out = tOut + sbe::kClass4Out + dThrBias_SpeechOut_BI_Noise;
    } else if (class1Low < t && t <= sbe::kClass2Low) {
        nAmp = 1;
        in = dThrBias_SpeechIn_BI_Slightnoise + sbe::kClass1In;
        out = dThrBias_SpeechOut_BI_Slightnoise + sbe::kClass1Out;
    } else {
        nAmp = 0;
        in = dThrBias_SpeechIn_BI_Silence + sbe::kClass0In;
        out = dThrBias_SpeechOut_BI_Silence + sbe::kClass0Out;
    }
    if (nCarlife == 0 && nAmp != 0) classifyByZeroCrossings(in, out);
    dThr_InSpeech = in + dThrBias_SpeechIn;
    dThr_OutSpeech = out + dThrBias_SpeechOut;
}

// A noisy class stands only if the learning frames 3 .. nN-1 look like noise:
// loud frames need at least 30 zero crossings and no frame may have more
// than 130. Otherwise the background is taken for silence.
void CMFE::classifyByZeroCrossings(double& in, double& out) {
    double zmin = sbe::kZcNone;
    double zmax = -1.0;
    bool loudFound = false;
    double zminAll = sbe::kZcNone;
    for (DWORD k = sbe::kZcFirstFrame; k < nN && k < 8; ++k) {
        if (pStartEnergy[k] > sbe::kZcLoudFrame) {
            loudFound = true;
            if (pZeroPass[k] < zmin) zmin = pZeroPass[k];
        }
        if (pZeroPass[k] > zmax) zmax = pZeroPass[k];
        if (pZeroPass[k] < zminAll) zminAll = pZeroPass[k];
    }
    bool silence = false;
    if (!loudFound) {
        zmin = zminAll;
        if (zmin == 0.0) {
            silence = true;
        } else {
            zmin = sbe::kZcNone;
            silence = zmax > sbe::kZcMax;
        }
    } else {
        silence = zmin < sbe::kZcMin || zmax > sbe::kZcMax;
    }
    if (silence) {
        nAmp = 0;
        in = dThrBias_SpeechIn_BI_Silence + sbe::kClass0In;
        out = dThrBias_SpeechOut_BI_Silence + sbe::kClass0Out;
    }
    pZeroPass[0] = zmin;
}

// Per-frame adjustments of the In and Out thresholds.
void CMFE::adjustThresholds(double h) {
    if (nVADCurState == SILENCE_TO_SPEECH) {
        if (h > dMaxSubEntro) {
            dMaxSubEntro = h;
            if (nAmp == 0) {
                for (const sbe::Raise& r : sbe::kSilenceRaise) {
                    if (h > r.above) {
                        dThrAdjust_SpeechOut += r.raise;
                        break;
                    }
                }
            } else if (h > sbe::kNoiseRaiseAbove) {
                dThrAdjust_SpeechOut += sbe::kNoiseRaise;
            }
        }
        if (h < dMinSubEntro) dMinSubEntro = h;
    }

    const double b = dBasicEnergy;
    if (b < sbe::kQuietBackground) {
        dThrAdjust_SpeechIn = sbe::kQuietIn;
        dThrAdjust_SpeechOut = sbe::kQuietOut;
        if (b == 0.0 && nVADCurState == SPEECH_PAUSE && dMaxSubEntro < sbe::kQuietPauseMax) {
            dThrAdjust_SpeechIn = (dThr_OutSpeech - sbe::kQuietPauseDrop) - dThr_InSpeech;
        }
    } else if (b < sbe::kLoudBackground || pZeroPass[0] == 0.0) {
        for (const sbe::MaxAdjust& row : sbe::kMaxAdjust) {
            if (dMaxSubEntro < row.below) {
                dThrAdjust_SpeechOut = row.out;
                if (row.setIn) dThrAdjust_SpeechIn = row.in;
                break;
            }
        }
    }
    if (nSpeech_Mode == 0 && nAmp >= 2) dThrAdjust_SpeechOut = sbe::kNoisyStayOut;
}

bool CMFE::decide(double h) const {
    const double in = dThr_InSpeech + dThrAdjust_SpeechIn;
    const double out = dThr_OutSpeech + dThrAdjust_SpeechOut;
    if (nSpeech_Mode == 0) {
        return (nVADCurState == SILENCE || nVADCurState == SPEECH_PAUSE) ? h > in : h > out;
    }
    switch (nVADCurState) {
        case SILENCE:
            return h > (in + out) * 0.5;
        case SPEECH_PAUSE:
            if (nAmp != 0 && dMaxSubEntro > sbe::kPauseMaxAbove) {
                return h > dThr_InSpeech + (dMaxSubEntro - dThr_InSpeech) / sbe::kPauseMaxDivisor;
            }
            return h > (in + out) * 0.5;
        default:
            return h > out;
    }
}
