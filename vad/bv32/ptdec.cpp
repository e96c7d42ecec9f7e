// pp3dec: the three taps of a pitch codebook entry.
#include "vad/bv32/bv32cnst.h"
#include "vad/bv32/bv32dec.h"
#include "vad/bv32/tables.h"

void pp3dec(Word16 idx, Word16* b) {
    // Indices come from 5-bit fields; the mask keeps any other value inside the table.
    const Word16* row = &bv32::pp9cb[(idx & (bv32::PPCBSZ - 1)) * 9];
    for (int i = 0; i < 3; i++) b[i] = row[i];
}
