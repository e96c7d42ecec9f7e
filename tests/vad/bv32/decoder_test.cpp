// The BV32 decoder against the reference vectors, its concealment of lost frames,
// and an encode-decode round trip of speech.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "tests/vad/bv32/tool_run.h"
#include "vad/bv32/bv32.h"
#include "vad/bv32/bv32dec.h"
#include "vad/bv32/fields.h"
#include "vad/bv32/g192.h"

namespace {

using namespace bv32test;

// Decodes packed frames from a fresh decoder.
std::vector<Word16> decode(const std::vector<uint8_t>& packed) {
    BV32_Decoder_State ds;
    Reset_BV32_Decoder(&ds);
    const size_t frames = packed.size() / 20;
    std::vector<Word16> out(frames * kFrame);
    for (size_t f = 0; f < frames; f++) {
        BV32_Bit_Stream bs;
        BV32_BitUnPack(const_cast<UWord8*>(&packed[f * 20]), &bs);
        BV32_Decode(&bs, &ds, &out[f * kFrame]);
    }
    return out;
}

// Where got first differs from want, or "" when they are equal.
std::string first_difference(const std::vector<Word16>& got, const std::vector<Word16>& want) {
    if (want.empty()) return "no reference samples";
    if (got.size() != want.size())
        return "size " + std::to_string(got.size()) + " != " + std::to_string(want.size());
    size_t i = 0;
    while (i < want.size() && got[i] == want[i]) i++;
    if (i == want.size()) return "";
    return "frame " + std::to_string(i / kFrame) + ", sample " + std::to_string(i % kFrame) + ": " +
           std::to_string(got[i]) + " instead of " + std::to_string(want[i]);
}

// Every vector at once, one decoder per thread: the decoders share nothing (the
// operators' Overflow flag, which the decoder reads, is per thread).
TEST(Bv32Decoder, MatchesTheReferenceSampleForSample) {
    const size_t n = std::size(kVectors);
    std::vector<std::string> diff(n);
    std::vector<std::thread> threads;
    for (size_t v = 0; v < n; v++) {
        threads.emplace_back([&diff, v] {
            const std::string name = kVectors[v];
            diff[v] = first_difference(decode(read_bytes(data_path(name + ".bv32"))),
                                       read_pcm(data_path(name + ".dec.pcm")));
        });
    }
    for (std::thread& t : threads) t.join();
    for (size_t v = 0; v < n; v++) EXPECT_EQ(diff[v], "") << kVectors[v];
}

double energy(const Word16* x, int n) {
    double e = 0;
    for (int i = 0; i < n; i++) e += static_cast<double>(x[i]) * x[i];
    return e;
}

// SNR (dB) of got against want over frames [from, to).
double snr_db(const std::vector<Word16>& got, const std::vector<Word16>& want, size_t from, size_t to) {
    double s = 0, d = 0;
    for (size_t i = from * kFrame; i < to * kFrame; i++) {
        s += static_cast<double>(want[i]) * want[i];
        d += (static_cast<double>(got[i]) - want[i]) * (got[i] - want[i]);
    }
    return 10 * std::log10((s + 1) / (d + 1));
}

TEST(Bv32Decoder, ConcealsBadFramesOfAG192File) {
    const std::vector<uint8_t> file = read_bytes(data_path("speech_en_us.g192"));
    const size_t frames = file.size() / (2 * kG192RecordWords);
    const std::vector<Word16> clean = read_pcm(data_path("speech_en_us.dec.pcm"));
    ASSERT_GE(frames, 330u);
    ASSERT_EQ(clean.size(), frames * kFrame);
    double clean_peak = 0;
    for (size_t f = 0; f < frames; f++) clean_peak = std::max(clean_peak, energy(&clean[f * kFrame], kFrame));

    // Lost frames: the first, a single one, three, and a long run that fades out.
    const struct { size_t first, count; } bursts[] = {{0, 1}, {200, 1}, {150, 3}, {250, 80}};
    for (const auto& b : bursts) {
        SCOPED_TRACE("frames " + std::to_string(b.first) + " + " + std::to_string(b.count));
        std::vector<uint8_t> lossy = file;  // sync word 0x6B20 marks a lost frame
        for (size_t f = b.first; f < b.first + b.count; f++) lossy[f * 2 * kG192RecordWords] = 0x20;
        const std::string path = temp("lossy.g192");
        write_bytes(path, lossy);

        std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), &std::fclose);
        ASSERT_TRUE(in);
        BV32_Decoder_State ds;
        Reset_BV32_Decoder(&ds);
        std::vector<Word16> out(frames * kFrame);
        BV32_Bit_Stream bs;
        for (size_t f = 0; f < frames; f++) {
            ASSERT_EQ(bv32_fread_g192bitstrm(&bs, in.get()), 1);
            ASSERT_EQ(bfi, f >= b.first && f < b.first + b.count ? 1 : 0) << "frame " << f;
            if (bfi) {
                BV32_PLC(&ds, &out[f * kFrame]);
            } else {
                BV32_Decode(&bs, &ds, &out[f * kFrame]);
            }
        }
        // Untouched before the loss; concealment no louder than the loudest speech
        // frame and faded to near silence in a long loss; recovered afterwards.
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + b.first * kFrame, clean.begin()));
        for (size_t f = b.first; f < b.first + b.count; f++) {
            EXPECT_LE(energy(&out[f * kFrame], kFrame), clean_peak) << "frame " << f;
        }
        if (b.count > 40) {
            EXPECT_LE(energy(&out[(b.first + b.count - 1) * kFrame], kFrame), 100.0 * kFrame);
        }
        EXPECT_GT(snr_db(out, clean, b.first + b.count + 20, frames), 15.0);
    }
}

// Random packed frames, index records with fields beyond their widths, and
// concealment in between: every frame decodes, and the sanitizer builds check
// that no table or history is read out of bounds.
TEST(Bv32Decoder, DecodesGarbageWithoutFault) {
    std::mt19937 rng(7);
    BV32_Decoder_State ds;
    Reset_BV32_Decoder(&ds);
    Word16 out[kFrame];
    for (int f = 0; f < 600; f++) {
        BV32_Bit_Stream bs;
        if (f % 3 == 0) {
            UWord8 packed[20];
            for (UWord8& b : packed) b = static_cast<UWord8>(rng());
            BV32_BitUnPack(packed, &bs);
        } else {
            for (int k = 0; k < kFields; k++) *bv32::bitstream_field(&bs, k) = static_cast<Word16>(rng());
        }
        if (f % 7 == 3) {
            BV32_PLC(&ds, out);
        } else {
            BV32_Decode(&bs, &ds, out);
        }
    }
}

// Encoder and decoder in a row: the decoded speech follows the input (segmental
// SNR over 5 ms frames with speech, each frame's SNR limited to -10..35 dB).
TEST(Bv32Decoder, RoundTripOfSpeechKeepsItsWaveform) {
    const std::vector<Word16> pcm = read_pcm(data_path("speech_en_us.pcm"));
    ASSERT_FALSE(pcm.empty());
    BV32_Encoder_State es;
    Reset_BV32_Encoder(&es);
    std::vector<uint8_t> packed(pcm.size() / kFrame * 20);
    std::vector<Word16> input = pcm;
    for (size_t f = 0; f < pcm.size() / kFrame; f++) {
        BV32_Bit_Stream bs;
        BV32_Encode(&bs, &es, &input[f * kFrame]);
        BV32_BitPack(&packed[f * 20], &bs);
    }
    const std::vector<Word16> out = decode(packed);
    double sum = 0;
    int counted = 0;
    for (size_t f = 0; f < out.size() / kFrame; f++) {
        if (energy(&pcm[f * kFrame], kFrame) < kFrame * 100.0 * 100.0) continue;  // below rms 100
        sum += std::clamp(snr_db(out, pcm, f, f + 1), -10.0, 35.0);
        counted++;
    }
    ASSERT_GT(counted, 100);
    EXPECT_GT(sum / counted, 10.0);
}

}  // namespace
