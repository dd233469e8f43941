// The filter taps of libvmaf's float SSIM and MS-SSIM, as libvmaf defines them (data, not code).
// Copyright 2016-2020 Netflix, Inc., BSD-2-Clause-Patent
// (https://opensource.org/licenses/BSDplusPatent): kept as they are so our scores equal its.
#pragma once

namespace vq::fssim {

// The 11-tap Gaussian (sigma 1.5) of the SSIM window, used along rows and then columns.
inline constexpr float kGauss[11] = {0.001028f, 0.007599f, 0.036001f, 0.109361f,
                                     0.213006f, 0.266012f, 0.213006f, 0.109361f,
                                     0.036001f, 0.007599f, 0.001028f};

// MS-SSIM's 9x9 low pass (the 9/7 biorthogonal wavelet's), applied as one 2-D kernel.
inline constexpr float kLowPass2d[9][9] = {
    {0.000714f, -0.000450f, -0.002090f, 0.007132f, 0.016114f, 0.007132f, -0.002090f, -0.000450f,
     0.000714f},
    {-0.000450f, 0.000283f, 0.001316f, -0.004490f, -0.010146f, -0.004490f, 0.001316f, 0.000283f,
     -0.000450f},
    {-0.002090f, 0.001316f, 0.006115f, -0.020867f, -0.047149f, -0.020867f, 0.006115f, 0.001316f,
     -0.002090f},
    {0.007132f, -0.004490f, -0.020867f, 0.071207f, 0.160885f, 0.071207f, -0.020867f, -0.004490f,
     0.007132f},
    {0.016114f, -0.010146f, -0.047149f, 0.160885f, 0.363505f, 0.160885f, -0.047149f, -0.010146f,
     0.016114f},
    {0.007132f, -0.004490f, -0.020867f, 0.071207f, 0.160885f, 0.071207f, -0.020867f, -0.004490f,
     0.007132f},
    {-0.002090f, 0.001316f, 0.006115f, -0.020867f, -0.047149f, -0.020867f, 0.006115f, 0.001316f,
     -0.002090f},
    {-0.000450f, 0.000283f, 0.001316f, -0.004490f, -0.010146f, -0.004490f, 0.001316f, 0.000283f,
     -0.000450f},
    {0.000714f, -0.000450f, -0.002090f, 0.007132f, 0.016114f, 0.007132f, -0.002090f, -0.000450f,
     0.000714f},
};

// MS-SSIM's exponents of luminance, contrast and structure per scale (finest first).
inline constexpr float kMsAlpha[5] = {0.0f, 0.0f, 0.0f, 0.0f, 0.1333f};
inline constexpr float kMsBeta[5] = {0.0448f, 0.2856f, 0.3001f, 0.2363f, 0.1333f};

}  // namespace vq::fssim
