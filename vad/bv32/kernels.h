// Hot loops of the BV32 stages in two forms: Fast = true takes the exact shortcuts
// of fastpath.h where they apply, Fast = false runs the basic operators only. Both
// give the same results and flags; the stages use kFastPaths.
#ifndef VAD_BV32_KERNELS_H
#define VAD_BV32_KERNELS_H

#include <cstdint>

#include "vad/bv32/bv32cnst.h"
#include "vad/bvcommon/typedef.h"

namespace bv32 {
namespace kernels {

// Zero-state responses r of the excitation codebook through the noise feedback
// filter (codevector j at r[j * VDIM]), with what the fast search needs: the
// largest magnitude over all of them and, when it is at most kFastPeak, the
// responses by sample (rt[k][j] = r[j * VDIM + k]) and their energies.
struct ZeroStateCodebook {
    static constexpr int kFastPeak = 16383;
    Word16 r[VDIM * CBSZ];
    int peak;
    Word16 rt[VDIM][CBSZ];
    int32_t energy[CBSZ];
};

// Fills peak, rt and energy from r.
void prepare_search(ZeroStateCodebook* zs);

// The excquan codebook search: index (bit 5 = negative sign) of the codevector whose
// zero-state response r best matches the zero-input target qzir (Q0, scaled by 4
// against r), minimising sum (4 qzir - (+-r))^2; ties keep the earlier candidate.
template <bool Fast>
Word16 cbsearch(const Word16* qzir, const ZeroStateCodebook& zs);

// scale_codebook (see stages.h).
template <bool Fast>
void scale_codebook(Word16 gainq, Word16* cbs);

// excquan (see stages.h).
template <bool Fast>
void excquan(Word16* idx, Word16* d, const Word16* h, const Word16* b, Word16 beta, Word16* ltsym,
             Word16* ltnfm, Word16* stnfm, const Word16* cb, Word16 pp, Word16 gain_exp);

// vqmse's search: row of cb (cbsz rows of vdim) with the least squared error to x.
template <bool Fast>
Word16 vqmse_search(const Word16* x, const Word16* cb, Word16 vdim, Word16 cbsz);

// refinepitch's search over lags lb..ub (see refinepitch); returns the lag and sets
// *cormax and *enermax32 to its correlation and energy.
template <bool Fast>
Word16 refine_search(const Word16* x, Word16 lb, Word16 ub, Word32* cormax, Word32* enermax32);

// coarsepitch's correlations of the decimated signal xwd (LXD samples): cor[i] and
// energy[i] for decimated lag i+1, i = -1 .. MAXPPD1-1 (arrays indexed from -1).
template <bool Fast>
void pitch_correlations(const Word16* xwd, Word32* cor, Word32* energy);

}  // namespace kernels
}  // namespace bv32

#endif  // VAD_BV32_KERNELS_H
