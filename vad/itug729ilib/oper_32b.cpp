// The G.729 double-precision operators are inline (oper_32b_ops.h); with
// VELA_BASOP_OUT_OF_LINE they are compiled in basop32.cpp.
#include "vad/itug729ilib/oper_32b.h"
