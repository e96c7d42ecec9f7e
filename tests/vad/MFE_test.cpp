// CMFE's settings, life cycle, input checks and hand-out.
#include "vad/MFE.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "FrontEndTestUtil.h"
#include "vad/bv32/bv32.h"

namespace {

using fetest::kFrame;

TEST(MfeLifecycle, SettingsInitAndStateCodes) {
    CMFE m;
    short x[4] = {1, 2, 3, 4};
    char out[64];
    auto refusedWhenStopped = [&] {
        EXPECT_EQ(m.mfeSendData(x, 4), -102);
        EXPECT_EQ(m.mfeDetect(), -102);
        EXPECT_EQ(m.mfeGetCallbackData(out, 64), -102);
        EXPECT_EQ(m.mfeReset(), -102);
        EXPECT_EQ(m.mfeExit(), -102);
    };
    refusedWhenStopped();
    for (int key : {0, 6, 7, 17, 20, 23}) EXPECT_EQ(m.mfeSetParam(key, 1), -109) << key;
    EXPECT_EQ(m.mfeSetParam(21, 7), 0);
    EXPECT_EQ(m.nModeComb, 1u);
    EXPECT_EQ(m.mfeSetParam(15, -3), 0);
    ASSERT_EQ(m.mfeInit(), 0);
    EXPECT_EQ(m.dThrBias_SpeechIn, -3e-7);
    EXPECT_EQ(m.lBVCurLoc, 4u);
    // In RUN the state check comes first, for known and unknown keys alike.
    EXPECT_EQ(m.mfeSetParam(2, 400), -102);
    EXPECT_EQ(m.mfeSetParam(6, 1), -102);
    EXPECT_EQ(m.mfeInit(), -102);
    EXPECT_EQ(m.mfeSendData(x, 4), 0);
    EXPECT_EQ(m.mfeExit(), 0);
    EXPECT_EQ(m.g_pData, nullptr);
    refusedWhenStopped();
    ASSERT_EQ(m.mfeInit(), 0);  // a new session starts clean
    EXPECT_EQ(m.lSample, 0u);
}

TEST(MfeLifecycle, UnsupportedRatesAndFormatsAreRefused) {
    for (int rate : {0, 7999, 11025, 44100}) {
        CMFE m;
        m.mfeSetParam(13, rate);
        EXPECT_EQ(m.mfeInit(), -109) << rate;
        EXPECT_EQ(m.nCurState, static_cast<DWORD>(UNKNOWN));
    }
    CMFE narrow, wide;
    narrow.mfeSetParam(14, 20);
    EXPECT_EQ(narrow.mfeInit(), -109);
    wide.mfeSetParam(13, 16000);
    wide.mfeSetParam(14, 20);
    EXPECT_EQ(wide.mfeInit(), 0);
}

TEST(MfeInput, BadOverlongAndOverflowingChunksChangeNothing) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
    std::vector<short> x(16001, 5000);  // loud and crossing-free: a click if looked at
    EXPECT_EQ(m.mfeSendData(x.data(), -1), -101);
    EXPECT_EQ(m.mfeSendData(nullptr, 5), -101);
    EXPECT_EQ(m.mfeGetCallbackData(nullptr, 10), -101);
    EXPECT_EQ(m.mfeSendData(x.data(), 16001), -118);
    EXPECT_EQ(m.lSample, 0u);
    EXPECT_EQ(m.nIsFinishFlag, 0u);
    EXPECT_FALSE(m.bInvalidRecModification);
    EXPECT_EQ(x[0], 5000);

    std::vector<short> zero(16000, 0);
    for (int i = 0; i < 30; ++i) ASSERT_EQ(m.mfeSendData(zero.data(), 16000), 0) << i;  // 60 s
    EXPECT_EQ(m.mfeSendData(zero.data(), 1), -108);
    EXPECT_EQ(m.lSample, 480000u);
    ASSERT_EQ(m.mfeReset(), 0);
    EXPECT_EQ(m.lSample, 0u);
    EXPECT_EQ(m.mfeSendData(zero.data(), 1600), 0);
    EXPECT_EQ(m.mfeDetect(), RET_SILENCE);
}

TEST(MfeClick, LoudCrossingFreeFirstChunkAttenuatesTheFirstHalfSecond) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
    // Samples 11 .. n-1 count twice: 753 is just above the limit of 1500.
    std::vector<short> a(1600, 753), b(1600, -1000), c(1600, 1000);
    ASSERT_EQ(m.mfeSendData(a.data(), 1600), 0);
    EXPECT_EQ(a[0], 753 / 128);  // in the caller's buffer too
    EXPECT_EQ(m.g_pData[1599], 5);
    ASSERT_EQ(m.mfeSendData(b.data(), 1600), 0);
    EXPECT_EQ(b[1599], -1000 / 128);
    ASSERT_EQ(m.mfeSendData(c.data(), 1600), 0);
    EXPECT_EQ(c[799], 1000 / 128);  // session sample 3999
    EXPECT_EQ(c[800], 1000);        // sample 4000 is past the 500 ms

    for (bool crossing : {false, true}) {
        CMFE n;
        ASSERT_EQ(fetest::initLikeSdk(n, 8000, true, false), 0);
        std::vector<short> d =
            crossing ? fetest::tone(1600, 20000.0, 440.0, 8000) : std::vector<short>(1600, 752);
        const std::vector<short> copy = d;
        ASSERT_EQ(n.mfeSendData(d.data(), 1600), 0);
        EXPECT_FALSE(n.bInvalidRecModification);
        EXPECT_EQ(d, copy);
    }
}

TEST(MfeKeypad, ShortBeepNearTheStartIsRemovedAndTheSessionAnalysedAgain) {
    for (int rate : {8000, 16000}) {
        SCOPED_TRACE(rate);
        // A 20 ms beep with a triangular envelope at 250 ms, in silence.
        std::vector<short> v(static_cast<size_t>(rate), 0);
        const int centre = rate / 4, half = rate / 100;
        for (int i = centre - half; i < centre + half; ++i) {
            v[i] =
                fetest::clamp16(30000.0 * (1.0 - std::abs(i - centre) / double(half)) * std::sin(i * 1.05));
        }
        CMFE m;
        ASSERT_EQ(fetest::initLikeSdk(m, rate, true, false), 0);
        const int range = rate / 2;
        ASSERT_EQ(m.mfeSendData(v.data(), range - 1), 0);
        m.mfeDetect();
        EXPECT_FALSE(m.bKeypadFiltering);
        EXPECT_GT(m.lVADResultCurLoc, 0u);
        ASSERT_EQ(m.mfeSendData(v.data() + range - 1, rate - range + 1), 0);
        EXPECT_TRUE(m.bKeypadFiltering);
        EXPECT_EQ(m.lVADResultCurLoc, 0u);
        EXPECT_EQ(std::count(m.g_pData, m.g_pData + rate, 0), rate);
        EXPECT_EQ(m.mfeDetect(), RET_SILENCE);
        EXPECT_EQ(fetest::firstSpeechFrame(m), -1);
    }
    // A long loud tone is not a beep.
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
    std::vector<short> v(8000, 0);
    const std::vector<short> t = fetest::tone(2400, 25000.0, 941.0, 8000);
    std::copy(t.begin(), t.end(), v.begin() + 1000);
    ASSERT_EQ(m.mfeSendData(v.data(), 8000), 0);
    EXPECT_TRUE(m.bKeypadFiltering);
    EXPECT_TRUE(std::equal(v.begin(), v.end(), m.g_pData));
}

TEST(MfePcm, DetectionOffHandsOutAllAudioInWholeUnitsBehindOneHeader) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, false, false), 0);
    const std::vector<short> x = fetest::noise(2000, 1000.0, 0.0, 3);
    std::vector<char> out(32000);
    const short* got = reinterpret_cast<short*>(out.data());
    ASSERT_EQ(m.mfeSendData(const_cast<short*>(x.data()), 1000), 0);
    EXPECT_EQ(m.mfeDetect(), RET_SILENCE_TO_SPEECH);
    EXPECT_EQ(m.mfeGetCallbackData(out.data(), 2 * 960 + 3), -1);
    ASSERT_EQ(m.mfeGetCallbackData(out.data(), 32000), 2 * 960 + 4);
    EXPECT_EQ(std::vector<char>(out.begin(), out.begin() + 4), std::vector<char>({1, 0, 0, 0}));
    EXPECT_TRUE(std::equal(x.begin(), x.begin() + 960, got + 2));
    ASSERT_EQ(m.mfeSendData(const_cast<short*>(x.data()) + 1000, 1000), 0);
    EXPECT_EQ(m.mfeGetCallbackData(out.data(), 100), -1);
    ASSERT_EQ(m.mfeGetCallbackData(out.data(), 32000), 2 * 1040);  // samples 960 .. 1999
    EXPECT_EQ(got[0], x[960]);
    ASSERT_EQ(m.mfeSendData(nullptr, 0), 0);
    EXPECT_EQ(m.mfeDetect(), RET_SPEECH_TO_SILENCE);

    CMFE w;
    ASSERT_EQ(fetest::initLikeSdk(w, 16000, false, false), 0);
    ASSERT_EQ(w.mfeSendData(const_cast<short*>(x.data()), 160), 0);
    ASSERT_EQ(w.mfeGetCallbackData(out.data(), 32000), 324);
    EXPECT_EQ(out[0], 5);
}

// Packed BV32 frames of x from a freshly reset encoder.
std::vector<char> encode(const std::vector<short>& x) {
    BV32_Encoder_State* st = allocEncoderState(0, 0);
    BV32_Bit_Stream* bs = allocBitStream(0, 0);
    Reset_BV32_Encoder(st);
    std::vector<char> out;
    UWord8 packed[20];
    for (size_t k = 0; k + 80 <= x.size(); k += 80) {
        std::vector<Word16> f(x.begin() + k, x.begin() + k + 80);
        BV32_Encode(bs, st, f.data());
        BV32_BitPack(packed, bs);
        out.insert(out.end(), packed, packed + 20);
    }
    deallocEncoderState(st, 0, 0);
    deallocBitStream(bs, 0, 0);
    return out;
}

// Whole stream of a detection-off session fed in `chunk`-sample pieces.
std::vector<char> passThrough(int rate, int format, const std::vector<short>& x, size_t chunk) {
    CMFE m;
    m.mfeSetParam(11, 0);
    m.mfeSetParam(13, rate);
    m.mfeSetParam(14, format);
    m.mfeSetParam(5, 60);
    EXPECT_EQ(m.mfeInit(), 0);
    std::vector<char> stream, out(32000);
    for (size_t pos = 0; pos < x.size(); pos += chunk) {
        const int n = static_cast<int>(std::min(chunk, x.size() - pos));
        EXPECT_EQ(m.mfeSendData(const_cast<short*>(x.data()) + pos, n), 0);
        const int got = m.mfeGetCallbackData(out.data(), 32000);
        stream.insert(stream.end(), out.begin(), out.begin() + std::max(got, 0));
    }
    return stream;
}

TEST(MfeCompressed, HeaderThenTheEncodersFramesOfTheReferenceVector) {
    const std::vector<short> x = fetest::loadPcm(vela_test::testDataPath("bv32/speech_en_us.pcm"));
    const std::string file = vela_test::testData("bv32/speech_en_us.bv32");
    const std::vector<char> packed(file.begin(), file.end());
    ASSERT_FALSE(x.empty() || packed.empty());
    const std::vector<char> stream = passThrough(16000, 4, x, 1600);
    ASSERT_EQ(stream.size(), 4 + packed.size());
    EXPECT_EQ(std::vector<char>(stream.begin(), stream.begin() + 4), std::vector<char>({4, 0, 0, 0}));
    EXPECT_TRUE(std::equal(packed.begin(), packed.end(), stream.begin() + 4));
}

TEST(MfeCompressed, FormatByteAndOtherFormatsHandOutTheHeaderOnly) {
    const std::vector<short> x(800, 100);
    const int cases[][3] = {{8000, 0, 0}, {8000, 7, 7},  {8000, 68, 68},
                            {8000, 9, 1}, {16000, 9, 5}, {16000, 20, 20}};
    for (const auto& c : cases) {
        const std::vector<char> s = passThrough(c[0], c[1], x, 400);
        const bool bv32 = c[1] == 0 || c[1] == 4;
        ASSERT_EQ(s.size(), bv32 ? 4u + 10 * 20 : 4u) << c[1];
        EXPECT_EQ(static_cast<unsigned char>(s[0]), c[2]);
        EXPECT_EQ(s[1] | s[2] | s[3], 0);
    }
}

TEST(MfeCompressed, FullStoreOfSpeechIsEncodedCompletely) {
    const std::vector<short> x = fetest::noise(480000, 4000.0, 0.6, 8);  // 60 s
    const std::vector<char> s = passThrough(8000, 0, x, 16000);
    ASSERT_EQ(s.size(), 4u + 6000u * 20u);
    EXPECT_TRUE(std::equal(s.begin() + 4, s.end(), encode(x).begin()));
}

TEST(MfeCompressed, TooSmallBufferKeepsFramesForALaterCallExactlyOnce) {
    const std::vector<short> x = fetest::noise(4800, 4000.0, 0.6, 8);
    const std::vector<char> ref = encode(x);
    std::vector<char> out(32000);
    for (bool moreAudioFirst : {false, true}) {
        CMFE m;
        ASSERT_EQ(fetest::initLikeSdk(m, 16000, false, true), 0);
        ASSERT_EQ(m.mfeSendData(const_cast<short*>(x.data()), 1600), 0);
        EXPECT_EQ(m.mfeGetCallbackData(out.data(), 100), -1);
        EXPECT_EQ(m.mfeGetCallbackData(out.data(), 100), -1);
        size_t frames = 20;
        if (moreAudioFirst) {
            ASSERT_EQ(m.mfeSendData(const_cast<short*>(x.data()) + 1600, 3200), 0);
            m.mfeDetect();
            frames = 60;
        }
        ASSERT_EQ(m.mfeGetCallbackData(out.data(), 32000), static_cast<int>(4 + 20 * frames));
        EXPECT_TRUE(std::equal(ref.begin(), ref.begin() + 20 * frames, out.begin() + 4));
        EXPECT_EQ(m.mfeGetCallbackData(out.data(), 32000), 0);
    }
}

TEST(MfeConcurrency, FetchingOnAnotherThreadLosesAndRepeatsNothing) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, false, false), 0);
    const std::vector<short> x = fetest::noise(40 * 1600, 1000.0, 0.0, 6);
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (size_t pos = 0; pos < x.size(); pos += 1600) {
            EXPECT_EQ(m.mfeSendData(const_cast<short*>(x.data()) + pos, 1600), 0);
            EXPECT_EQ(m.mfeDetect(), RET_SILENCE_TO_SPEECH);
        }
        done = true;
    });
    std::vector<char> stream, out(32000);
    auto fetch = [&] {
        const int n = m.mfeGetCallbackData(out.data(), 32000);
        EXPECT_GE(n, 0);
        stream.insert(stream.end(), out.begin(), out.begin() + std::max(n, 0));
    };
    while (!done) fetch();
    producer.join();
    fetch();
    ASSERT_EQ(stream.size(), 4 + 2 * x.size());
    EXPECT_TRUE(std::equal(x.begin(), x.end(), reinterpret_cast<const short*>(stream.data() + 4)));
}

}  // namespace
