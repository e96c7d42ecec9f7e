#include "vad/GetAudioBitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

constexpr int kRate = 8000;
constexpr int kFrameLen = 1024;
constexpr int kHop = 256;
constexpr int kBlock = 16;

// Notes 44 (103.8 Hz) to 107 at 8 kHz: 64 dimensions.
std::unique_ptr<CAudioBitmap> notes_bitmap(int block = kBlock, int frame_index_unit = 0) {
    return std::make_unique<CAudioBitmap>(2, 100.0f, 4000.0f, kFrameLen, kHop, kRate, block, 1.0f, false,
                                          frame_index_unit);
}

// Tones with continuous phase: `seconds` of each frequency in turn.
std::vector<short> tones(const std::vector<double>& freqs, double seconds, double amplitude = 8000.0) {
    std::vector<short> s;
    double phase = 0.0;
    for (double f : freqs) {
        for (int n = 0; n < static_cast<int>(seconds * kRate); ++n) {
            phase += 2.0 * M_PI * f / kRate;
            s.push_back(static_cast<short>(std::lround(amplitude * std::sin(phase))));
        }
    }
    return s;
}

struct Feed {
    std::vector<int> results;    // ExtractBitmap_Online per pack
    std::vector<int> positions;  // GetPackBitmapPos per pack
    std::vector<int> firsts, lasts;
    int frames = 0;
    std::vector<uint16_t> rows;
};

// Feeds the stream in packs of `pack_len` samples, appended to the sample buffer.
Feed feed(CAudioBitmap& bm, const std::vector<short>& s, size_t pack_len, int bandwidth = 1) {
    Feed run;
    size_t have = 0;
    for (int pid = 1; have < s.size(); ++pid) {
        const size_t end = std::min(s.size(), have + pack_len);
        std::copy(s.begin() + have, s.begin() + end, bm.GetDataPtr() + have);
        have = end;
        EXPECT_TRUE(bm.SetDataNum(static_cast<unsigned>(have)));
        run.results.push_back(bm.ExtractBitmap_Online(pid, bandwidth));
        int first = 0, last = 0;
        run.positions.push_back(bm.GetPackBitmapPos(first, last, 0));
        run.firsts.push_back(first);
        run.lasts.push_back(last);
    }
    const uint16_t* rows = bm.GetBitmap(run.frames);
    run.rows.assign(rows, rows + run.frames * bm.GetByteSizePerFrame());
    return run;
}

bool bit(const Feed& run, int words, int frame, int dim) {
    return (run.rows[frame * words + dim / 16] >> (dim % 16)) & 1;
}

TEST(AudioBitmapNotes, MapsFrequenciesToMidiNotes) {
    EXPECT_EQ(69, CAudioBitmap::Freq2Midinote(440.0f));
    EXPECT_EQ(81, CAudioBitmap::Freq2Midinote(880.0f));
    EXPECT_EQ(60, CAudioBitmap::Freq2Midinote(261.63f));
    EXPECT_EQ(69, CAudioBitmap::Freq2Midinote(440.0f * std::pow(2.0f, 0.49f / 12)));
    EXPECT_EQ(70, CAudioBitmap::Freq2Midinote(440.0f * std::pow(2.0f, 0.51f / 12)));
    EXPECT_EQ(-1, CAudioBitmap::Freq2Midinote(0.0f));
    EXPECT_EQ(-1, CAudioBitmap::Freq2Midinote(-440.0f));
    EXPECT_EQ(-1, CAudioBitmap::Freq2Midinote(std::nanf("")));
    EXPECT_FLOAT_EQ(440.0f, CAudioBitmap::Midinote2Freq(69));
    EXPECT_FLOAT_EQ(220.0f, CAudioBitmap::Midinote2Freq(57));
    for (int n = 0; n < 128; ++n) EXPECT_EQ(n, CAudioBitmap::Freq2Midinote(CAudioBitmap::Midinote2Freq(n)));
}

TEST(AudioBitmapNotes, DimensionsPerMappingType) {
    // Notes 60 to 79: 20 dimensions in two words.
    CAudioBitmap notes(2, 255.0f, 800.0f, kFrameLen, kHop, kRate, kBlock, 1.0f, false, 0);
    ASSERT_TRUE(notes.IsSuccess());
    EXPECT_EQ(20u, notes.GetChromaDim());
    EXPECT_EQ(2, notes.GetByteSizePerFrame());
    EXPECT_EQ(60, notes.GetMidiNoteLow());
    EXPECT_EQ(79, notes.GetMidiNoteHigh());

    // One dimension per bin: bins 4 to 31 of 31.25 Hz lie in (100, 1000) Hz.
    CAudioBitmap bins(1, 100.0f, 1000.0f, 256, 128, kRate, kBlock, 1.0f, false, 0);
    ASSERT_TRUE(bins.IsSuccess());
    EXPECT_EQ(28u, bins.GetChromaDim());
    EXPECT_EQ(2, bins.GetByteSizePerFrame());
    EXPECT_EQ(-1, bins.GetFreqNote(3));
    EXPECT_EQ(CAudioBitmap::Freq2Midinote(125.0f), bins.GetFreqNote(4));
    EXPECT_EQ(-1, bins.GetFreqNote(32));

    // Pitch classes; the upper band limit is cut at half the sample rate.
    CAudioBitmap classes(3, 0.0f, 1e6f, kFrameLen, kHop, kRate, kBlock, 1.0f, false, 0);
    ASSERT_TRUE(classes.IsSuccess());
    EXPECT_EQ(12u, classes.GetChromaDim());
    EXPECT_EQ(1, classes.GetByteSizePerFrame());
    EXPECT_EQ(9, classes.GetFreqNote(56));  // 437.5 Hz: A
    EXPECT_EQ(-1, classes.GetFreqNote(0));
    EXPECT_EQ(-1, classes.GetFreqNote(1));  // 7.8 Hz: below MIDI note 0
    for (unsigned j = 2; j < kFrameLen / 2; ++j) {
        EXPECT_GE(classes.GetFreqNote(j), 0) << j;
        EXPECT_LT(classes.GetFreqNote(j), 12) << j;
    }

    // 3.9 Hz bins: bins 1 and 2 lie below MIDI note 0 (8.2 Hz) and stay out; bin 3 is note 6.
    CAudioBitmap low(2, 0.0f, 8000.0f, 4096, 1024, 16000, kBlock, 1.0f, false, 0);
    ASSERT_TRUE(low.IsSuccess());
    EXPECT_EQ(-1, low.GetFreqNote(1));
    EXPECT_EQ(-1, low.GetFreqNote(2));
    EXPECT_EQ(6, low.GetMidiNoteLow());
    EXPECT_EQ(static_cast<unsigned>(low.GetMidiNoteHigh() - 5), low.GetChromaDim());
}

TEST(AudioBitmapConstruction, RefusesConfigurationsItCannotServe) {
    const struct {
        int type;
        float low, high;
        int frame, hop, rate, block;
    } bad[] = {
        {2, 100, 4000, 1000, 256, 8000, 16},   // frame not a power of two
        {2, 100, 4000, 1024, 0, 8000, 16},     // no hop
        {2, 100, 4000, 1024, 256, 0, 16},      // no rate
        {2, 100, 4000, 1024, 256, 8000, 0},    // empty block
        {2, 3000, 2000, 1024, 256, 8000, 16},  // empty band
        {1, 0, 8000, 8192, 1024, 16000, 16},   // 4095 dimensions: more than the threshold table
    };
    for (const auto& c : bad) {
        CAudioBitmap bm(c.type, c.low, c.high, c.frame, c.hop, c.rate, c.block, 1.0f, false, 0);
        EXPECT_FALSE(bm.IsSuccess()) << c.frame << " " << c.hop << " " << c.rate << " " << c.block;
        EXPECT_FALSE(bm.SetDataNum(0));
        EXPECT_EQ(1, bm.ExtractBitmap_Online(1, 1));
        bm.ResetVar();
    }
}

TEST(AudioBitmapConstruction, ThresholdsFollowTheCodingThreshold) {
    const auto make = [](float threshold) {
        // Bins 26 to 2022 of 1.95 Hz: as many dimensions as there are thresholds.
        return std::make_unique<CAudioBitmap>(1, 50.0f, 3950.0f, 4096, 1024, kRate, kBlock, threshold, false,
                                              0);
    };
    const auto bm = make(1.0f);
    ASSERT_TRUE(bm->IsSuccess());
    ASSERT_EQ(1997u, bm->GetChromaDim());
    EXPECT_FALSE(CAudioBitmap(1, 50.0f, 3952.0f, 4096, 1024, kRate, kBlock, 1.0f, false, 0).IsSuccess());
    // Phi(-1) scaled by 0.076 is 0.01206: the first tabulated Phi not below it is at z = -2.25.
    EXPECT_DOUBLE_EQ(2.25, bm->GetThreshold(0));
    for (unsigned i = 1; i < bm->GetChromaDim(); ++i) {
        ASSERT_LE(bm->GetThreshold(i), bm->GetThreshold(i - 1)) << i;
        ASSERT_GE(bm->GetThreshold(i), -3.09) << i;
    }
    EXPECT_GT(bm->GetThreshold(0), make(0.0f)->GetThreshold(0));
    EXPECT_DOUBLE_EQ(3.09, make(10.0f)->GetThreshold(0));
    EXPECT_DOUBLE_EQ(-3.09, make(-10.0f)->GetThreshold(1996));
}

TEST(AudioBitmapPacks, TooFewFramesGiveNoRows) {
    const auto bm = notes_bitmap();
    ASSERT_TRUE(bm->IsSuccess());
    // Shorter than one frame, then 10 frames: both below the 16-frame block.
    Feed run = feed(*bm, tones({440}, 1000.0 / kRate), 1000);
    EXPECT_EQ(1, run.results[0]);
    EXPECT_EQ(-1, run.positions[0]);
    EXPECT_EQ(0, run.frames);

    const auto bm2 = notes_bitmap();
    run = feed(*bm2, tones({440}, (9.0 * kHop + kFrameLen) / kRate), 100000);
    EXPECT_EQ(1, run.results[0]);
    EXPECT_EQ(-1, run.positions[0]);
}

TEST(AudioBitmapPacks, FrameRangesRunOnAcrossPacks) {
    const auto bm = notes_bitmap(kBlock, 8);  // first rows need 16 + 4 frames
    // Packs of 4 frames' worth of samples: frames 0, 4, 8, 13, 17, 21, ... complete.
    const Feed run = feed(*bm, tones({440}, 2.0), 4 * kHop);
    const std::vector<int> expected_results = {1, 1, 1, 1, 1, 0, 0};
    EXPECT_EQ(expected_results, std::vector<int>(run.results.begin(), run.results.begin() + 7));
    EXPECT_EQ(-1, run.positions[4]);
    // Pack 6 has received frames 0..20: rows 0..20 made, rows 0..5 final.
    EXPECT_EQ(0, run.positions[5]);
    EXPECT_EQ(0, run.firsts[5]);
    EXPECT_EQ(20, run.lasts[5]);
    // Pack 7 starts after the last final row and reaches frame 24.
    EXPECT_EQ(6, run.firsts[6]);
    EXPECT_EQ(24, run.lasts[6]);
    EXPECT_EQ((16000 - kFrameLen) / kHop + 1, run.frames);
}

TEST(AudioBitmapPacks, StreamsBeyond312FramesAreRefused) {
    CAudioBitmap bm(2, 100.0f, 4000.0f, 256, 128, kRate, kBlock, 1.0f, false, 0);
    ASSERT_TRUE(bm.IsSuccess());
    ASSERT_EQ(129u * 312u, bm.SampleCapacity());
    EXPECT_FALSE(bm.SetDataNum(129 * 312 + 1));

    const std::vector<short> s = tones({440}, 1.0 * bm.SampleCapacity() / kRate);
    std::copy(s.begin(), s.end(), bm.GetDataPtr());
    // The full buffer holds 313 frames.
    ASSERT_TRUE(bm.SetDataNum(static_cast<unsigned>(s.size())));
    EXPECT_EQ(1, bm.ExtractBitmap_Online(1, 1));
    int frames = -1;
    bm.GetBitmap(frames);
    EXPECT_EQ(0, frames);
    // Exactly 312 frames are accepted.
    ASSERT_TRUE(bm.SetDataNum(311 * 128 + 256));
    EXPECT_EQ(0, bm.ExtractBitmap_Online(1, 1));
    bm.GetBitmap(frames);
    EXPECT_EQ(312, frames);
}

TEST(AudioBitmapBits, ToneFoldsOntoItsOwnDimension) {
    const struct {
        int type;
        float low, high;
        int frame, hop;
        unsigned dim;  // of 440 Hz
    } cases[] = {
        {1, 100, 1000, 256, 128, 14 - 4},  // bin 14 of 31.25 Hz; first bin 4
        {2, 100, 4000, kFrameLen, kHop, 69 - 44},
        {3, 0, 4000, kFrameLen, kHop, 9},
    };
    for (const auto& c : cases) {
        CAudioBitmap bm(c.type, c.low, c.high, c.frame, c.hop, kRate, kBlock, 1.0f, false, 0);
        ASSERT_TRUE(bm.IsSuccess());
        const Feed run = feed(bm, tones({440}, 1.0), kRate);
        ASSERT_EQ(0, run.results.back()) << "type " << c.type;
        for (int f = 0; f < run.frames; ++f) {
            const float* chroma = bm.GetChroma(static_cast<unsigned>(f));
            const auto peak = std::max_element(chroma, chroma + bm.GetChromaDim()) - chroma;
            ASSERT_EQ(c.dim, static_cast<unsigned>(peak)) << "type " << c.type << " frame " << f;
            // Log shares: the peak holds most of the frame's magnitude.
            ASSERT_LT(chroma[peak], 0.0f);
            ASSERT_GT(chroma[peak], std::log(0.2f));
        }
    }
}

TEST(AudioBitmapBits, ToneChangeSetsTheNewNotesBitOnly) {
    const auto bm = notes_bitmap();
    const int words = bm->GetByteSizePerFrame();
    const int change = 2 * kRate / kHop;  // first frame reaching the new tone
    const Feed run = feed(*bm, tones({440, 660}, 2.0), kRate);
    ASSERT_EQ(0, run.results.back());
    const int new_dim = CAudioBitmap::Freq2Midinote(660) - bm->GetMidiNoteLow();
    bool seen = false;
    for (int f = 0; f < run.frames; ++f) {
        if (!bit(run, words, f, new_dim)) continue;
        EXPECT_GE(f, change - 4) << "bit of the new note before the change";
        seen = true;
    }
    EXPECT_TRUE(seen);
}

TEST(AudioBitmapBits, StationaryToneRepeatsItsPattern) {
    const auto bm = notes_bitmap();
    // 440 Hz advances 14.08 periods per hop: the frames repeat every 25 hops.
    const Feed run = feed(*bm, tones({440}, 9.0), kRate);
    const int words = bm->GetByteSizePerFrame();
    ASSERT_GT(run.frames, 250);
    for (int f = kBlock; f + 25 < run.frames - kBlock; ++f) {
        ASSERT_TRUE(std::equal(&run.rows[f * words], &run.rows[(f + 1) * words], &run.rows[(f + 25) * words]))
            << "frame " << f;
    }
}

TEST(AudioBitmapBits, PatternDoesNotDependOnPackSizes) {
    // Steady tones make the block variance a small difference of large sums, so
    // rounding in the sums carried between packs shows here first.
    const std::vector<short> s = tones({440, 660}, 4.5);
    for (int bandwidth : {1, 3}) {
        const auto whole = notes_bitmap();
        const Feed reference = feed(*whole, s, s.size(), bandwidth);
        ASSERT_EQ(0, reference.results.back());
        for (size_t pack : {size_t{kRate}, size_t{3000}, size_t{1000}}) {
            const auto split = notes_bitmap();
            const Feed run = feed(*split, s, pack, bandwidth);
            EXPECT_EQ(reference.frames, run.frames);
            EXPECT_EQ(reference.rows, run.rows) << "pack " << pack << " bandwidth " << bandwidth;
        }
    }
}

TEST(AudioBitmapBits, TwentyDimensionsUseFourBitsOfTheSecondWord) {
    CAudioBitmap bm(2, 255.0f, 800.0f, kFrameLen, kHop, kRate, kBlock, 1.0f, false, 0);
    // Note 62 to note 77 (dimension 17: bit 1 of word 1) and back.
    const Feed run = feed(bm, tones({293.66, 698.46, 293.66}, 2.0), kRate);
    bool seen = false;
    for (int f = 0; f < run.frames; ++f) {
        EXPECT_EQ(0, run.rows[f * 2 + 1] & 0xfff0) << "bit beyond dimension 19 in frame " << f;
        seen |= bit(run, 2, f, 17);
    }
    EXPECT_TRUE(seen);
}

}  // namespace
