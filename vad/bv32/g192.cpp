// G.192 bit-stream records of BV32 frames.
#include "vad/bv32/g192.h"

#include "vad/bv32/bv32cnst.h"
#include "vad/bv32/fields.h"
#include "vad/bv32/tables.h"

static_assert(kG192RecordWords == bv32::G192_NBIT + 2, "record layout");

void int2bin_16(Word16 index, Word16 no_of_bits, Word16* bitstream) {
    for (int pos = no_of_bits - 1; pos >= 0; pos--) {
        bitstream[pos] = (index & 1) ? bv32::G192_BIT_1 : bv32::G192_BIT_0;
        index = static_cast<Word16>(index >> 1);
    }
}

Word16 bin2int_16(Word16 no_of_bits, const Word16* bitstream) {
    Word16 index = 0;
    for (int pos = 0; pos < no_of_bits; pos++) {
        index = static_cast<Word16>(index << 1);
        if (bitstream[pos] == bv32::G192_BIT_1) index++;
    }
    return index;
}

int bv32_fwrite_g192bitstrm(BV32_Bit_Stream* bs, std::FILE* fo) {
    Word16 record[kG192RecordWords];
    record[0] = bv32::G192_SYNC_WORD;
    record[1] = bv32::G192_NBIT;
    Word16* bits = record + 2;
    for (int k = 0; k < bv32::INDICES_PER_FRAME; k++) {
        int2bin_16(*bv32::bitstream_field(bs, k), bv32::bit_table[k], bits);
        bits += bv32::bit_table[k];
    }
    return static_cast<int>(std::fwrite(record, sizeof(Word16), kG192RecordWords, fo));
}

Word16 bv32_unpack_g192_record(const Word16* record, BV32_Bit_Stream* bs) {
    const Word16* bits = record + 2;
    for (int k = 0; k < bv32::INDICES_PER_FRAME; k++) {
        *bv32::bitstream_field(bs, k) = bin2int_16(bv32::bit_table[k], bits);
        bits += bv32::bit_table[k];
    }
    return record[0] == bv32::G192_SYNC_WORD ? 0 : 1;
}

int bv32_fread_g192bitstrm(BV32_Bit_Stream* bs, std::FILE* fi) {
    Word16 record[kG192RecordWords];
    if (std::fread(record, sizeof(Word16), 1, fi) != 1) return 0;
    const std::size_t rest = std::fread(record + 1, sizeof(Word16), kG192RecordWords - 1, fi);
    // Missing words of a truncated record read as 0 bits.
    for (std::size_t i = 1 + rest; i < kG192RecordWords; i++) record[i] = 0;
    const Word16 bad = bv32_unpack_g192_record(record, bs);
    bfi = (bad == 0 && rest == kG192RecordWords - 1) ? 0 : 1;
    return 1;
}
