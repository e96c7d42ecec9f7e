// The BV32 decoder against the reference vectors, its concealment of lost frames,
// and an encode-decode round trip of speech.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "support/temp_dir.h"
#include "tests/vad/bv32/bv32_test_data.h"
#include "vad/bv32/bv32.h"
#include "vad/bv32/bv32dec.h"
#include "vad/bv32/g192.h"

namespace {

using namespace bv32test;

// Decodes packed frames from a fresh decoder; lost[f] conceals frame f instead.
std::vector<Word16> decode(const std::vector<uint8_t>& packed, const std::vector<bool>& lost = {}) {
    BV32_Decoder_State ds;
    Reset_BV32_Decoder(&ds);
    const size_t frames = packed.size() / 20;
    std::vector<Word16> out(frames * kFrame);
    for (size_t f = 0; f < frames; f++) {
        if (f < lost.size() && lost[f]) {
            BV32_PLC(&ds, &out[f * kFrame]);
            continue;
        }
        BV32_Bit_Stream bs;
        BV32_BitUnPack(const_cast<UWord8*>(&packed[f * 20]), &bs);
        BV32_Decode(&bs, &ds, &out[f * kFrame]);
    }
    return out;
}

TEST(Bv32Decoder, MatchesTheReferenceSampleForSample) {
    for (const char* name : kVectors) {
        SCOPED_TRACE(name);
        const std::vector<Word16> want = read_pcm(data_path(std::string(name) + ".dec.pcm"));
        const std::vector<uint8_t> packed = read_bytes(data_path(std::string(name) + ".bv32"));
        ASSERT_FALSE(want.empty());
        ASSERT_EQ(packed.size() / 20 * kFrame, want.size());
        const std::vector<Word16> got = decode(packed);
        size_t i = 0;
        while (i < want.size() && got[i] == want[i]) i++;
        EXPECT_EQ(i, want.size()) << "first difference in frame " << i / kFrame << ", sample " << i % kFrame
                                  << ": " << got[i] << " instead of " << want[i];
    }
}

}  // namespace
