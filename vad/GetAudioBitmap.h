// Audio bitmap: per analysis frame, a magnitude spectrum folded onto musical
// notes, log-normalised, and one bit per note dimension where the value stands
// out against a sliding block of neighbouring frames.
#ifndef VAD_GETAUDIOBITMAP_H
#define VAD_GETAUDIOBITMAP_H

#include <cstdint>
#include <memory>

#include "vad/Fft.h"
#include "vad/GetAudioBitmapTables.h"

// Usage: construct once per stream and check IsSuccess(). For every pack, in
// order and starting with pack 1, append the pack's samples behind those of the
// earlier packs in GetDataPtr(), give the total with SetDataNum() and call
// ExtractBitmap_Online(). Frame numbers run on across packs; one stream holds at
// most kMaxFrames frames. After a pack, GetPackBitmapPos() names the rows of
// GetBitmap() to read.
class CAudioBitmap : public CFft {
  public:
    // Capacity of every per-frame array.
    static constexpr unsigned kMaxFrames = 312;
    // Largest number of bitmap dimensions (one threshold each).
    static constexpr unsigned kMaxDims = bitmap_tables::kScaleSize;

    // bitMapType: 1 = one dimension per FFT bin in the band, 2 = one per MIDI
    // note in the band, anything else = 12 pitch classes. The band is
    // (max(lowfreq, 0), min(highfreq, sampleRate / 2)). frameLen must be a power
    // of two; frameShiftLen, sampleRate and blockLen at least 1. threshold is a
    // z-value; larger values make the per-dimension thresholds stricter.
    // No bitmap is made before blockLen + frameOfindexUint / 2 frames have
    // arrived. isBitOneFrameUse is kept only.
    CAudioBitmap(int bitMapType, float lowfreq, float highfreq, int frameLen, int frameShiftLen,
                 int sampleRate, int blockLen, float threshold, bool isBitOneFrameUse, int frameOfindexUint);
    ~CAudioBitmap() override = default;
    CAudioBitmap(const CAudioBitmap&) = delete;
    CAudioBitmap& operator=(const CAudioBitmap&) = delete;

    bool IsSuccess() const { return m_isSuccess; }

    // Sample buffer of the stream: SampleCapacity() samples.
    short* GetDataPtr() { return m_sample.get(); }
    size_t SampleCapacity() const;
    // Number of valid samples in GetDataPtr(); false (and nothing changed) when
    // it exceeds SampleCapacity().
    bool SetDataNum(unsigned nSampleNum);

    // SetPack(PID), FFT of the new frames, bitmap stage. 0 when the bitmap stage
    // produced rows, 1 otherwise (not enough frames yet, a pack beyond
    // kMaxFrames, bad arguments).
    int ExtractBitmap_Online(int PID, int ibandwidth);

    // Rows of GetByteSizePerFrame() words, one per frame; frameNum receives the
    // number of frames available.
    const uint16_t* GetBitmap(int& frameNum) const;
    // First and last row made or updated by the last pack. Returns 0, -1 when no
    // row is final yet, -2 (with a message) when the frame numbers are wrong.
    int GetPackBitmapPos(int& frameFirst, int& frameLast, unsigned long threadID) const;

    void SetPack(int PID);
    int GetPackID() const { return PackID; }
    // Zeroes the buffers and the FFT frame counters.
    void ResetVar();

    // MIDI note of a frequency in Hz (440 Hz = 69), -1 for f <= 0.
    static int Freq2Midinote(float f);
    static float Midinote2Freq(int n);

    // Magnitude spectra of the frames of `data` (datalen samples from the start
    // of the stream) not yet analysed. -1 when refused (more than kMaxFrames
    // frames, bad arguments, failed construction), else 0.
    int ComputeFft_Online(const short* data, int datalen);
    // Chroma and bits of the frames received by the last FFT run. 0 when done,
    // -1 when too few frames were received, -2 when frame numbers went back,
    // -3 on bad arguments or a failed construction.
    int ComputeBitmapFft_Online(int ibandwidth);

    unsigned GetChromaDim() const { return m_chromaDim; }
    int GetByteSizePerFrame() const { return m_byteSizePerFrame; }
    int GetMidiNoteLow() const { return m_midiNoteLow; }
    int GetMidiNoteHigh() const { return m_midiNoteHigh; }
    // Note (or pitch class) of FFT bin j < frameLen / 2, -1 outside the band.
    int GetFreqNote(unsigned j) const { return m_freqNote[j]; }
    // Log-normalised note values of a frame the bitmap stage has processed:
    // GetChromaDim() values.
    const float* GetChroma(unsigned frame) const { return m_chroma.get() + size_t{m_chromaDim} * frame; }
    // Decision threshold (z-value) of dimension i < GetChromaDim().
    double GetThreshold(unsigned i) const { return m_thresholdArray[i]; }

  private:
    void FreqMidinoteMap();
    void ComputeThresholds();
    bool Allocate();
    void FoldChroma(unsigned frame);
    void NormaliseChroma(unsigned frame);
    // Running sums of one band of dimensions over a block of frames.
    struct BlockSums {
        double u = 0.0;
        double s = 0.0;
    };
    void AddBand(BlockSums& sums, unsigned frame, unsigned first, unsigned end, double sign) const;
    void TestFrame(const BlockSums& sums, unsigned frame, unsigned dim, unsigned band_size, double thr);

    int16_t m_bitMapType = 0;
    int16_t m_byteSizePerFrame = 0;  // 16-bit words per bitmap row
    int16_t m_bitSizePerUnit = 16;
    bool m_isSuccess = false;
    float m_codingThreshold = 0.0f;
    double m_thresholdArray[kMaxDims] = {};
    std::unique_ptr<int16_t[]> m_sample;    // (hop + 1) * kMaxFrames samples
    std::unique_ptr<float[]> m_realFft;     // frameLen + 1, element 0 unused
    std::unique_ptr<float[]> m_spectrum;    // kMaxFrames * frameLen / 2
    std::unique_ptr<int16_t[]> m_freqNote;  // frameLen / 2
    std::unique_ptr<float[]> m_chroma;      // kMaxFrames * m_chromaDim
    std::unique_ptr<uint16_t[]> m_bitmap;   // kMaxFrames * m_byteSizePerFrame
    uint32_t m_frameNum = 0;
    uint32_t m_frameLen = 0;
    uint32_t m_frameShiftLen = 0;
    uint32_t m_chromaDim = 0;
    uint32_t m_sampleRate = 0;
    float m_frameSecond = 0.0f;
    float m_frameShiftSecond = 0.0f;
    uint32_t m_blockLen = 0;
    uint32_t m_sampleNum = 0;
    uint32_t m_totalAudioNum = 0;
    uint32_t m_totalFrameNum = 0;
    uint32_t m_sPos = 0;
    uint32_t m_ePos = 0;
    uint32_t m_detectFrameNum = 0;
    uint32_t m_queryFrameNum = 0;
    bool m_bitOneFrameIndex = false;
    float m_lowFreq = 0.0f;
    float m_highFreq = 0.0f;
    int16_t m_midiNoteLow = 0;
    int16_t m_midiNoteHigh = 0;
    uint32_t m_frameOfindexUint = 0;
    int32_t PackID = 0;
    uint32_t nFrameS = 0;     // first frame whose bitmap is final after this pack
    int32_t nFrameE = -1;     // last such frame, -1 when none
    uint32_t nRecFrameS = 0;  // first frame received in this pack
    int32_t nRecFrameE = -1;  // last frame received so far
    // Per dimension, the forward block's running sum and sum of squares, carried
    // from pack to pack. Kept in double: the variance is a small difference of
    // large sums, and float rounding here made bits depend on where packs were cut.
    std::unique_ptr<double[]> m_totalu_forward;
    std::unique_ptr<double[]> m_totalsigma_forward;
};

#endif  // VAD_GETAUDIOBITMAP_H
