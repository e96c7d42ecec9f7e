// Index-range allocators: alloc*(nl, nh) returns p with p[nl] .. p[nh] valid
// (memory not initialised); dealloc*(p, nl, nh) frees the same block. When memory
// cannot be had, the allocator prints its message on standard output and ends the
// process with a failure status.
#ifndef VAD_BVCOMMON_MEMUTIL_H
#define VAD_BVCOMMON_MEMUTIL_H

#include <cstddef>
#include <cstdint>

#include "vad/bvcommon/typedef.h"

Word16* allocWord16(long nl, long nh);
void deallocWord16(Word16* p, long nl, long nh);
Word32* allocWord32(long nl, long nh);
void deallocWord32(Word32* p, long nl, long nh);

namespace bv32 {

// Shared body of the allocators: nh - nl + 1 elements of elem_size bytes, or the
// process ends after printing "Memory allocation error in <name>()".
void* alloc_range(long nl, long nh, std::size_t elem_size, const char* name);
void dealloc_range(void* p, long nl, std::size_t elem_size);

template <typename T>
T* alloc_range_of(long nl, long nh, const char* name) {
    return static_cast<T*>(alloc_range(nl, nh, sizeof(T), name));
}

template <typename T>
void dealloc_range_of(T* p, long nl) {
    dealloc_range(p, nl, sizeof(T));
}

}  // namespace bv32

#endif  // VAD_BVCOMMON_MEMUTIL_H
