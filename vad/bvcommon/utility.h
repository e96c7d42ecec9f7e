// Word copy and clear helpers of the codec.
#ifndef VAD_BVCOMMON_UTILITY_H
#define VAD_BVCOMMON_UTILITY_H

#include "vad/bvcommon/typedef.h"

// Copy size words from x to y in ascending order; size <= 0 does nothing.
void W16copy(Word16* y, const Word16* x, int size);
// Set size words of x to 0; size <= 0 does nothing.
void W16zero(Word16* x, int size);
// Copy size 32-bit words from x to y in ascending order; size <= 0 does nothing.
void W32copy(Word32* y, const Word32* x, int size);

#endif  // VAD_BVCOMMON_UTILITY_H
