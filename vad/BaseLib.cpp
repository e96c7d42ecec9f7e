#include "vad/BaseLib.h"

#include <cmath>
#include <utility>

namespace {

// Reorders the n points into bit-reversed index order.
void bitReverse(COMPLEX* x, unsigned long n) {
    unsigned long j = 0;
    for (unsigned long i = 0; i + 1 < n; ++i) {
        if (i < j) std::swap(x[i], x[j]);
        unsigned long k = n >> 1;
        while (k <= j) {
            j -= k;
            k >>= 1;
        }
        j += k;
    }
}

// Complex product a * b in single precision.
inline COMPLEX mul(const COMPLEX& a, const COMPLEX& b) {
    return COMPLEX{a.real * b.real - a.image * b.image, a.real * b.image + a.image * b.real};
}

void quickSort(double* pData, unsigned long lLow, unsigned long lHigh) {
    while (lLow < lHigh) {
        const unsigned long mid = OneQuickSort(pData, lLow, lHigh);
        // Recurse into the smaller part, loop over the larger one.
        if (mid - lLow < lHigh - mid) {
            if (mid > lLow) quickSort(pData, lLow, mid - 1);
            lLow = mid + 1;
        } else {
            quickSort(pData, mid + 1, lHigh);
            if (mid == lLow) return;
            lHigh = mid - 1;
        }
    }
}

}  // namespace

void FFT(COMPLEX* pFFTData, DWORD nFFTOrder) {
    if (nFFTOrder < 1) return;
    const unsigned long n = 1UL << nFFTOrder;
    bitReverse(pFFTData, n);
    const float pi = 3.14159265358979323846f;
    for (DWORD l = 1; l <= nFFTOrder; ++l) {
        const unsigned long le = 1UL << l;
        const unsigned long le1 = le >> 1;
        float s = 0.0f;
        float c = 0.0f;
        sincosf(pi / static_cast<float>(le1), &s, &c);
        const COMPLEX w{c, -s};
        COMPLEX u{1.0f, 0.0f};
        for (unsigned long j = 0; j < le1; ++j) {
            for (unsigned long i = j; i < n; i += le) {
                const unsigned long ip = i + le1;
                const COMPLEX t = mul(pFFTData[ip], u);
                pFFTData[ip].real = pFFTData[i].real - t.real;
                pFFTData[ip].image = pFFTData[i].image - t.image;
                pFFTData[i].real = pFFTData[i].real + t.real;
                pFFTData[i].image = pFFTData[i].image + t.image;
            }
            u = mul(u, w);
        }
    }
}

unsigned long OneQuickSort(double* pData, unsigned long lLow, unsigned long lHigh) {
    const double pivot = pData[lLow];
    unsigned long i = lLow;
    unsigned long j = lHigh;
    while (i < j) {
        while (i < j && pData[j] >= pivot) --j;
        pData[i] = pData[j];
        while (i < j && pData[i] <= pivot) ++i;
        pData[j] = pData[i];
    }
    pData[i] = pivot;
    return i;
}

bool Sort_QuickSort(double* pData, unsigned long lDataLength) {
    if (lDataLength < 2) return true;
    quickSort(pData, 0, lDataLength - 1);
    return true;
}
