#include "vad/MFESessionSettings.h"

#include "wire/vela_wire.h"

void mfeApplySessionSettings(CMFE& mfe, int maxSpeechFrames, int vad, int compress, bool wideband) {
    mfe.mfeSetParam(MFE_MAX_SPEECH_DURATION, maxSpeechFrames);
    mfe.mfeSetParam(MFE_VAD, vad);
    mfe.mfeSetParam(MFE_COMPRESS, compress);
    mfe.mfeSetParam(MFE_MIN_SPEECH_DURATION, 5);
    mfe.mfeSetParam(MFE_OFFSET, 0);
    mfe.mfeSetParam(MFE_SPEECH_MODE, 0);
    mfe.mfeSetParam(MFE_CARLIFE, 0);
    mfe.mfeSetParam(MFE_MAX_WAIT_DURATION, 250);
    mfe.mfeSetParam(MFE_MAX_SPEECH_PAUSE, 15);
    mfe.mfeSetParam(MFE_BIAS_SPEECH_IN, 0);
    mfe.mfeSetParam(MFE_BIAS_SPEECH_OUT, 5);
    mfe.mfeSetParam(MFE_SAMPLE_RATE, wideband ? 16000 : 8000);
    mfe.mfeSetParam(MFE_CODE_FORMAT, wideband ? vela::wire::kFormatBv32At16k : vela::wire::kFormatBv32At8k);
    mfe.mfeSetParam(MFE_SLEEP_TIMEOUT, 60);
}
