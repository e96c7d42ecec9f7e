// CMFE: the audio front end of one recognition session. It stores 16-bit mono
// PCM, decides per 256-sample frame whether it is speech (subband-entropy
// detector), tracks the start and end of speech, and hands out the released
// audio as PCM or as packed BV32 frames behind a 4-byte stream header.
//
// Calling order: mfeSetParam (any number), mfeInit, then per chunk
// mfeSendData -> mfeDetect -> mfeGetCallbackData; mfeReset starts a new
// session, mfeExit releases everything. The three data operations lock the
// engine's mutex and sleep 2000 us after unlocking (not a successful PCM
// hand-out); the other operations must not run concurrently with them.
//
// Result codes (0 = success):
//   -1    mfeGetCallbackData: the output capacity iLen is smaller than the data
//         to hand out; nothing is handed out and the data stays pending.
//   -100  mfeSendData: segment rewind before its end was received (speech
//         modes 1, 2); mfeDetect: end-point state outside the mapped set.
//   -101  mfeSendData: bad input (iLen < 0, or pDataIn null with iLen > 0);
//         mfeGetCallbackData: pDataOut null with iLen > 0. Nothing changes.
//   -102  operation in the wrong engine state (settings after mfeInit, data
//         operations before mfeInit or after mfeExit).
//   -107  mfeInit: an allocation failed; everything allocated is released.
//   -108  mfeSendData: the sample store would overflow; nothing is stored.
//   -109  mfeSetParam: unknown key; mfeInit: format 20 at a rate other than
//         16000 Hz, or a sample rate other than 8000 and 16000 Hz.
//   -118  mfeSendData: chunk longer than 16000 samples; nothing is stored and
//         the caller's buffer is left untouched.
//   -120  mfeInit: a buffer is missing after allocation.
// mfeDetect otherwise returns a DetectResult.
#ifndef VAD_MFE_H
#define VAD_MFE_H

#include <pthread.h>
#include <time.h>

#include <cstdint>

#include "vad/BaseLib.h"
#include "vad/bv32/bv32strct.h"
#include "vad/bvcommon/typedef.h"
#include "vad/drc.h"

// Engine life cycle (only UNKNOWN and RUN are entered).
enum MFEState { UNKNOWN = 0, BOOT = 1, IDLE = 2, RUN = 3 };

// End-point state; the first six values coincide with DetectResult.
enum VADState {
    SILENCE = 0,
    SILENCE_TO_SPEECH = 1,
    SPEECH_TO_SILENCE = 2,
    NO_SPEECH = 3,
    SPEECH_TOO_SHORT = 4,
    SPEECH_TOO_LONG = 5,
    SPEECH_PAUSE = 6,
    NO_DETECT = 7
};

// Verdict of mfeDetect.
enum DetectResult {
    RET_SILENCE = 0,
    RET_SILENCE_TO_SPEECH = 1,
    RET_SPEECH_TO_SILENCE = 2,
    RET_NO_SPEECH = 3,
    RET_SPEECH_TOO_SHORT = 4,
    RET_SPEECH_TOO_LONG = 5,
    RET_RESERVE1 = 6,
    RET_RESERVE2 = 7,
    RET_RESERVE3 = 8,
    RET_RESERVE4 = 9
};

// Keys of mfeSetParam.
enum MFEParamKey {
    MFE_MAX_WAIT_DURATION = 1,    // frames
    MFE_MAX_SPEECH_DURATION = 2,  // frames
    MFE_MAX_SPEECH_PAUSE = 3,     // frames
    MFE_MIN_SPEECH_DURATION = 4,  // frames
    MFE_SLEEP_TIMEOUT = 5,        // seconds of audio the store holds
    MFE_OFFSET = 8,               // leading frames to skip
    MFE_SPEECH_END = 9,           // pause frames ending a segment (modes 1, 2)
    MFE_SPEECH_MODE = 10,         // 0, 1, 2
    MFE_VAD = 11,                 // detection on/off
    MFE_COMPRESS = 12,            // BV32 output on/off
    MFE_SAMPLE_RATE = 13,         // 8000 or 16000
    MFE_CODE_FORMAT = 14,         // stream format byte
    MFE_BIAS_SPEECH_IN = 15,      // units of 1e-7
    MFE_BIAS_SPEECH_OUT = 16,     // units of 1e-7
    MFE_MODE_COMB = 21,           // strip the repeated header (modes 1, 2)
    MFE_CARLIFE = 22              // dynamic range control before detection
};

class CMFE {
  public:
    CMFE();
    ~CMFE();
    CMFE(const CMFE&) = delete;
    CMFE& operator=(const CMFE&) = delete;

    int mfeSetParam(int type, int val);
    int mfeInit();
    // Buffers iLen samples; pDataIn null with iLen 0 marks the end of input.
    // The first 500 ms of a session that starts with a click are attenuated in
    // the caller's buffer as well.
    int mfeSendData(short* pDataIn, int iLen);
    int mfeDetect();
    // Hands out released audio into pDataOut (capacity iLen bytes); returns the
    // byte count, 0 when nothing is ready, or a negative code.
    int mfeGetCallbackData(char* pDataOut, int iLen);
    int mfeReset();
    int mfeExit();
    int mfeGetStartLocation();
    void mfeSetLogLevel(int iLevel);

    // Subband-entropy detector: one frame of nFrameLength samples -> 1 speech, 0 not.
    short VAD_SubbandEntropy_Process(short* pData);
    bool VAD_SubbandEntropy_CalSubEntro(short* pData);
    double VAD_SubbandEntropy_CalThreshold();

    double** g_ppMFEDataSpace;
    short* g_pData;
    UWord8* g_pBVData;
    short* g_pVADResult;
    DWORD SubbandDivisionIdx;
    DWORD ProbabilityIdx;
    DWORD PowSpecIdx;
    DWORD SubbandEntropyIdx;
    DWORD TempEntropyArrayIdx;
    DWORD SubbandDataIdx;
    DWORD nCurState;
    DWORD nVADCurState;
    DWORD nVADLastState;
    uint64_t lSample;
    uint64_t lSampleStart;
    uint64_t lSampleEnd;
    uint64_t lBVStartLoc;
    uint64_t lBVCurLoc;
    uint64_t lVADResultStartLoc;
    uint64_t lVADResultCurLoc;
    uint64_t lFrameCnt;
    uint64_t lFrameCntTotal;
    DWORD nStartFrame;
    DWORD nEndFrame;
    double dThr_InSpeech;
    double dThr_OutSpeech;
    DWORD nIsFinishFlag;
    DWORD nSampleRate;
    DWORD nCodeFormat;
    DWORD nFrameLength;
    DWORD nFrameShift;
    DWORD nFFTOrder;
    bool bNoiseDetectionFlag;
    int iLogLevel;
    DWORD nN;
    DWORD nL;
    DWORD nSubbandNum;
    double dQ;
    double dBeta;
    double dTheta;
    double dLambda;
    DWORD nStartBackFrame;
    DWORD nH;
    double dLambda_hat;
    DWORD nMax_Wait_Duration_Init;
    DWORD nMax_Speech_Duration_Init;
    DWORD nMax_Speech_Pause_Init;
    DWORD nMin_Speech_Duration_Init;
    DWORD nSleep_Timeout_Init;
    double dThreshold_Start_Init;
    double dThreshold_End_Init;
    DWORD nOffset_Init;
    DWORD nSpeech_End_Init;
    DWORD nSpeech_Mode_Init;
    double dThrBias_SpeechIn_Init;
    double dThrBias_SpeechOut_Init;
    double dThrBias_SpeechIn_BI_Silence_Init;
    double dThrBias_SpeechIn_BI_Slightnoise_Init;
    double dThrBias_SpeechIn_BI_Noise_Init;
    double dThrBias_SpeechOut_BI_Silence_Init;
    double dThrBias_SpeechOut_BI_Slightnoise_Init;
    double dThrBias_SpeechOut_BI_Noise_Init;
    DWORD nMax_Wait_Duration;
    DWORD nMax_Speech_Duration;
    DWORD nMax_Speech_Pause;
    DWORD nMin_Speech_Duration;
    DWORD nSleep_Timeout;
    double dThreshold_Start;
    double dThreshold_End;
    DWORD nOffset;
    DWORD nSpeech_End;
    DWORD nSpeech_Mode;
    double dThrBias_SpeechIn;
    double dThrBias_SpeechOut;
    double dThrBias_SpeechIn_BI_Silence;
    double dThrBias_SpeechIn_BI_Slightnoise;
    double dThrBias_SpeechIn_BI_Noise;
    double dThrBias_SpeechOut_BI_Silence;
    double dThrBias_SpeechOut_BI_Slightnoise;
    double dThrBias_SpeechOut_BI_Noise;
    short nIn_Speech_Threshold;
    DWORD nOffsetLength;
    DWORD nVADInnerCnt;
    DWORD nVADInnerZeroCnt;
    DWORD nSpeechEndCnt;
    DWORD nSpeechEncLength;
    DWORD nFindPossibleEndPoint;
    DWORD nPossible_Speech_Pause_Init;
    DWORD nPossible_Speech_Pause;
    DWORD nPossible_Speech_Start;
    double dMaxSubEntro;
    double dMinSubEntro;
    double dThrAdjust_SpeechOut;
    double dThrAdjust_SpeechIn;
    DWORD nAmp;
    double pThrSubEntro[8];
    double dBasicEnergy;
    double pStartEnergy[8];
    double pZeroPass[8];
    double pMean[4];
    DWORD nBackEnd;
    bool bKeypadFiltering;
    DWORD nKeyToneRange;
    DWORD nKeyToneStep;
    DWORD nKeyToneOffset;
    DWORD nKeyTonePeakThr;
    DWORD nKeyToneLeftThr;
    DWORD nKeyToneRightThr;
    DWORD nKeyToneLeftRange;
    DWORD nKeyToneRightRange;
    DWORD nKeyToneDelta;
    bool bInvalidRecModification;
    DWORD nModificationRange;
    DWORD nThr_ZeroPass;
    DWORD nThr_Energy;
    bool nVAD;
    bool nCompress;
    bool isFirst;
    bool isSilence;
    DWORD nModeComb;
    DWORD nCarlife;
    DRC_HANDLE drc_handle;
    int frame;
    int sizebitstream;
    int sizestate;
    int frsz;
    BV32_Encoder_State* state;
    BV32_Bit_Stream* bs;
    unsigned char PackedStream[20];
    pthread_mutex_t MyMutex;
    pthread_cond_t MyCond;
    timespec ts;

  private:
    // Sizes derived from nSampleRate and nSleep_Timeout.
    uint64_t sampleCapacity() const;
    uint64_t decisionSlots() const;
    uint64_t bvStoreBytes() const;
    // First sample of the candidate end frame, never past the samples held.
    uint64_t candidateEndSample() const;
    bool isBV32Format() const;
    DWORD startBackFrames() const;

    void deriveWorkingParams();
    void computeSubbandEdges();
    void writeStreamHeader();
    void clearSessionState();
    void releaseBuffers();
    bool createCodec();
    void releaseCodec();
    bool createDrc();
    void releaseDrc();

    // mfeSendData stages.
    bool isStartClick(const short* x, int iLen) const;
    void attenuateStart(short* x, int iLen) const;
    void appendSamples(const short* x, uint64_t n);
    void keypadToneFilter();
    int sendSpeechModeOther(short* pDataIn, int iLen);
    int rewindSegment(short* pDataIn, int iLen);

    // mfeDetect stages.
    int detectEndOfInput();
    void analyseFramesMode0(uint64_t s0, uint64_t e);
    void analyseFramesModeOther(uint64_t s0, uint64_t e);
    short analyseFrame(uint64_t f);
    uint64_t scanSilence(uint64_t p, uint64_t e, uint64_t T, uint64_t back);
    void scanMode0(uint64_t p, uint64_t e);
    void scanModeOther(uint64_t p, uint64_t e);
    void advanceReleaseWindow();
    int detectResult() const;
    uint64_t sumDecisions(uint64_t p, uint64_t k) const;
    bool anySpeechIn(uint64_t p, uint64_t e) const;
    void fillDecisions(uint64_t from, short value);

    // mfeGetCallbackData stages.
    bool selectWindow();
    int handOutCompressed(char* pDataOut, int iLen);
    int handOutPcm(char* pDataOut, int iLen);
    bool compressedHandOutAllowed() const;
    void encodeWindow();

    // Detector stages.
    void setThresholds();
    void classifyByZeroCrossings(double& in, double& out);
    double orderStatisticEntropy();
    void adjustThresholds(double h);
    bool decide(double h) const;

    // End (exclusive) of the samples already encoded into the compressed store
    // in the current stream; keeps a retried hand-out from encoding them twice.
    uint64_t lBVEncodedEnd;
};

#endif  // VAD_MFE_H
