// The AVX2 form of the map at one resolution.
#define VQ_BUTTERAUGLI_TIER avx2
#include "metrics/butteraugli/scale_impl.h"
