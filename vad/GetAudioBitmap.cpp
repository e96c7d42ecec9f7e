// Audio bitmap: FFT magnitudes folded onto note dimensions, log-normalised,
// and tested per dimension against forward and backward blocks of frames.
#include "vad/GetAudioBitmap.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

namespace {

// ln(1.05): a dimension must hold at least 1.05 times the uniform share.
constexpr double kShareMargin = 0.04879016416943205;
constexpr float kChromaFloor = 1e-6f;
constexpr double kSigmaFloor = 1e-6;

template <typename T>
std::unique_ptr<T[]> allocate_zeroed(size_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

// Index of the first value not below `key` in the ascending table, or `size`.
int first_not_below(const double* table, int size, double key) {
    return static_cast<int>(std::lower_bound(table, table + size, key) - table);
}

bool is_power_of_two(int n) { return n >= 2 && (n & (n - 1)) == 0; }

}  // namespace

CAudioBitmap::CAudioBitmap(int bitMapType, float lowfreq, float highfreq, int frameLen, int frameShiftLen,
                           int sampleRate, int blockLen, float threshold, bool isBitOneFrameUse,
                           int frameOfindexUint) {
    // The FFT needs a power-of-two frame; the stages below divide by hop, rate
    // and block length.
    if (!is_power_of_two(frameLen) || frameShiftLen < 1 || sampleRate < 1 || blockLen < 1 ||
        frameOfindexUint < 0) {
        return;
    }
    m_bitMapType = static_cast<int16_t>(bitMapType == 1 || bitMapType == 2 ? bitMapType : 3);
    m_frameLen = static_cast<uint32_t>(frameLen);
    m_frameShiftLen = static_cast<uint32_t>(frameShiftLen);
    m_sampleRate = static_cast<uint32_t>(sampleRate);
    m_lowFreq = std::max(lowfreq, 0.0f);
    m_highFreq = std::min(highfreq, static_cast<float>(sampleRate) / 2.0f);
    m_frameOfindexUint = static_cast<uint32_t>(frameOfindexUint);

    m_freqNote = allocate_zeroed<int16_t>(m_frameLen / 2);
    if (!m_freqNote) {
        std::puts("[Allocate Memory for m_freqNote Error!]");
        return;
    }
    m_bitSizePerUnit = 16;
    FreqMidinoteMap();
    // A band without notes, or more dimensions than there are thresholds.
    if (m_chromaDim == 0 || m_chromaDim > kMaxDims) return;

    m_bitOneFrameIndex = isBitOneFrameUse;
    m_byteSizePerFrame = static_cast<int16_t>((m_chromaDim + m_bitSizePerUnit - 1) / m_bitSizePerUnit);
    m_codingThreshold = threshold;
    ComputeThresholds();
    m_sPos = 0;
    m_ePos = 0;
    m_blockLen = static_cast<uint32_t>(blockLen);
    m_frameSecond = static_cast<float>(m_frameLen) / static_cast<float>(m_sampleRate);
    m_frameShiftSecond = static_cast<float>(m_frameShiftLen) / static_cast<float>(m_sampleRate);
    m_isSuccess = Allocate();
}

bool CAudioBitmap::Allocate() {
    bool ok = true;
    m_totalsigma_forward = allocate_zeroed<double>(m_chromaDim);
    if (!m_totalsigma_forward) {
        std::puts("[Allocate Memory for m_totalsigmal_forward Error!]");
        ok = false;
    }
    m_totalu_forward = allocate_zeroed<double>(m_chromaDim);
    if (!m_totalu_forward) {
        std::puts("[Allocate Memory for m_totalu_forward Error!]");
        ok = false;
    }
    m_spectrum = allocate_zeroed<float>(size_t{kMaxFrames} * (m_frameLen / 2));
    if (!m_spectrum) {
        std::puts("[Allocate Memory for m_spectrum Error!]");
        return false;
    }
    m_bitmap = allocate_zeroed<uint16_t>(size_t{kMaxFrames} * static_cast<size_t>(m_byteSizePerFrame));
    if (!m_bitmap) {
        std::puts("[Allocate Memory for m_bitmap Error!]");
        return false;
    }
    m_realFft = allocate_zeroed<float>(size_t{m_frameLen} + 1);
    if (!m_realFft) {
        std::puts("[Allocate Memory for m_realFft Error!]");
        ok = false;
    }
    m_chroma = allocate_zeroed<float>(size_t{kMaxFrames} * m_chromaDim);
    if (!m_chroma) {
        std::puts("[Allocate Memory for m_chroma Error!]");
        ok = false;
    }
    m_sample = allocate_zeroed<int16_t>(SampleCapacity());
    if (!m_sample) {
        std::puts("[Allocate Memory for m_sample Error!]");
        return false;
    }
    return ok;
}

size_t CAudioBitmap::SampleCapacity() const { return (size_t{m_frameShiftLen} + 1) * kMaxFrames; }

int CAudioBitmap::Freq2Midinote(float f) {
    if (!(f > 0.0f)) return -1;
    return static_cast<int>(std::floor(12.0 * std::log(f / 440.0) / std::log(2.0) + 0.5)) + 69;
}

float CAudioBitmap::Midinote2Freq(int n) {
    return static_cast<float>(440.0 * std::pow(2.0, (n - 69) / 12.0));
}

void CAudioBitmap::FreqMidinoteMap() {
    const unsigned bins = m_frameLen / 2;
    const float bin_hz = static_cast<float>(m_sampleRate) / static_cast<float>(m_frameLen);
    const float top = std::min(m_highFreq, static_cast<float>(m_sampleRate) / 2.0f);
    int first = -1;
    int last = -1;
    for (unsigned j = 0; j < bins; ++j) {
        m_freqNote[j] = -1;
        const float f = bin_hz * static_cast<float>(j);
        // Frequencies below about 8 Hz have no (non-negative) MIDI note.
        const int note = Freq2Midinote(f);
        if (m_lowFreq < f && f < top && note >= 0) {
            m_freqNote[j] = static_cast<int16_t>(note);
            if (first < 0) first = static_cast<int>(j);
            last = static_cast<int>(j);
        }
    }
    if (m_bitMapType == 1 || m_bitMapType == 2) {
        if (first < 0) {
            m_chromaDim = 0;
            return;
        }
        m_midiNoteLow = m_freqNote[first];
        m_midiNoteHigh = m_freqNote[last];
        m_chromaDim = m_bitMapType == 1 ? static_cast<uint32_t>(last - first + 1)
                                        : static_cast<uint32_t>(m_midiNoteHigh - m_midiNoteLow + 1);
        return;
    }
    for (unsigned j = 0; j < bins; ++j) {
        if (m_freqNote[j] >= 0) m_freqNote[j] = static_cast<int16_t>(m_freqNote[j] % 12);
    }
    m_chromaDim = 12;
    m_midiNoteLow = 0;
    m_midiNoteHigh = 11;
}

// Tail probability tp = Phi(-threshold) from the normal table, scaled per
// dimension, and turned back into a z-value.
void CAudioBitmap::ComputeThresholds() {
    using namespace bitmap_tables;
    const int at = first_not_below(kNormalZ, kNormalSize, -static_cast<double>(m_codingThreshold));
    const double tp = at < kNormalSize ? kNormalCdf[at] : 1.0;
    for (int i = 0; i < kScaleSize; ++i) {
        const int k = first_not_below(kNormalCdf, kNormalSize, tp * kScale[i]);
        m_thresholdArray[i] = k < kNormalSize ? -kNormalZ[k] : -kNormalZ[kNormalSize - 1];
    }
}

bool CAudioBitmap::SetDataNum(unsigned nSampleNum) {
    if (!m_isSuccess || nSampleNum > SampleCapacity()) return false;
    m_sampleNum = nSampleNum;
    return true;
}

void CAudioBitmap::SetPack(int PID) {
    PackID = PID;
    if (PID == 1 || nFrameE < 0) {
        nFrameS = 0;
        nRecFrameS = 0;
    } else {
        nFrameS = static_cast<uint32_t>(nFrameE) + 1;
        nRecFrameS = static_cast<uint32_t>(nRecFrameE + 1);
    }
}

void CAudioBitmap::ResetVar() {
    if (!m_isSuccess) return;
    std::fill_n(m_sample.get(), SampleCapacity(), int16_t{0});
    std::fill_n(m_realFft.get(), m_frameLen + 1, 0.0f);
    std::fill_n(m_spectrum.get(), size_t{kMaxFrames} * (m_frameLen / 2), 0.0f);
    std::fill_n(m_chroma.get(), size_t{kMaxFrames} * m_chromaDim, 0.0f);
    std::fill_n(m_bitmap.get(), size_t{kMaxFrames} * static_cast<size_t>(m_byteSizePerFrame), uint16_t{0});
    m_frameNum = 0;
    m_sPos = 0;
    m_ePos = 0;
    m_detectFrameNum = 0;
}

int CAudioBitmap::ExtractBitmap_Online(int PID, int ibandwidth) {
    SetPack(PID);
    if (ComputeFft_Online(m_sample.get(), static_cast<int>(m_sampleNum)) != 0) return 1;
    return ComputeBitmapFft_Online(ibandwidth) == 0 ? 0 : 1;
}

const uint16_t* CAudioBitmap::GetBitmap(int& frameNum) const {
    frameNum = static_cast<int>(m_detectFrameNum);
    return m_bitmap.get();
}

int CAudioBitmap::GetPackBitmapPos(int& frameFirst, int& frameLast, unsigned long threadID) const {
    frameFirst = static_cast<int>(nFrameS);
    frameLast = static_cast<int>(m_blockLen) + nFrameE - 1;
    if (frameFirst < 0 || (frameLast > 0 && frameLast < frameFirst)) {
        std::printf("In thread %lu, Package frame number is wrong, PackID: %d,\t frame start: %d\t end: %d\n",
                    threadID, PackID, static_cast<int>(nFrameS), nFrameE);
        return -2;
    }
    // Until a bitmap has been made no row is final, whatever the block length.
    if (frameLast < 0 || nFrameE < 0) return -1;
    return 0;
}

int CAudioBitmap::ComputeFft_Online(const short* data, int datalen) {
    if (!m_isSuccess || data == nullptr || datalen < 0) return -1;
    const long long hop = m_frameShiftLen;
    // Whole frames in the data; none (rather than a negative count) when the
    // data is shorter than one frame.
    const long long frames = std::max(0LL, (datalen + hop - static_cast<long long>(m_frameLen)) / hop);
    // Every per-frame array holds kMaxFrames frames.
    if (frames > kMaxFrames) return -1;

    m_sPos = nRecFrameS;
    m_detectFrameNum = nRecFrameS;
    nRecFrameE = static_cast<int32_t>(frames - 1);
    m_ePos = static_cast<uint32_t>(nRecFrameE);
    if (nRecFrameE < static_cast<long long>(nRecFrameS)) return 0;

    const unsigned bins = m_frameLen / 2;
    float* fft = m_realFft.get();
    for (uint32_t i = nRecFrameS; i <= m_ePos; ++i) {
        fft[0] = 0.0f;
        const short* frame = data + size_t{m_frameShiftLen} * i;
        std::copy(frame, frame + m_frameLen, fft + 1);
        Realft(fft, static_cast<int>(m_frameLen));
        // Bin k - 1 is the pair (fft[2k - 1], fft[2k]).
        float* row = m_spectrum.get() + size_t{bins} * m_detectFrameNum;
        for (unsigned k = 1; k <= bins; ++k) row[k - 1] = std::hypot(fft[2 * k - 1], fft[2 * k]);
        ++m_detectFrameNum;
    }
    return 0;
}

// Adds the magnitudes of the frame's bins to their note dimensions: the bin's
// index in the band for type 1, its note (or pitch class) above the lowest
// note otherwise.
void CAudioBitmap::FoldChroma(unsigned frame) {
    const unsigned bins = m_frameLen / 2;
    const float* spectrum = m_spectrum.get() + size_t{bins} * frame;
    float* chroma = m_chroma.get() + size_t{m_chromaDim} * frame;
    std::fill_n(chroma, m_chromaDim, 0.0f);
    unsigned used = 0;
    for (unsigned j = 0; j < bins; ++j) {
        if (m_freqNote[j] < 0) continue;
        const unsigned dim = m_bitMapType == 1 ? used : static_cast<unsigned>(m_freqNote[j] - m_midiNoteLow);
        chroma[dim] += spectrum[j];
        ++used;
    }
}

// v -> ln(v + 1e-6) - ln(sum of the row + 1e-6 each): log share of the frame.
void CAudioBitmap::NormaliseChroma(unsigned frame) {
    float* chroma = m_chroma.get() + size_t{m_chromaDim} * frame;
    double sum = 0.0;
    for (unsigned d = 0; d < m_chromaDim; ++d) {
        chroma[d] += kChromaFloor;
        sum += chroma[d];
    }
    const double log_sum = std::log(sum);
    for (unsigned d = 0; d < m_chromaDim; ++d) {
        chroma[d] = static_cast<float>(std::log(static_cast<double>(chroma[d])) - log_sum);
    }
}

void CAudioBitmap::AddBand(BlockSums& sums, unsigned frame, unsigned first, unsigned end, double sign) const {
    const float* chroma = m_chroma.get() + size_t{m_chromaDim} * frame;
    for (unsigned d = first; d < end; ++d) {
        const double v = chroma[d];
        sums.u += sign * v;
        sums.s += sign * v * v;
    }
}

// Sets bit `dim` of the frame's row when its value exceeds the share margin
// and stands out from the block's mean by more than the dimension's z-value.
void CAudioBitmap::TestFrame(const BlockSums& sums, unsigned frame, unsigned dim, unsigned band_size,
                             double thr) {
    const double value = m_chroma[size_t{m_chromaDim} * frame + dim];
    if (!(value > thr)) return;
    const double n = static_cast<double>(m_blockLen) * band_size;
    const double mean = sums.u / n;
    // Rounding in the running sums can leave a tiny negative variance.
    const double sigma = std::sqrt(std::max(0.0, sums.s / n - mean * mean));
    if ((value - mean) / (sigma + kSigmaFloor) > m_thresholdArray[dim]) {
        const unsigned unit = static_cast<unsigned>(m_bitSizePerUnit);
        m_bitmap[size_t{static_cast<unsigned>(m_byteSizePerFrame)} * frame + dim / unit] |=
            static_cast<uint16_t>(1u << (dim % unit));
    }
}

int CAudioBitmap::ComputeBitmapFft_Online(int ibandwidth) {
    if (!m_isSuccess || ibandwidth < 1) return -3;
    const long long received = static_cast<long long>(nRecFrameE) + 1;
    m_detectFrameNum = static_cast<uint32_t>(std::max(received, 0LL));
    if (received < static_cast<long long>(m_frameOfindexUint / 2) + m_blockLen) {
        nFrameE = -1;
        return -1;
    }
    if (received < static_cast<long long>(nRecFrameS)) {
        std::printf("Package frame number is wrong, PackID: %d,\t received frame start: %d\t received: %d\n",
                    PackID, static_cast<int>(nRecFrameS), static_cast<int>(received));
        return -2;
    }
    const auto end = static_cast<unsigned>(received);
    for (unsigned f = nRecFrameS; f < end; ++f) {
        FoldChroma(f);
        NormaliseChroma(f);
    }
    const size_t row_words = static_cast<size_t>(m_byteSizePerFrame);
    std::fill(m_bitmap.get() + row_words * nRecFrameS, m_bitmap.get() + row_words * end, uint16_t{0});

    const double thr = kShareMargin - std::log(static_cast<double>(m_chromaDim));
    const unsigned block = m_blockLen;
    for (unsigned i = 0; i < m_chromaDim; ++i) {
        const unsigned band_end = std::min(m_chromaDim, i + static_cast<unsigned>(ibandwidth));
        const unsigned band_size = band_end - i;

        // Forward: block of the frames up to and including j, sums carried
        // over from the previous pack.
        BlockSums sums;
        if (nRecFrameS > 0) {
            sums.u = m_totalu_forward[i];
            sums.s = m_totalsigma_forward[i];
        }
        for (unsigned j = nRecFrameS; j < end; ++j) {
            AddBand(sums, j, i, band_end, 1.0);
            if (j + 1 >= block) {
                TestFrame(sums, j, i, band_size, thr);
                AddBand(sums, j + 1 - block, i, band_end, -1.0);
            }
        }
        m_totalu_forward[i] = sums.u;
        m_totalsigma_forward[i] = sums.s;

        // Backward: block of frame k and the frames after it.
        sums = BlockSums{};
        for (long long k = received - 1; k >= static_cast<long long>(nFrameS); --k) {
            const auto frame = static_cast<unsigned>(k);
            AddBand(sums, frame, i, band_end, 1.0);
            if (frame + block <= end) {
                TestFrame(sums, frame, i, band_size, thr);
                AddBand(sums, frame + block - 1, i, band_end, -1.0);
            }
        }
    }
    nFrameE = nRecFrameE - static_cast<int32_t>(m_blockLen) + 1;
    return 0;
}
