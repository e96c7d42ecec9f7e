// gaindec: log-gain decoding with moving-average prediction and gain-change limit.
#include "vad/bv32/bv32cnst.h"
#include "vad/bv32/bv32dec.h"
#include "vad/bv32/gainpred.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/mathutil.h"
#include "vad/itug729ilib/oper_32b.h"

using namespace bv32;

Word32 gaindec(Word32* lgq, Word16 gidx, Word16* lgpm, Word32* prevlg, Word32 level, Word16* nclglim,
               Word16 lctimer) {
    // Indices come from 5-bit fields; the mask keeps any other value inside the tables.
    gidx = static_cast<Word16>(gidx & (LGPECBSZ - 1));

    const Word32 elg = predicted_log_gain(lgpm);  // Q25

    *lgq = L_add(L_shr(L_deposit_h(lgpecb[gidx]), 2), elg);  // Q25

    // Below the minimum log-gain, snap to it when the next larger codeword would be
    // closer to the floor: the encoder's choice was then limited, not a real value.
    constexpr Word32 floor = MinE - 8192;
    if (gidx < LGPECBSZ - 1) {
        const Word32 lgq_nh = L_add(L_shr(L_deposit_h(lgpecb_nh[gidx]), 2), elg);
        if (*lgq < floor && L_abs(L_sub(lgq_nh, floor)) < L_abs(L_sub(*lgq, floor))) *lgq = MinE;
    }

    // Limit on the log-gain increase, as in the encoder.
    const int i = limit_cell(prevlg, level);

    for (int k = LGPORDER - 1; k > 0; k--) lgpm[k] = lgpm[k - 1];
    const Word16 lgc = extract_h(L_sub(*lgq, prevlg[0]));  // Q9
    if (lgc > lgclimit[i] && gidx > 0 && lctimer == 0) {
        // Repeat the previous log-gain and count consecutive clips.
        *lgq = prevlg[0];
        lgpm[0] = extract_h(L_shl(L_sub(*lgq, elg), 2));
        *nclglim = static_cast<Word16>(*nclglim + 1);
        if (*nclglim > NCLGLIM_TRAPPED) *nclglim = NCLGLIM_TRAPPED;
    } else {
        lgpm[0] = lgpecb[gidx];
        *nclglim = 0;
    }

    prevlg[1] = prevlg[0];
    prevlg[0] = *lgq;

    return linear_gain(*lgq);
}
