// Fatal paths of the G.191 basic operators; with
// VELA_BASOP_OUT_OF_LINE also the out-of-line operators themselves, together with
// the G.729 double-precision operators in this one unit (as the original library
// is built), so the operators still inline into each other but not into callers.
#include "vad/itug191lib/basop32.h"

#include <cstdio>
#include <cstdlib>

#include "vad/itug729ilib/oper_32b.h"

namespace basop_detail {

// The message goes to standard output like the original's; it is flushed first
// because abort() would otherwise drop a buffered line.
void div_s_error(Word16 var1, Word16 var2) {
    if (var1 > var2 || var1 < 0 || var2 < 0) {
        std::printf("Division Error var1=%d  var2=%d\n", var1, var2);
    } else {
        std::printf("Division by 0, Fatal error \n");
    }
    std::fflush(stdout);
    std::abort();
}

// A fatal error ends the process with a failure status (the original exits with 0).
void div_l_error(Word32 /*L_num*/, Word16 den) {
    if (den == 0) {
        std::printf("Division by 0 in div_l, Fatal error \n");
    } else {
        std::printf("Division Error in div_l, Fatal error \n");
    }
    std::exit(EXIT_FAILURE);
}

}  // namespace basop_detail

#ifdef VELA_BASOP_OUT_OF_LINE
#define BASOP_FN
#include "vad/itug191lib/basop32_ops.h"
#define OPER32B_FN
#include "vad/itug729ilib/oper_32b_ops.h"
#endif
