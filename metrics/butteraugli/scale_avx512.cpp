// The AVX-512 form of the map at one resolution.
#define VQ_BUTTERAUGLI_TIER avx512
#include "metrics/butteraugli/scale_impl.h"
