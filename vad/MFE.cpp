// CMFE life cycle: settings, initialisation, reset, exit and accessors.
#include "vad/MFE.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "vad/bv32/bv32.h"
#include "wire/vela_wire.h"

namespace {

constexpr DWORD kWorkArrays = 30;
constexpr DWORD kBV32FrameSamples = 80;
constexpr DWORD kStreamHeaderBytes = vela::wire::kStreamHeaderSize;

}  // namespace

CMFE::CMFE()
    : g_ppMFEDataSpace(nullptr),
      g_pData(nullptr),
      g_pBVData(nullptr),
      g_pVADResult(nullptr),
      SubbandDivisionIdx(1),
      ProbabilityIdx(2),
      PowSpecIdx(3),
      SubbandEntropyIdx(4),
      TempEntropyArrayIdx(5),
      SubbandDataIdx(6),
      nCurState(UNKNOWN),
      nVADCurState(SILENCE),
      nVADLastState(SILENCE),
      lSample(0),
      lSampleStart(0),
      lSampleEnd(0),
      lBVStartLoc(0),
      lBVCurLoc(0),
      lVADResultStartLoc(0),
      lVADResultCurLoc(0),
      lFrameCnt(0),
      lFrameCntTotal(0),
      nStartFrame(0),
      nEndFrame(0),
      dThr_InSpeech(0.0),
      dThr_OutSpeech(0.0),
      nIsFinishFlag(0),
      nSampleRate(8000),
      nCodeFormat(0),
      nFrameLength(256),
      nFrameShift(128),
      nFFTOrder(8),
      bNoiseDetectionFlag(false),
      iLogLevel(0),
      nN(8),
      nL(17),
      nSubbandNum(8),
      dQ(1e7),
      dBeta(1.0),
      dTheta(-0.0),
      dLambda(0.85),
      nStartBackFrame(20),
      nH(13),
      dLambda_hat(1.0 - 0.85),
      nMax_Wait_Duration_Init(250),
      nMax_Speech_Duration_Init(400),
      nMax_Speech_Pause_Init(30),
      nMin_Speech_Duration_Init(5),
      nSleep_Timeout_Init(65),
      dThreshold_Start_Init(0.0),
      dThreshold_End_Init(0.0),
      nOffset_Init(0),
      nSpeech_End_Init(50),
      nSpeech_Mode_Init(0),
      dThrBias_SpeechIn_Init(0.0),
      dThrBias_SpeechOut_Init(0.0),
      dThrBias_SpeechIn_BI_Silence_Init(0.0),
      dThrBias_SpeechIn_BI_Slightnoise_Init(0.0),
      dThrBias_SpeechIn_BI_Noise_Init(0.0),
      dThrBias_SpeechOut_BI_Silence_Init(0.0),
      dThrBias_SpeechOut_BI_Slightnoise_Init(0.0),
      dThrBias_SpeechOut_BI_Noise_Init(0.0),
      nMax_Wait_Duration(250),
      nMax_Speech_Duration(400),
      nMax_Speech_Pause(30),
      nMin_Speech_Duration(5),
      nSleep_Timeout(65),
      dThreshold_Start(0.0),
      dThreshold_End(0.0),
      nOffset(0),
      nSpeech_End(50),
      nSpeech_Mode(0),
      dThrBias_SpeechIn(0.0),
      dThrBias_SpeechOut(0.0),
      dThrBias_SpeechIn_BI_Silence(0.0),
      dThrBias_SpeechIn_BI_Slightnoise(0.0),
      dThrBias_SpeechIn_BI_Noise(0.0),
      dThrBias_SpeechOut_BI_Silence(0.0),
      dThrBias_SpeechOut_BI_Slightnoise(0.0),
      dThrBias_SpeechOut_BI_Noise(0.0),
      nIn_Speech_Threshold(8),
      nOffsetLength(0),
      nVADInnerCnt(0),
      nVADInnerZeroCnt(0),
      nSpeechEndCnt(0),
      nSpeechEncLength(0),
      nFindPossibleEndPoint(0),
      nPossible_Speech_Pause_Init(2),
      nPossible_Speech_Pause(2),
      nPossible_Speech_Start(0),
      dMaxSubEntro(-100.0),
      dMinSubEntro(100.0),
      dThrAdjust_SpeechOut(0.0),
      dThrAdjust_SpeechIn(0.0),
      nAmp(0),
      pThrSubEntro{},
      dBasicEnergy(0.0),
      pStartEnergy{},
      pZeroPass{},
      pMean{},
      nBackEnd(4),
      bKeypadFiltering(false),
      nKeyToneRange(500),
      nKeyToneStep(10),
      nKeyToneOffset(50),
      nKeyTonePeakThr(10000),
      nKeyToneLeftThr(1800),
      nKeyToneRightThr(1400),
      nKeyToneLeftRange(300),
      nKeyToneRightRange(300),
      nKeyToneDelta(12),
      bInvalidRecModification(false),
      nModificationRange(500),
      nThr_ZeroPass(8),
      nThr_Energy(1500),
      nVAD(true),
      nCompress(true),
      isFirst(true),
      isSilence(false),
      nModeComb(0),
      nCarlife(0),
      drc_handle(nullptr),
      frame(0),
      sizebitstream(0),
      sizestate(0),
      frsz(0),
      state(nullptr),
      bs(nullptr),
      PackedStream{},
      ts{},
      lBVEncodedEnd(0) {
    pthread_mutex_init(&MyMutex, nullptr);
    pthread_cond_init(&MyCond, nullptr);
}

CMFE::~CMFE() {
    releaseCodec();
    releaseDrc();
    releaseBuffers();
    pthread_cond_destroy(&MyCond);
    pthread_mutex_destroy(&MyMutex);
}

int CMFE::mfeSetParam(int type, int val) {
    if (nCurState != UNKNOWN) return -102;
    const DWORD u = static_cast<DWORD>(val);
    switch (type) {
        case MFE_MAX_WAIT_DURATION:
            nMax_Wait_Duration_Init = u;
            break;
        case MFE_MAX_SPEECH_DURATION:
            nMax_Speech_Duration_Init = u;
            break;
        case MFE_MAX_SPEECH_PAUSE:
            nMax_Speech_Pause_Init = u;
            break;
        case MFE_MIN_SPEECH_DURATION:
            nMin_Speech_Duration_Init = u;
            break;
        case MFE_SLEEP_TIMEOUT:
            nSleep_Timeout_Init = u;
            break;
        case MFE_OFFSET:
            nOffset_Init = u;
            break;
        case MFE_SPEECH_END:
            nSpeech_End_Init = u;
            break;
        case MFE_SPEECH_MODE:
            nSpeech_Mode_Init = u;
            break;
        case MFE_VAD:
            nVAD = val != 0;
            break;
        case MFE_COMPRESS:
            nCompress = val != 0;
            break;
        case MFE_SAMPLE_RATE:
            nSampleRate = u;
            break;
        case MFE_CODE_FORMAT:
            nCodeFormat = u;
            break;
        case MFE_BIAS_SPEECH_IN:
            dThrBias_SpeechIn_Init = static_cast<double>(val);
            break;
        case MFE_BIAS_SPEECH_OUT:
            dThrBias_SpeechOut_Init = static_cast<double>(val);
            break;
        case MFE_MODE_COMB:
            nModeComb = val != 0 ? 1 : 0;
            break;
        case MFE_CARLIFE:
            nCarlife = val != 0 ? 1 : 0;
            break;
        default:
            return -109;
    }
    return 0;
}

uint64_t CMFE::sampleCapacity() const { return static_cast<uint64_t>(nSampleRate) * nSleep_Timeout; }

uint64_t CMFE::decisionSlots() const { return sampleCapacity() / nFrameLength; }

// One byte per four samples holds every 80-sample frame as 20 bytes, plus the header.
uint64_t CMFE::bvStoreBytes() const { return sampleCapacity() / 4 + kStreamHeaderBytes; }

// A candidate end found in the last frames of a full store can lie beyond the
// last decision slot (missing slots count as non-speech); the release window
// must still stay on the samples held.
uint64_t CMFE::candidateEndSample() const {
    return std::min<uint64_t>(static_cast<uint64_t>(nFrameLength) * nEndFrame, lSample);
}

bool CMFE::isBV32Format() const { return nCodeFormat == 0 || nCodeFormat == 4; }

DWORD CMFE::startBackFrames() const { return (nStartBackFrame * nSampleRate) / 16000; }

void CMFE::deriveWorkingParams() {
    if (nSpeech_Mode_Init == 1) {
        nStartBackFrame = 26;
        nPossible_Speech_Pause_Init = 8;
    } else {
        nStartBackFrame = 20;
        nPossible_Speech_Pause_Init = 2;
    }
    // Frames are half as long at 16000 Hz, so durations in frames double.
    const DWORD k = (nSampleRate == 16000) ? 2 : 1;
    nMax_Wait_Duration = k * nMax_Wait_Duration_Init;
    nMax_Speech_Duration = k * nMax_Speech_Duration_Init;
    nMax_Speech_Pause = k * nMax_Speech_Pause_Init;
    nMin_Speech_Duration = k * nMin_Speech_Duration_Init;
    nSpeech_End = k * nSpeech_End_Init;
    nPossible_Speech_Pause = k * nPossible_Speech_Pause_Init;
    nOffset = k * nOffset_Init;
    nSleep_Timeout = nSleep_Timeout_Init;
    nSpeech_Mode = nSpeech_Mode_Init;
    nIn_Speech_Threshold = 8;
    dThreshold_Start = 0.0;
    dThreshold_End = 0.0;

    // Biases are set in units of 1e-7.
    dThrBias_SpeechIn = dThrBias_SpeechIn_Init * 1e-7;
    dThrBias_SpeechOut = dThrBias_SpeechOut_Init * 1e-7;
    dThrBias_SpeechIn_BI_Silence = dThrBias_SpeechIn_BI_Silence_Init * 1e-7;
    dThrBias_SpeechIn_BI_Slightnoise = dThrBias_SpeechIn_BI_Slightnoise_Init * 1e-7;
    dThrBias_SpeechIn_BI_Noise = dThrBias_SpeechIn_BI_Noise_Init * 1e-7;
    dThrBias_SpeechOut_BI_Silence = dThrBias_SpeechOut_BI_Silence_Init * 1e-7;
    dThrBias_SpeechOut_BI_Slightnoise = dThrBias_SpeechOut_BI_Slightnoise_Init * 1e-7;
    dThrBias_SpeechOut_BI_Noise = dThrBias_SpeechOut_BI_Noise_Init * 1e-7;

    nOffsetLength = nOffset * nFrameLength;
}

void CMFE::computeSubbandEdges() {
    double* edge = g_ppMFEDataSpace[SubbandDivisionIdx];
    for (DWORD i = 0; i <= nSubbandNum; ++i) {
        edge[i] = static_cast<double>((i * nFrameLength) / nSubbandNum);
    }
}

void CMFE::writeStreamHeader() {
    UWord8 format = 0;
    switch (nCodeFormat) {
        case 0:
        case 2:
        case 3:
        case 4:
        case 7:
        case 20:
        case 64:
        case 68:
            format = static_cast<UWord8>(nCodeFormat);
            break;
        default:
            format = vela::wire::pcmFormatFor(static_cast<int>(nSampleRate));
            break;
    }
    g_pBVData[0] = format;
    g_pBVData[1] = g_pBVData[2] = g_pBVData[3] = 0;
}

// Session state shared by mfeInit and mfeReset.
void CMFE::clearSessionState() {
    nVADCurState = SILENCE;
    nVADLastState = SILENCE;
    lSample = lSampleStart = lSampleEnd = 0;
    lVADResultStartLoc = lVADResultCurLoc = 0;
    lFrameCnt = lFrameCntTotal = 0;
    nStartFrame = nEndFrame = 0;
    nIsFinishFlag = 0;
    nVADInnerCnt = nVADInnerZeroCnt = nSpeechEndCnt = 0;
    nFindPossibleEndPoint = 0;
    nPossible_Speech_Start = 0;
    lBVStartLoc = 0;
    lBVCurLoc = kStreamHeaderBytes;
    lBVEncodedEnd = 0;
    dMaxSubEntro = -100.0;
    dMinSubEntro = 100.0;
    bKeypadFiltering = false;
    bInvalidRecModification = false;
    isFirst = true;
    isSilence = false;
    nSpeechEncLength = kBV32FrameSamples;
}

void CMFE::releaseBuffers() {
    if (g_ppMFEDataSpace != nullptr) {
        for (DWORD i = 0; i < kWorkArrays; ++i) delete[] g_ppMFEDataSpace[i];
        delete[] g_ppMFEDataSpace;
        g_ppMFEDataSpace = nullptr;
    }
    delete[] g_pData;
    g_pData = nullptr;
    delete[] g_pBVData;
    g_pBVData = nullptr;
    delete[] g_pVADResult;
    g_pVADResult = nullptr;
}

bool CMFE::createCodec() {
    if (!isBV32Format()) return true;
    frsz = kBV32FrameSamples;
    sizestate = sizeof(BV32_Encoder_State);
    sizebitstream = sizeof(BV32_Bit_Stream);
    if (state == nullptr) state = allocEncoderState(0, 0);
    if (bs == nullptr) bs = allocBitStream(0, 0);
    if (state == nullptr || bs == nullptr) return false;
    Reset_BV32_Encoder(state);
    return true;
}

void CMFE::releaseCodec() {
    if (state != nullptr) deallocEncoderState(state, 0, 0);
    if (bs != nullptr) deallocBitStream(bs, 0, 0);
    state = nullptr;
    bs = nullptr;
}

bool CMFE::createDrc() {
    if (nCarlife == 0) return true;
    drc_handle = drc_create();
    if (drc_handle == nullptr) return false;
    drc_init(drc_handle);
    return drc_handle->noise_est != nullptr && drc_handle->iir != nullptr;
}

void CMFE::releaseDrc() {
    drc_destroy(drc_handle);
    drc_handle = nullptr;
}

int CMFE::mfeInit() {
    isFirst = true;
    isSilence = false;
    if (nCodeFormat == 20 && nSampleRate != 16000) return -109;
    // Frame timing, keypad-tone blocks and the stream header only exist for these two rates.
    if (nSampleRate != 8000 && nSampleRate != 16000) return -109;
    if (nCurState != UNKNOWN) return -102;

    deriveWorkingParams();

    const uint64_t samples = sampleCapacity();
    const uint64_t slots = decisionSlots();
    const uint64_t bvBytes = bvStoreBytes();
    bool ok = true;
    g_ppMFEDataSpace = new (std::nothrow) double*[kWorkArrays]();
    if (g_ppMFEDataSpace == nullptr) {
        ok = false;
    } else {
        for (DWORD i = 0; i < kWorkArrays && ok; ++i) {
            g_ppMFEDataSpace[i] = new (std::nothrow) double[nFrameLength]();
            ok = g_ppMFEDataSpace[i] != nullptr;
        }
    }
    if (ok) g_pData = new (std::nothrow) short[samples]();
    if (ok && g_pData == nullptr) ok = false;
    if (ok) g_pBVData = new (std::nothrow) UWord8[bvBytes]();
    if (ok && g_pBVData == nullptr) ok = false;
    if (ok) g_pVADResult = new (std::nothrow) short[slots]();
    if (ok && g_pVADResult == nullptr) ok = false;
    if (!ok) {
        releaseBuffers();
        return -107;
    }
    if (g_ppMFEDataSpace[SubbandDivisionIdx] == nullptr || g_pData == nullptr || g_pBVData == nullptr ||
        g_pVADResult == nullptr) {
        releaseBuffers();
        return -120;
    }

    computeSubbandEdges();
    writeStreamHeader();
    clearSessionState();
    dThr_InSpeech = dThreshold_Start;
    dThr_OutSpeech = dThreshold_End;

    if (!createCodec() || !createDrc()) {
        releaseCodec();
        releaseDrc();
        releaseBuffers();
        return -107;
    }
    nCurState = RUN;
    return 0;
}

int CMFE::mfeReset() {
    if (nCurState != RUN) return -102;
    std::memset(g_pData, 0, sampleCapacity() * sizeof(short));
    std::memset(g_pBVData, 0, bvStoreBytes());
    std::memset(g_pVADResult, 0, decisionSlots() * sizeof(short));
    for (DWORD i = 0; i < kWorkArrays; ++i)
        std::memset(g_ppMFEDataSpace[i], 0, nFrameLength * sizeof(double));

    deriveWorkingParams();
    clearSessionState();
    dThr_InSpeech = dThreshold_Start;
    dThr_OutSpeech = dThreshold_End;
    computeSubbandEdges();
    writeStreamHeader();

    // The encoder records are kept and put back into their initial condition;
    // the dynamic range control starts afresh. If it cannot be created, frames
    // are analysed without it.
    createCodec();
    releaseDrc();
    if (!createDrc()) releaseDrc();
    return 0;
}

int CMFE::mfeExit() {
    if (nCurState != RUN) return -102;
    releaseCodec();
    releaseBuffers();
    clearSessionState();
    dThr_InSpeech = dThr_OutSpeech = 0.0;
    nCurState = UNKNOWN;
    releaseDrc();
    return 0;
}

int CMFE::mfeGetStartLocation() { return static_cast<int>(nFrameLength * nStartFrame); }

void CMFE::mfeSetLogLevel(int iLevel) { iLogLevel = (iLevel != 0) ? 7 : 0; }
