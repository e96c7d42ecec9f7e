// Packed 20-byte frames and G.192 records of index records.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <random>

#include "tests/vad/bv32/bv32_test_data.h"
#include "vad/bv32/bv32.h"
#include "vad/bv32/g192.h"

namespace {

using namespace bv32test;
using Packed = std::array<UWord8, 20>;

constexpr int kWidths[kFields] = {7, 5, 5, 8, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6,
                                  6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6};

Packed pack(const Indices& idx) {
    BV32_Bit_Stream bs = record_of(idx);
    Packed out;
    out.fill(0xAA);
    BV32_BitPack(out.data(), &bs);
    return out;
}

Indices random_indices(std::mt19937& rng) {
    Indices idx{};
    for (int k = 0; k < kFields; k++) idx[k] = static_cast<int>(rng() % (1u << kWidths[k]));
    return idx;
}

TEST(Bv32BitPack, FieldPositionsInThePackedFrame) {
    Indices idx{};
    EXPECT_EQ(pack(idx), Packed{});

    for (int k = 0; k < kFields; k++) idx[k] = (1 << kWidths[k]) - 1;
    Packed ones;
    ones.fill(0xFF);
    EXPECT_EQ(pack(idx), ones);

    Packed want{};
    idx = Indices{};
    idx[0] = 1;  // lspidx[0] = 1: bit 6 of the string
    want[0] = 0x02;
    EXPECT_EQ(pack(idx), want);

    idx = Indices{};
    idx[26] = 1;  // qvidx[19] = 1: the last bit
    want = Packed{};
    want[19] = 0x01;
    EXPECT_EQ(pack(idx), want);

    idx = Indices{};
    idx[3] = 0xA5;  // ppidx starts at bit 17
    want = Packed{};
    want[2] = 0x52;
    want[3] = 0x80;
    EXPECT_EQ(pack(idx), want);
}

TEST(Bv32BitPack, UnpackReturnsEveryInRangeRecord) {
    std::mt19937 rng(11);
    for (int t = 0; t < 2000; t++) {
        const Indices idx = random_indices(rng);
        Packed packed = pack(idx);
        BV32_Bit_Stream back;
        BV32_BitUnPack(packed.data(), &back);
        ASSERT_EQ(fields_of(back), idx);
    }
}

TEST(Bv32BitPack, OnlyTheLowBitsOfAFieldArePacked) {
    Indices idx{};
    idx[4] = 0x7FE0 | 3;  // bqidx: 5 bits
    Indices low{};
    low[4] = 3;
    EXPECT_EQ(pack(idx), pack(low));
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File temp_file_with(const std::vector<Word16>& words) {
    File f(std::tmpfile(), &std::fclose);
    std::fwrite(words.data(), sizeof(Word16), words.size(), f.get());
    std::rewind(f.get());
    return f;
}

std::vector<Word16> record_words(const Indices& idx) {
    File f(std::tmpfile(), &std::fclose);
    BV32_Bit_Stream bs = record_of(idx);
    EXPECT_EQ(bv32_fwrite_g192bitstrm(&bs, f.get()), 162);
    std::rewind(f.get());
    std::vector<Word16> words(162);
    EXPECT_EQ(std::fread(words.data(), sizeof(Word16), words.size(), f.get()), 162u);
    return words;
}

TEST(Bv32G192, BitWordConversion) {
    Word16 bits[8];
    int2bin_16(0xA5, 8, bits);
    const Word16 want[8] = {0x81, 0x7F, 0x81, 0x7F, 0x7F, 0x81, 0x7F, 0x81};
    for (int i = 0; i < 8; i++) EXPECT_EQ(bits[i], want[i]) << i;
    EXPECT_EQ(bin2int_16(8, bits), 0xA5);
    const Word16 odd[3] = {0x81, 0, 0x7E};  // only 0x0081 is a 1
    EXPECT_EQ(bin2int_16(3, odd), 4);
}

TEST(Bv32G192, RecordLayoutAndRoundTrip) {
    std::mt19937 rng(5);
    const Indices idx = random_indices(rng);
    const std::vector<Word16> words = record_words(idx);
    EXPECT_EQ(words[0], 0x6B21);
    EXPECT_EQ(words[1], 160);
    // Bits in packed order: compare with the packed frame.
    const Packed packed = pack(idx);
    for (int bit = 0; bit < 160; bit++) {
        const bool one = (packed[bit / 8] >> (7 - bit % 8)) & 1;
        ASSERT_EQ(words[2 + bit], one ? 0x81 : 0x7F) << "bit " << bit;
    }

    File f = temp_file_with(words);
    BV32_Bit_Stream bs;
    bfi = 1;
    EXPECT_EQ(bv32_fread_g192bitstrm(&bs, f.get()), 1);
    EXPECT_EQ(bfi, 0);
    EXPECT_EQ(fields_of(bs), idx);
}

TEST(Bv32G192, BadSyncWordStillYieldsTheIndices) {
    std::mt19937 rng(6);
    const Indices idx = random_indices(rng);
    std::vector<Word16> words = record_words(idx);
    words[0] = 0x6B20;
    File f = temp_file_with(words);
    BV32_Bit_Stream bs;
    EXPECT_EQ(bv32_fread_g192bitstrm(&bs, f.get()), 1);
    EXPECT_EQ(bfi, 1);
    EXPECT_EQ(fields_of(bs), idx);
}

TEST(Bv32G192, TruncatedRecordAndEndOfFile) {
    Indices idx{};
    for (int k = 0; k < kFields; k++) idx[k] = (1 << kWidths[k]) - 1;
    std::vector<Word16> words = record_words(idx);
    words.resize(2 + 7 + 5);  // sync, length, lspidx[0..1]
    File f = temp_file_with(words);
    BV32_Bit_Stream bs;
    EXPECT_EQ(bv32_fread_g192bitstrm(&bs, f.get()), 1);
    EXPECT_EQ(bfi, 1);
    EXPECT_EQ(bs.lspidx[0], 127);
    EXPECT_EQ(bs.lspidx[1], 31);
    EXPECT_EQ(bs.lspidx[2], 0);  // missing bits read as 0
    EXPECT_EQ(bs.qvidx[19], 0);

    bs.ppidx = 77;
    bfi = 0;
    EXPECT_EQ(bv32_fread_g192bitstrm(&bs, f.get()), 0);
    EXPECT_EQ(bs.ppidx, 77);  // untouched at the end of the file
    EXPECT_EQ(bfi, 0);
}

}  // namespace
