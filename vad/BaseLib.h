// Basic numeric routines of the front end: the in-place radix-2 FFT and the
// quicksort used for the detector's order statistics.
#ifndef VAD_BASELIB_H
#define VAD_BASELIB_H

#include <cstdint>

typedef uint32_t DWORD;

// One complex value in single precision.
struct COMPLEX {
    float real;
    float image;
};

// Forward, unscaled FFT of 2^nFFTOrder points, in place. Single precision
// throughout, twiddle step from sincosf; an order below 1 does nothing.
void FFT(COMPLEX* pFFTData, DWORD nFFTOrder);

// Sorts lDataLength values ascending in place. Always returns true.
bool Sort_QuickSort(double* pData, unsigned long lDataLength);

// Partitions pData[lLow..lHigh] around pData[lLow] and returns the pivot's
// final index: smaller values end up before it, larger ones after it.
unsigned long OneQuickSort(double* pData, unsigned long lLow, unsigned long lHigh);

#endif  // VAD_BASELIB_H
