// BV32 frames as ITU-T G.192 bit-stream records: per frame a sync word 0x6B21, the
// length 160 and one 16-bit word per bit (0x0081 for 1, 0x007F for 0), in host byte
// order, fields in the packed frame's order, most significant bit first.
#ifndef VAD_BV32_G192_H
#define VAD_BV32_G192_H

#include <cstdio>

#include "vad/bv32/bv32strct.h"
#include "vad/bvcommon/typedef.h"

// Bad-frame indicator of the last bv32_fread_g192bitstrm on this thread: 1 when the
// record's sync word was not 0x6B21 or the record was cut short, else 0.
inline thread_local Word16 bfi = 0;

// Writes no_of_bits bit words for index, the last one holding the least significant bit.
void int2bin_16(Word16 index, Word16 no_of_bits, Word16* bitstream);

// The value of no_of_bits bit words; only 0x0081 counts as a 1.
Word16 bin2int_16(Word16 no_of_bits, const Word16* bitstream);

// Writes one 162-word record; returns the number of words written.
int bv32_fwrite_g192bitstrm(BV32_Bit_Stream* bs, std::FILE* fo);

// Number of 16-bit words of one record (sync word, length, 160 bit words).
constexpr int kG192RecordWords = 162;

// Unpacks the 27 fields of one complete record into bs; returns the bad-frame
// indicator: 1 when the sync word is not 0x6B21, else 0. The length word is ignored.
Word16 bv32_unpack_g192_record(const Word16* record, BV32_Bit_Stream* bs);

// Reads one record into bs and sets bfi; returns the number of sync words read
// (0 at end of file, when bs and bfi are left unchanged). A record cut short by the end of
// the file is returned with its missing bits as 0 and bfi = 1.
int bv32_fread_g192bitstrm(BV32_Bit_Stream* bs, std::FILE* fi);

#endif  // VAD_BV32_G192_H
