// BV32 encoder: the interface the front end and the tools use.
#ifndef VAD_BV32_BV32_H
#define VAD_BV32_BV32_H

#include "vad/bv32/bv32strct.h"
#include "vad/bvcommon/typedef.h"

// Puts an encoder state into its initial condition.
void Reset_BV32_Encoder(BV32_Encoder_State* c);

// Encodes the 80 samples at inx (not modified) into the 27 indices of bs.
void BV32_Encode(BV32_Bit_Stream* bs, BV32_Encoder_State* cs, Word16* inx);

// Packs the 27 indices into 20 bytes, and back.
void BV32_BitPack(UWord8* PackedStream, BV32_Bit_Stream* BitStruct);
void BV32_BitUnPack(UWord8* PackedStream, BV32_Bit_Stream* BitStruct);

// Index-range allocators: p[nl] .. p[nh] are valid. Memory is not initialised.
BV32_Encoder_State* allocEncoderState(long nl, long nh);
void deallocEncoderState(BV32_Encoder_State* p, long nl, long nh);
BV32_Bit_Stream* allocBitStream(long nl, long nh);
void deallocBitStream(BV32_Bit_Stream* p, long nl, long nh);

#endif  // VAD_BV32_BV32_H
