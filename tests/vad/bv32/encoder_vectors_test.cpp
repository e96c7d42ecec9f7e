// The encoder, packer and G.192 writer/reader against the reference vectors.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "tests/vad/bv32/bv32_test_data.h"
#include "vad/bv32/bv32.h"
#include "vad/bv32/g192.h"

namespace {

using namespace bv32test;

struct Reference {
    std::vector<Word16> pcm;
    std::vector<Indices> indices;
    std::vector<uint8_t> packed;
    std::vector<uint8_t> g192;
};

Reference load(const std::string& name) {
    return {read_pcm(data_path(name + ".pcm")), read_indices(data_path(name + ".idx.txt")),
            read_bytes(data_path(name + ".bv32")), read_bytes(data_path(name + ".g192"))};
}

// Encodes pcm from a fresh encoder; the input must not change.
std::vector<BV32_Bit_Stream> encode(const std::vector<Word16>& pcm) {
    BV32_Encoder_State state;
    Reset_BV32_Encoder(&state);
    std::vector<BV32_Bit_Stream> out(pcm.size() / kFrame);
    std::vector<Word16> input = pcm;
    for (size_t f = 0; f < out.size(); f++) BV32_Encode(&out[f], &state, &input[f * kFrame]);
    EXPECT_EQ(input, pcm) << "BV32_Encode modified its input";
    return out;
}

// First differing frame and field, or "" when all match.
std::string first_difference(const std::vector<BV32_Bit_Stream>& got, const std::vector<Indices>& want) {
    if (got.size() != want.size())
        return "frame count " + std::to_string(got.size()) + " vs " + std::to_string(want.size());
    for (size_t f = 0; f < got.size(); f++) {
        const Indices g = fields_of(got[f]);
        for (int k = 0; k < kFields; k++) {
            if (g[k] != want[f][k]) {
                return "frame " + std::to_string(f) + " field " + field_name(k) + ": got " +
                       std::to_string(g[k]) + ", expected " + std::to_string(want[f][k]);
            }
        }
    }
    return "";
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

std::vector<uint8_t> file_contents(std::FILE* f) {
    std::vector<uint8_t> bytes;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    return bytes;
}

class Bv32Vectors : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        ref_ = load(GetParam());
        ASSERT_FALSE(ref_.pcm.empty()) << "missing " << data_path(std::string(GetParam()) + ".pcm");
        ASSERT_EQ(ref_.pcm.size() % kFrame, 0u);
        ASSERT_EQ(ref_.indices.size(), ref_.pcm.size() / kFrame);
    }
    Reference ref_;
};

TEST_P(Bv32Vectors, EncodesEveryFrameBitExactlyAndPacksIt) {
    const std::vector<BV32_Bit_Stream> frames = encode(ref_.pcm);
    const std::string diff = first_difference(frames, ref_.indices);
    ASSERT_EQ(diff, "");

    ASSERT_EQ(ref_.packed.size(), frames.size() * 20);
    for (size_t f = 0; f < frames.size(); f++) {
        BV32_Bit_Stream bs = frames[f];
        UWord8 packed[20];
        BV32_BitPack(packed, &bs);
        ASSERT_EQ(0, std::memcmp(packed, &ref_.packed[f * 20], 20)) << "packed frame " << f;
        BV32_Bit_Stream back;
        BV32_BitUnPack(&ref_.packed[f * 20], &back);
        ASSERT_EQ(fields_of(back), ref_.indices[f]) << "unpacked frame " << f;
    }
}

TEST_P(Bv32Vectors, G192WriterAndReaderMatchTheReferenceFile) {
    File file(std::tmpfile(), &std::fclose);
    ASSERT_TRUE(file);
    for (const Indices& idx : ref_.indices) {
        BV32_Bit_Stream bs = record_of(idx);
        ASSERT_EQ(bv32_fwrite_g192bitstrm(&bs, file.get()), 162);
    }
    ASSERT_EQ(file_contents(file.get()), ref_.g192);

    std::rewind(file.get());
    for (size_t f = 0; f < ref_.indices.size(); f++) {
        BV32_Bit_Stream bs;
        bfi = 1;
        ASSERT_EQ(bv32_fread_g192bitstrm(&bs, file.get()), 1) << "frame " << f;
        EXPECT_EQ(bfi, 0) << "frame " << f;
        ASSERT_EQ(fields_of(bs), ref_.indices[f]) << "frame " << f;
    }
    BV32_Bit_Stream bs;
    EXPECT_EQ(bv32_fread_g192bitstrm(&bs, file.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(AllVectors, Bv32Vectors, ::testing::ValuesIn(kVectors),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

// Two encoders on two threads at once (the TSan build checks for races); each
// must still produce its vector exactly.
TEST(Bv32Threads, TwoEncodersOnTwoThreadsStayBitExact) {
    const Reference a = load("speech_en_us");
    const Reference b = load("square_clip_1s");
    ASSERT_FALSE(a.pcm.empty());
    ASSERT_FALSE(b.pcm.empty());
    std::string diff_a = "not run", diff_b = "not run";
    std::thread ta([&] { diff_a = first_difference(encode(a.pcm), a.indices); });
    std::thread tb([&] {
        for (int pass = 0; pass < 3; pass++) diff_b = first_difference(encode(b.pcm), b.indices);
    });
    ta.join();
    tb.join();
    EXPECT_EQ(diff_a, "");
    EXPECT_EQ(diff_b, "");
}

}  // namespace
