// BV32_BitPack and BV32_BitUnPack: the 27 indices of a frame as one 160-bit string,
// fields in record order, each most significant bit first, filling byte 0 first.
#include "vad/bv32/bv32.h"
#include "vad/bv32/bv32cnst.h"
#include "vad/bv32/fields.h"
#include "vad/bv32/tables.h"

void BV32_BitPack(UWord8* PackedStream, BV32_Bit_Stream* BitStruct) {
    UWord32 acc = 0;  // pending bits, right-aligned
    int nbits = 0;
    int out = 0;
    for (int k = 0; k < bv32::INDICES_PER_FRAME; k++) {
        const int width = bv32::bit_table[k];
        acc = (acc << width) |
              (static_cast<UWord32>(*bv32::bitstream_field(BitStruct, k)) & ((1u << width) - 1));
        nbits += width;
        while (nbits >= 8) {
            nbits -= 8;
            PackedStream[out++] = static_cast<UWord8>(acc >> nbits);
        }
    }
}

void BV32_BitUnPack(UWord8* PackedStream, BV32_Bit_Stream* BitStruct) {
    UWord32 acc = 0;
    int nbits = 0;
    int in = 0;
    for (int k = 0; k < bv32::INDICES_PER_FRAME; k++) {
        const int width = bv32::bit_table[k];
        while (nbits < width) {
            acc = (acc << 8) | PackedStream[in++];
            nbits += 8;
        }
        nbits -= width;
        *bv32::bitstream_field(BitStruct, k) = static_cast<Word16>((acc >> nbits) & ((1u << width) - 1));
    }
}
