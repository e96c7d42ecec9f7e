// CMFE's settings, life cycle, input checks and data path.
#include "vad/MFE.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "FrontEndTestUtil.h"
#include "vad/bv32/bv32.h"

namespace {

using fetest::kFrame;

TEST(MfeLifecycle, SettingsAreOnlyTakenBeforeInit) {
    CMFE m;
    for (int key : {0, 6, 7, 17, 18, 19, 20, 23, -1}) EXPECT_EQ(m.mfeSetParam(key, 1), -109) << key;
    EXPECT_EQ(m.mfeSetParam(2, 400), 0);
    EXPECT_EQ(m.mfeSetParam(21, 7), 0);
    EXPECT_EQ(m.nModeComb, 1u);
    EXPECT_EQ(m.mfeSetParam(15, -3), 0);
    EXPECT_EQ(m.dThrBias_SpeechIn_Init, -3.0);
    ASSERT_EQ(m.mfeInit(), 0);
    EXPECT_EQ(m.nCurState, static_cast<DWORD>(RUN));
    EXPECT_EQ(m.dThrBias_SpeechIn, -3e-7);
    // The state check comes first: known and unknown keys alike.
    EXPECT_EQ(m.mfeSetParam(2, 400), -102);
    EXPECT_EQ(m.mfeSetParam(6, 1), -102);
    EXPECT_EQ(m.mfeInit(), -102);
}

TEST(MfeLifecycle, InitRefusesUnsupportedRatesAndFormats) {
    for (int rate : {0, 11025, 22050, 44100, 7999}) {
        CMFE m;
        m.mfeSetParam(13, rate);
        EXPECT_EQ(m.mfeInit(), -109) << rate;
        EXPECT_EQ(m.nCurState, static_cast<DWORD>(UNKNOWN));
        EXPECT_EQ(m.g_pData, nullptr);
    }
    CMFE narrow;
    narrow.mfeSetParam(14, 20);
    EXPECT_EQ(narrow.mfeInit(), -109);
    CMFE wide;
    wide.mfeSetParam(13, 16000);
    wide.mfeSetParam(14, 20);
    EXPECT_EQ(wide.mfeInit(), 0);
}

TEST(MfeLifecycle, DataOperationsNeedARunningEngine) {
    CMFE m;
    short x[4] = {1, 2, 3, 4};
    char out[64];
    auto allRefused = [&] {
        EXPECT_EQ(m.mfeSendData(x, 4), -102);
        EXPECT_EQ(m.mfeDetect(), -102);
        EXPECT_EQ(m.mfeGetCallbackData(out, 64), -102);
        EXPECT_EQ(m.mfeReset(), -102);
        EXPECT_EQ(m.mfeExit(), -102);
    };
    allRefused();
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, true), 0);
    EXPECT_EQ(m.lBVCurLoc, 4u);
    EXPECT_EQ(m.nSpeechEncLength, 80u);
    EXPECT_EQ(m.mfeSendData(x, 4), 0);
    EXPECT_EQ(m.mfeExit(), 0);
    EXPECT_EQ(m.g_pData, nullptr);
    EXPECT_EQ(m.nCurState, static_cast<DWORD>(UNKNOWN));
    allRefused();
    // Settings are accepted again and a new session starts clean.
    EXPECT_EQ(m.mfeSetParam(12, 0), 0);
    ASSERT_EQ(m.mfeInit(), 0);
    EXPECT_EQ(m.lSample, 0u);
    EXPECT_EQ(m.mfeSendData(x, 4), 0);
}

TEST(MfeLifecycle, WorkingParametersAtBothRates) {
    CMFE n;
    ASSERT_EQ(fetest::initLikeSdk(n, 8000, true, true), 0);
    EXPECT_EQ(n.nMax_Wait_Duration, 250u);
    EXPECT_EQ(n.nMax_Speech_Pause, 15u);
    EXPECT_EQ(n.nPossible_Speech_Pause, 2u);
    EXPECT_DOUBLE_EQ(n.dThrBias_SpeechOut, 5e-7);
    CMFE w;
    ASSERT_EQ(fetest::initLikeSdk(w, 16000, true, true), 0);
    EXPECT_EQ(w.nMax_Wait_Duration, 500u);
    EXPECT_EQ(w.nMax_Speech_Duration, 800u);
    EXPECT_EQ(w.nMax_Speech_Pause, 30u);
    EXPECT_EQ(w.nMin_Speech_Duration, 10u);
    EXPECT_EQ(w.nPossible_Speech_Pause, 4u);
    EXPECT_EQ(w.nIn_Speech_Threshold, 8);
    EXPECT_EQ(w.g_pBVData[0], 4);
    for (int i = 0; i <= 8; ++i) EXPECT_EQ(w.g_ppMFEDataSpace[1][i], 32.0 * i);
}

TEST(MfeInput, BadArgumentsAreRefusedAndChangeNothing) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
    std::vector<short> x(1600, 100);
    ASSERT_EQ(m.mfeSendData(x.data(), 1600), 0);
    EXPECT_EQ(m.mfeSendData(x.data(), -1), -101);
    EXPECT_EQ(m.mfeSendData(nullptr, 5), -101);
    EXPECT_EQ(m.mfeGetCallbackData(nullptr, 10), -101);
    EXPECT_EQ(m.lSample, 1600u);
    EXPECT_EQ(m.nIsFinishFlag, 0u);
    EXPECT_EQ(m.nVADCurState, static_cast<DWORD>(SILENCE));
}

TEST(MfeInput, OverlongChunkIsRefusedUntouched) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
    // Loud and crossing-free: it would arm the click attenuation if looked at.
    std::vector<short> big(16001, 5000);
    EXPECT_EQ(m.mfeSendData(big.data(), 16001), -118);
    EXPECT_EQ(m.lSample, 0u);
    EXPECT_FALSE(m.bInvalidRecModification);
    EXPECT_EQ(big[0], 5000);
    std::vector<short> ok = fetest::noise(16000, 1000.0, 0.0, 1);
    EXPECT_EQ(m.mfeSendData(ok.data(), 16000), 0);
    EXPECT_EQ(m.lSample, 16000u);
}

TEST(MfeInput, FullStoreRefusesThenResetStartsOver) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
    std::vector<short> chunk(16000, 0);
    for (int i = 0; i < 30; ++i) ASSERT_EQ(m.mfeSendData(chunk.data(), 16000), 0) << i;  // 60 s
    EXPECT_EQ(m.lSample, 480000u);
    EXPECT_EQ(m.mfeSendData(chunk.data(), 1), -108);
    EXPECT_EQ(m.lSample, 480000u);
    ASSERT_EQ(m.mfeReset(), 0);
    EXPECT_EQ(m.lSample, 0u);
    EXPECT_EQ(m.nVADCurState, static_cast<DWORD>(SILENCE));
    EXPECT_EQ(m.mfeSendData(chunk.data(), 1600), 0);
    EXPECT_EQ(m.mfeDetect(), RET_SILENCE);
}

TEST(MfeClick, LoudCrossingFreeFirstChunkAttenuatesTheFirstHalfSecond) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
    // Samples 11 .. n-1 count twice: 753 is just above the limit of 1500.
    std::vector<short> a(1600, 753);
    ASSERT_EQ(m.mfeSendData(a.data(), 1600), 0);
    EXPECT_TRUE(m.bInvalidRecModification);
    EXPECT_EQ(a[0], 753 / 128);  // the caller's buffer is changed too
    EXPECT_EQ(m.g_pData[1599], 5);
    std::vector<short> b(1600, -1000);
    ASSERT_EQ(m.mfeSendData(b.data(), 1600), 0);
    EXPECT_EQ(b[1599], -1000 / 128);
    std::vector<short> c(1600, 1000);
    ASSERT_EQ(m.mfeSendData(c.data(), 1600), 0);
    EXPECT_EQ(c[799], 1000 / 128);  // sample 3999 of the session
    EXPECT_EQ(c[800], 1000);        // sample 4000 is past the 500 ms
    EXPECT_EQ(m.g_pData[4000], 1000);
}

TEST(MfeClick, OrdinaryFirstChunksAreLeftAlone) {
    {
        CMFE m;
        ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
        std::vector<short> a(1600, 752);
        ASSERT_EQ(m.mfeSendData(a.data(), 1600), 0);
        EXPECT_FALSE(m.bInvalidRecModification);
        EXPECT_EQ(a[100], 752);
    }
    {
        CMFE m;  // loud but crossing: a tone
        ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
        std::vector<short> t = fetest::tone(1600, 20000.0, 440.0, 8000);
        const std::vector<short> copy = t;
        ASSERT_EQ(m.mfeSendData(t.data(), 1600), 0);
        EXPECT_FALSE(m.bInvalidRecModification);
        EXPECT_EQ(t, copy);
    }
    {
        CMFE m;  // detection off: no check
        ASSERT_EQ(fetest::initLikeSdk(m, 8000, false, false), 0);
        std::vector<short> a(1600, 5000);
        ASSERT_EQ(m.mfeSendData(a.data(), 1600), 0);
        EXPECT_EQ(a[0], 5000);
    }
}

// A 20 ms beep with a rising and falling envelope at `centre`, in silence.
std::vector<short> beepSession(int rate, size_t centre, size_t total) {
    std::vector<short> v(total, 0);
    const size_t half = static_cast<size_t>(rate) / 100;
    for (size_t i = centre - half; i < centre + half; ++i) {
        const double env = 1.0 - std::fabs(static_cast<double>(i) - static_cast<double>(centre)) / half;
        v[i] = fetest::clamp16(30000.0 * env * std::sin(2.0 * M_PI * 1336.0 * i / rate));
    }
    return v;
}

TEST(MfeKeypad, ShortBeepNearTheStartIsRemovedOnce) {
    for (int rate : {8000, 16000}) {
        SCOPED_TRACE(rate);
        CMFE m;
        ASSERT_EQ(fetest::initLikeSdk(m, rate, true, false), 0);
        const size_t centre = static_cast<size_t>(rate) / 4;  // 250 ms
        std::vector<short> v = beepSession(rate, centre, static_cast<size_t>(rate));
        const size_t range = static_cast<size_t>(rate) / 2;
        // Before the first 500 ms are in, nothing is changed.
        ASSERT_EQ(m.mfeSendData(v.data(), static_cast<int>(range - 1)), 0);
        EXPECT_FALSE(m.bKeypadFiltering);
        m.mfeDetect();
        EXPECT_GT(m.lVADResultCurLoc, 0u);
        ASSERT_EQ(m.mfeSendData(v.data() + range - 1, static_cast<int>(v.size() - range + 1)), 0);
        EXPECT_TRUE(m.bKeypadFiltering);
        EXPECT_EQ(m.lVADResultCurLoc, 0u);  // the session is analysed again
        for (size_t i = 0; i < v.size(); ++i) ASSERT_EQ(m.g_pData[i], 0) << i;
        // Analysed again from frame 0, the cleaned session holds no speech.
        EXPECT_EQ(m.mfeDetect(), RET_SILENCE);
        for (uint64_t f = 0; f < m.lVADResultCurLoc; ++f) EXPECT_EQ(m.g_pVADResult[f], 0) << f;
    }
}

TEST(MfeKeypad, LongToneIsNotABeep) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
    std::vector<short> v(8000, 0);
    const std::vector<short> t = fetest::tone(2400, 25000.0, 941.0, 8000);
    std::copy(t.begin(), t.end(), v.begin() + 1000);
    ASSERT_EQ(m.mfeSendData(v.data(), 8000), 0);
    EXPECT_TRUE(m.bKeypadFiltering);
    EXPECT_TRUE(std::equal(v.begin(), v.end(), m.g_pData));
}

TEST(MfePassThrough, DetectionOffHandsOutAllAudioInWholeUnits) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, false, false), 0);
    std::vector<short> x = fetest::noise(2000, 1000.0, 0.0, 3);
    std::vector<char> out(32000);
    ASSERT_EQ(m.mfeSendData(x.data(), 1000), 0);
    EXPECT_EQ(m.mfeDetect(), RET_SILENCE_TO_SPEECH);
    // 960 samples behind the PCM header [1, 0, 0, 0].
    ASSERT_EQ(m.mfeGetCallbackData(out.data(), 32000), 2 * 960 + 4);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1] | out[2] | out[3], 0);
    EXPECT_TRUE(std::equal(x.begin(), x.begin() + 960, reinterpret_cast<short*>(out.data() + 4)));
    ASSERT_EQ(m.mfeSendData(x.data() + 1000, 100), 0);
    EXPECT_EQ(m.mfeDetect(), RET_SILENCE_TO_SPEECH);
    ASSERT_EQ(m.mfeGetCallbackData(out.data(), 32000), 160);  // samples 960 .. 1039
    EXPECT_EQ(reinterpret_cast<short*>(out.data())[0], x[960]);
    // Too small a buffer: -1, and the same data on the next call.
    ASSERT_EQ(m.mfeSendData(x.data() + 1100, 900), 0);
    EXPECT_EQ(m.mfeGetCallbackData(out.data(), 100), -1);
    ASSERT_EQ(m.mfeGetCallbackData(out.data(), 32000), 1920);
    EXPECT_EQ(reinterpret_cast<short*>(out.data())[0], x[1040]);
    // End of input: detection off answers 2 from now on.
    ASSERT_EQ(m.mfeSendData(nullptr, 0), 0);
    EXPECT_TRUE(m.isSilence);
    EXPECT_EQ(m.mfeDetect(), RET_SPEECH_TO_SILENCE);
    EXPECT_EQ(m.mfeDetect(), RET_SPEECH_TO_SILENCE);
}

TEST(MfePassThrough, PcmHeaderAtSixteenKilohertz) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 16000, false, false), 0);
    std::vector<short> x(160, 9);
    std::vector<char> out(400);
    ASSERT_EQ(m.mfeSendData(x.data(), 160), 0);
    EXPECT_EQ(m.mfeGetCallbackData(out.data(), 323), -1);  // needs n + 4 = 324
    ASSERT_EQ(m.mfeGetCallbackData(out.data(), 324), 324);
    EXPECT_EQ(out[0], 5);
}

// Packed BV32 frames of x (whole 80-sample frames) from a freshly reset encoder.
std::vector<char> encodeReference(const short* x, size_t n) {
    BV32_Encoder_State* st = allocEncoderState(0, 0);
    BV32_Bit_Stream* b = allocBitStream(0, 0);
    Reset_BV32_Encoder(st);
    std::vector<char> out;
    UWord8 packed[20];
    for (size_t k = 0; k + 80 <= n; k += 80) {
        std::vector<Word16> frame(x + k, x + k + 80);
        BV32_Encode(b, st, frame.data());
        BV32_BitPack(packed, b);
        out.insert(out.end(), packed, packed + 20);
    }
    deallocEncoderState(st, 0, 0);
    deallocBitStream(b, 0, 0);
    return out;
}

TEST(MfeCompressed, StreamHeaderFollowsTheFormatCode) {
    struct Case {
        int rate, format, expect;
    };
    const Case cases[] = {{8000, 0, 0}, {16000, 4, 4}, {8000, 7, 7},    {8000, 68, 68},
                          {8000, 9, 1}, {16000, 9, 5}, {16000, 20, 20}, {8000, 1, 1}};
    for (const Case& c : cases) {
        CMFE m;
        m.mfeSetParam(11, 0);
        m.mfeSetParam(13, c.rate);
        m.mfeSetParam(14, c.format);
        ASSERT_EQ(m.mfeInit(), 0);
        std::vector<short> x(400, 100);
        std::vector<char> out(32000);
        ASSERT_EQ(m.mfeSendData(x.data(), 400), 0);
        const int n = m.mfeGetCallbackData(out.data(), 32000);
        const bool bv32 = c.format == 0 || c.format == 4;
        // Other formats hand out the header and nothing else.
        ASSERT_EQ(n, bv32 ? 4 + 5 * 20 : 4) << c.format;
        EXPECT_EQ(static_cast<unsigned char>(out[0]), c.expect);
        EXPECT_EQ(out[1] | out[2] | out[3], 0);
        ASSERT_EQ(m.mfeSendData(x.data(), 400), 0);
        EXPECT_EQ(m.mfeGetCallbackData(out.data(), 32000), bv32 ? 100 : 0);
    }
}

TEST(MfeCompressed, FramesEqualTheEncoderOutputAndFillTheWholeStore) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, false, true), 0);
    // 60 s of audio: a full store encodes completely, header included.
    const std::vector<short> x = fetest::noise(480000, 4000.0, 0.6, 8);
    std::vector<char> stream;
    std::vector<char> out(32000);
    for (size_t pos = 0; pos < x.size(); pos += 16000) {
        ASSERT_EQ(m.mfeSendData(const_cast<short*>(x.data()) + pos, 16000), 0);
        const int n = m.mfeGetCallbackData(out.data(), 32000);
        ASSERT_GT(n, 0);
        stream.insert(stream.end(), out.begin(), out.begin() + n);
    }
    ASSERT_EQ(stream.size(), 4u + 6000u * 20u);
    EXPECT_EQ(m.lBVCurLoc, 4u + 6000u * 20u);
    EXPECT_EQ(stream[0], 0);
    const std::vector<char> ref = encodeReference(x.data(), x.size());
    EXPECT_TRUE(std::equal(ref.begin(), ref.end(), stream.begin() + 4));
}

TEST(MfeCompressed, TooSmallBufferKeepsFramesForTheNextCallExactlyOnce) {
    const std::vector<short> x = fetest::noise(4800, 4000.0, 0.6, 8);
    const std::vector<char> ref = encodeReference(x.data(), x.size());
    std::vector<char> out(32000);

    // Retried at once with enough room.
    CMFE a;
    ASSERT_EQ(fetest::initLikeSdk(a, 16000, false, true), 0);
    ASSERT_EQ(a.mfeSendData(const_cast<short*>(x.data()), 1600), 0);
    EXPECT_EQ(a.mfeGetCallbackData(out.data(), 100), -1);
    EXPECT_EQ(a.mfeGetCallbackData(out.data(), 100), -1);
    ASSERT_EQ(a.mfeGetCallbackData(out.data(), 32000), 4 + 20 * 20);
    EXPECT_TRUE(std::equal(ref.begin(), ref.begin() + 400, out.begin() + 4));
    EXPECT_EQ(a.mfeGetCallbackData(out.data(), 32000), 0);

    // Or after more audio has come in: old and new frames, in order, once.
    CMFE b;
    ASSERT_EQ(fetest::initLikeSdk(b, 16000, false, true), 0);
    ASSERT_EQ(b.mfeSendData(const_cast<short*>(x.data()), 1600), 0);
    EXPECT_EQ(b.mfeGetCallbackData(out.data(), 100), -1);
    ASSERT_EQ(b.mfeSendData(const_cast<short*>(x.data()) + 1600, 3200), 0);
    EXPECT_EQ(b.mfeDetect(), RET_SILENCE_TO_SPEECH);
    ASSERT_EQ(b.mfeGetCallbackData(out.data(), 32000), 4 + 60 * 20);
    EXPECT_TRUE(std::equal(ref.begin(), ref.end(), out.begin() + 4));
}

}  // namespace
