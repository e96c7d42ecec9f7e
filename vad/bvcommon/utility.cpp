// Word copy and clear helpers of the codec.
#include "vad/bvcommon/utility.h"

#include <cstdint>
#include <cstring>

namespace {
// True when y lies inside [x, x + size) past its start, where memmove's result
// would differ from an ascending copy.
template <typename T>
bool starts_inside(const T* y, const T* x, int size) {
    const auto ya = reinterpret_cast<std::uintptr_t>(y);
    const auto xa = reinterpret_cast<std::uintptr_t>(x);
    return ya > xa && ya < xa + static_cast<std::uintptr_t>(size) * sizeof(T);
}
}  // namespace

// The copies run in ascending order. Where that differs from memmove (the target
// starts inside the source) the words are copied one by one.
void W16copy(Word16* y, const Word16* x, int size) {
    if (size <= 0) return;
    if (starts_inside(y, x, size)) {
        for (int i = 0; i < size; i++) y[i] = x[i];
    } else {
        std::memmove(y, x, static_cast<std::size_t>(size) * sizeof(Word16));
    }
}

void W16zero(Word16* x, int size) {
    if (size > 0) std::memset(x, 0, static_cast<std::size_t>(size) * sizeof(Word16));
}

void W32copy(Word32* y, const Word32* x, int size) {
    if (size <= 0) return;
    if (starts_inside(y, x, size)) {
        for (int i = 0; i < size; i++) y[i] = x[i];
    } else {
        std::memmove(y, x, static_cast<std::size_t>(size) * sizeof(Word32));
    }
}
