// Exact shortcuts for the hot loops of the codec.
//
// A loop of saturating basic operators can run on plain integers when no partial
// result can leave the 32-bit range, or when its saturation can be applied once at
// the end (sums of squares only grow). Each shortcut checks its condition and
// otherwise runs the operator loop; it sets Overflow exactly when the operator loop
// would. Building with VELA_BASOP_OUT_OF_LINE turns all shortcuts off.
#ifndef VAD_BVCOMMON_FASTPATH_H
#define VAD_BVCOMMON_FASTPATH_H

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "vad/bvcommon/typedef.h"

namespace bv32 {

#ifdef VELA_BASOP_OUT_OF_LINE
constexpr bool kFastPaths = false;
#else
constexpr bool kFastPaths = true;
#endif

constexpr int64_t kMax32 = 0x7fffffff;

inline int clamp16(int v) { return v > 32767 ? 32767 : (v < -32768 ? -32768 : v); }

inline int abs_int(int v) { return v < 0 ? -v : v; }

#if defined(__SSE2__)
namespace detail {
inline __m128i load8(const Word16* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline int32_t hsum32(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4e));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xb1));
    return _mm_cvtsi128_si32(v);
}
}  // namespace detail
#endif

// Sum of squares of x[0..n-1] in 64 bits.
inline int64_t energy64(const Word16* x, int n) {
    int64_t e = 0;
    int i = 0;
#if defined(__SSE2__)
    // Pair sums of squares are at most 2^31 and exact as unsigned 32-bit values.
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = zero;  // two 64-bit lanes
    for (; i + 8 <= n; i += 8) {
        const __m128i v = detail::load8(x + i);
        const __m128i pairs = _mm_madd_epi16(v, v);
        acc = _mm_add_epi64(acc, _mm_unpacklo_epi32(pairs, zero));
        acc = _mm_add_epi64(acc, _mm_unpackhi_epi32(pairs, zero));
    }
    alignas(16) int64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
    e = lanes[0] + lanes[1];
#endif
    for (; i < n; i++) e += static_cast<int32_t>(x[i]) * x[i];
    return e;
}

// Dot product of x and y. The caller guarantees that every partial sum fits in 32
// bits (for instance by bounding it with the energies); the sum is then exact in
// any order, and the vector code wraps where a regrouped sum would not fit.
inline Word32 dot32(const Word16* x, const Word16* y, int n) {
    uint32_t s = 0;
    int i = 0;
#if defined(__SSE2__)
    __m128i acc = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8)
        acc = _mm_add_epi32(acc, _mm_madd_epi16(detail::load8(x + i), detail::load8(y + i)));
    s = static_cast<uint32_t>(detail::hsum32(acc));
#endif
    for (; i < n; i++) s += static_cast<uint32_t>(static_cast<int32_t>(x[i]) * y[i]);
    return static_cast<Word32>(s);
}

// Squared distance sum (x[i] - y[i])^2. The caller guarantees |x[i] - y[i]| < 2^15
// and a sum below 2^31.
inline Word32 sqdist32(const Word16* x, const Word16* y, int n) {
    int32_t s = 0;
    int i = 0;
#if defined(__SSE2__)
    __m128i acc = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8) {
        const __m128i d = _mm_sub_epi16(detail::load8(x + i), detail::load8(y + i));
        acc = _mm_add_epi32(acc, _mm_madd_epi16(d, d));
    }
    s = detail::hsum32(acc);
#endif
    for (; i < n; i++) {
        const int32_t d = x[i] - y[i];
        s += d * d;
    }
    return s;
}

// Largest |x[i]| (up to 32768), 0 for n <= 0.
inline int peak_abs(const Word16* x, int n) {
    int hi = 0, lo = 0;
    int i = 0;
#if defined(__SSE2__)
    if (n >= 8) {
        __m128i vmax = detail::load8(x);
        __m128i vmin = vmax;
        for (i = 8; i + 8 <= n; i += 8) {
            const __m128i v = detail::load8(x + i);
            vmax = _mm_max_epi16(vmax, v);
            vmin = _mm_min_epi16(vmin, v);
        }
        alignas(16) Word16 mx[8], mn[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(mx), vmax);
        _mm_store_si128(reinterpret_cast<__m128i*>(mn), vmin);
        for (int k = 0; k < 8; k++) {
            hi = mx[k] > hi ? mx[k] : hi;
            lo = mn[k] < lo ? mn[k] : lo;
        }
    }
#endif
    for (; i < n; i++) {
        hi = x[i] > hi ? x[i] : hi;
        lo = x[i] < lo ? x[i] : lo;
    }
    return hi > -lo ? hi : -lo;
}

// Sum of |a[i]|.
inline int abs_sum(const Word16* a, int n) {
    int s = 0;
    for (int i = 0; i < n; i++) s += abs_int(a[i]);
    return s;
}

}  // namespace bv32

#endif  // VAD_BVCOMMON_FASTPATH_H
