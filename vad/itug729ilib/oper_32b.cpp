// Out-of-line G.729 double-precision operators, built only with VELA_BASOP_OUT_OF_LINE.
#include "vad/itug729ilib/oper_32b.h"

#ifdef VELA_BASOP_OUT_OF_LINE
#define OPER32B_FN __attribute__((noinline))
#include "vad/itug729ilib/oper_32b_ops.h"
#endif
