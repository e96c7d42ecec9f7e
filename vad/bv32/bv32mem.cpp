// Index-range allocators of the encoder state, decoder state and index records.
#include "vad/bv32/bv32.h"
#include "vad/bv32/bv32dec.h"
#include "vad/bvcommon/memutil.h"

BV32_Encoder_State* allocEncoderState(long nl, long nh) {
    return bv32::alloc_range_of<BV32_Encoder_State>(nl, nh, "allocEncoderState");
}

void deallocEncoderState(BV32_Encoder_State* p, long nl, long /*nh*/) { bv32::dealloc_range_of(p, nl); }

BV32_Decoder_State* allocDecoderState(long nl, long nh) {
    return bv32::alloc_range_of<BV32_Decoder_State>(nl, nh, "allocDecoderState");
}

void deallocDecoderState(BV32_Decoder_State* p, long nl, long /*nh*/) { bv32::dealloc_range_of(p, nl); }

BV32_Bit_Stream* allocBitStream(long nl, long nh) {
    return bv32::alloc_range_of<BV32_Bit_Stream>(nl, nh, "allocBitStream");
}

void deallocBitStream(BV32_Bit_Stream* p, long nl, long /*nh*/) { bv32::dealloc_range_of(p, nl); }
