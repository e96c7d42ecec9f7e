// Minimal in-place real FFT used by the audio bitmap. It stands apart from the
// front end and provides only the one transform the bitmap needs.
#ifndef VAD_FFT_H
#define VAD_FFT_H

class CFft {
  public:
    CFft() = default;
    virtual ~CFft() = default;

    // Forward real FFT (X[k] = sum_j x[j] exp(-2 pi i j k / n), unscaled) of the
    // n values data[1] ... data[n], in place; data[0] is not touched. Afterwards
    // bin k (1 <= k < n/2) is the pair (data[2k+1], data[2k+2]) = (Re, Im); the
    // pair of bin 0 holds the real DC value and the real value of bin n/2.
    // n must be a power of two, at least 2; otherwise nothing is done and
    // false is returned.
    bool Realft(float* data, int n);
};

#endif  // VAD_FFT_H
