// Word copy and clear helpers of the codec.
#include "vad/bvcommon/utility.h"

void W16copy(Word16* y, const Word16* x, int size) {
    for (int i = 0; i < size; i++) y[i] = x[i];
}

void W16zero(Word16* x, int size) {
    for (int i = 0; i < size; i++) x[i] = 0;
}

void W32copy(Word32* y, const Word32* x, int size) {
    for (int i = 0; i < size; i++) y[i] = x[i];
}
