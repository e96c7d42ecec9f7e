// Fixed-point value types of the codec.
#ifndef VAD_BVCOMMON_TYPEDEF_H
#define VAD_BVCOMMON_TYPEDEF_H

#include <cstdint>

typedef int16_t Word16;
typedef int32_t Word32;
typedef uint8_t UWord8;
typedef uint32_t UWord32;

#endif  // VAD_BVCOMMON_TYPEDEF_H
