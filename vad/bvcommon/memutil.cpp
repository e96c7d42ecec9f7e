// Index-range allocators of the codec.
#include "vad/bvcommon/memutil.h"

#include <cstdio>
#include <cstdlib>

namespace bv32 {

// The returned pointer is offset by -nl elements so that p[nl] is the first
// element; the offset is applied on the address value, which stays valid for any nl.
void* alloc_range(long nl, long nh, std::size_t elem_size, const char* name) {
    void* block = nullptr;
    if (nh >= nl || nh + 1 == nl) {
        // nh == nl - 1 is an empty range; it still gets a block of its own to free.
        const auto count = static_cast<unsigned long>(nh) - static_cast<unsigned long>(nl) + 1;
        if (count <= SIZE_MAX / elem_size) block = std::malloc(count == 0 ? 1 : count * elem_size);
    }
    if (block == nullptr) {
        // Also a reversed or overflowing range: there is nothing valid to return.
        std::printf("Memory allocation error in %s()\n", name);
        std::fflush(stdout);
        std::exit(EXIT_FAILURE);
    }
    return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(block) -
                                   static_cast<std::uintptr_t>(nl) * elem_size);
}

void dealloc_range(void* p, long nl, std::size_t elem_size) {
    if (p == nullptr) return;
    std::free(reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) +
                                      static_cast<std::uintptr_t>(nl) * elem_size));
}

}  // namespace bv32

Word16* allocWord16(long nl, long nh) { return bv32::alloc_range_of<Word16>(nl, nh, "allocWord16"); }

void deallocWord16(Word16* p, long nl, long /*nh*/) { bv32::dealloc_range_of(p, nl); }

Word32* allocWord32(long nl, long nh) { return bv32::alloc_range_of<Word32>(nl, nh, "allocWord32"); }

void deallocWord32(Word32* p, long nl, long /*nh*/) { bv32::dealloc_range_of(p, nl); }
