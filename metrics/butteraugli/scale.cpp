// The plain form of the map at one resolution.
#define VQ_BUTTERAUGLI_TIER scalar
#include "metrics/butteraugli/scale_impl.h"
