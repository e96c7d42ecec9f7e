// The settings a streaming recognition session gives its front end before
// mfeInit. The SDK's instances and the vadscan tool both use them, so that a
// scan shows exactly what a session would decide.
#ifndef VAD_MFESESSIONSETTINGS_H
#define VAD_MFESESSIONSETTINGS_H

#include "vad/MFE.h"

// Applies, in this order and ignoring the results: maximum speech
// `maxSpeechFrames`, detection `vad`, compression `compress`, minimum speech 5,
// offset 0, speech mode 0, no range control, wait 250, pause 15, biases 0 and
// 5, sample rate 16000 Hz with format 4 when `wideband` (else 8000 Hz with
// format 0), a store of 60 s. Durations are in 8000 Hz frames (the engine
// doubles them at 16000 Hz).
void mfeApplySessionSettings(CMFE& mfe, int maxSpeechFrames, int vad, int compress, bool wideband);

#endif  // VAD_MFESESSIONSETTINGS_H
