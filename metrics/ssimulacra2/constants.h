// SSIMULACRA 2's published constants (data, not code): the weights of its 108 norms, the
// transform of their sum, SSIM's constant, XYB's opsin matrix, bias and scaling, and the
// rational fit of sRGB's decoding curve, as the JPEG XL Project's libjxl defines them, so our
// scores equal its tool's. Their licence:
//
//   Copyright (c) the JPEG XL Project Authors.
//   All rights reserved.
//
//   Redistribution and use in source and binary forms, with or without
//   modification, are permitted provided that the following conditions are met:
//
//   1. Redistributions of source code must retain the above copyright notice, this
//      list of conditions and the following disclaimer.
//
//   2. Redistributions in binary form must reproduce the above copyright notice,
//      this list of conditions and the following disclaimer in the documentation
//      and/or other materials provided with the distribution.
//
//   3. Neither the name of the copyright holder nor the names of its
//      contributors may be used to endorse or promote products derived from
//      this software without specific prior written permission.
//
//   THIS SOFTWARE IS PROVIDED BY THE COPYRIGHT HOLDERS AND CONTRIBUTORS "AS IS"
//   AND ANY EXPRESS OR IMPLIED WARRANTIES, INCLUDING, BUT NOT LIMITED TO, THE
//   IMPLIED WARRANTIES OF MERCHANTABILITY AND FITNESS FOR A PARTICULAR PURPOSE ARE
//   DISCLAIMED. IN NO EVENT SHALL THE COPYRIGHT HOLDER OR CONTRIBUTORS BE LIABLE
//   FOR ANY DIRECT, INDIRECT, INCIDENTAL, SPECIAL, EXEMPLARY, OR CONSEQUENTIAL
//   DAMAGES (INCLUDING, BUT NOT LIMITED TO, PROCUREMENT OF SUBSTITUTE GOODS OR
//   SERVICES; LOSS OF USE, DATA, OR PROFITS; OR BUSINESS INTERRUPTION) HOWEVER
//   CAUSED AND ON ANY THEORY OF LIABILITY, WHETHER IN CONTRACT, STRICT LIABILITY,
//   OR TORT (INCLUDING NEGLIGENCE OR OTHERWISE) ARISING IN ANY WAY OUT OF THE USE
//   OF THIS SOFTWARE, EVEN IF ADVISED OF THE POSSIBILITY OF SUCH DAMAGE.
#pragma once

namespace vq::ssim2 {

// Per channel (X, Y, B), per scale (1:1 to 1:32), per norm (1, 4): the weights of the SSIM map,
// the artifact map and the detail-lost map, in that order. Scales a picture is too small for
// are skipped without leaving gaps: the next scale computed takes the next weights.
inline constexpr double kWeights[108] = {
    0.0,
    0.0007376606707406586,
    0.0,
    0.0,
    0.0007793481682867309,
    0.0,
    0.0,
    0.0004371155730107379,
    0.0,
    1.1041726426657346,
    0.00066284834129271,
    0.00015231632783718752,
    0.0,
    0.0016406437456599754,
    0.0,
    1.8422455520539298,
    11.441172603757666,
    0.0,
    0.0007989109436015163,
    0.000176816438078653,
    0.0,
    1.8787594979546387,
    10.94906990605142,
    0.0,
    0.0007289346991508072,
    0.9677937080626833,
    0.0,
    0.00014003424285435884,
    0.9981766977854967,
    0.00031949755934435053,
    0.0004550992113792063,
    0.0,
    0.0,
    0.0013648766163243398,
    0.0,
    0.0,
    0.0,
    0.0,
    0.0,
    7.466890328078848,
    0.0,
    17.445833984131262,
    0.0006235601634041466,
    0.0,
    0.0,
    6.683678146179332,
    0.00037724407979611296,
    1.027889937768264,
    225.20515300849274,
    0.0,
    0.0,
    19.213238186143016,
    0.0011401524586618361,
    0.001237755635509985,
    176.39317598450694,
    0.0,
    0.0,
    24.43300999870476,
    0.28520802612117757,
    0.0004485436923833408,
    0.0,
    0.0,
    0.0,
    34.77906344483772,
    44.835625328877896,
    0.0,
    0.0,
    0.0,
    0.0,
    0.0,
    0.0,
    0.0,
    0.0,
    0.0008680556573291698,
    0.0,
    0.0,
    0.0,
    0.0,
    0.0,
    0.0005313191874358747,
    0.0,
    0.00016533814161379112,
    0.0,
    0.0,
    0.0,
    0.0,
    0.0,
    0.0004179171803251336,
    0.0017290828234722833,
    0.0,
    0.0020827005846636437,
    0.0,
    0.0,
    8.826982764996862,
    23.19243343998926,
    0.0,
    95.1080498811086,
    0.9863978034400682,
    0.9834382792465353,
    0.0012286405048278493,
    171.2667255897307,
    0.9807858872435379,
    0.0,
    0.0,
    0.0,
    0.0005130064588990679,
    0.0,
    0.00010854057858411537,
};

// The sum's scale, the cubic a s - b s^2 + c s^3 of the scaled sum, then 100 - 10 * that^kPower.
inline constexpr double kSumScale = 0.9562382616834844;
inline constexpr double kCubic[3] = {2.326765642916932, 0.020884521182843837,
                                     6.248496625763138e-05};
inline constexpr double kPower = 0.6276336467831387;

// SSIM's stabilising constant of the structure term.
inline constexpr float kC2 = 0.0009f;

// The opsin absorbance matrix (linear RGB to the three cone responses) and its bias.
inline constexpr float kOpsin[3][3] = {{0.30f, 1.0f - 0.078f - 0.30f, 0.078f},
                                       {0.23f, 1.0f - 0.078f - 0.23f, 0.078f},
                                       {0.24342268924547819f, 0.20476744424496821f,
                                        1.0f - 0.24342268924547819f - 0.20476744424496821f}};
inline constexpr float kBias = 0.0037930732552754493f;
// XYB moved into 0..1: X * kXScale + kXOffset, Y + kYOffset, (B - Y) + kBOffset.
inline constexpr float kXScale = 14.0f, kXOffset = 0.42f, kYOffset = 0.01f, kBOffset = 0.55f;

// sRGB's decoding curve: a line (x / 12.92) up to kSrgbKnee, above it the ratio of two
// polynomials in x, coefficients from x^0 up.
inline constexpr float kSrgbKnee = 0.04045f;
inline constexpr float kSrgbP[5] = {2.200248328e-04f, 1.043637593e-02f, 1.624820318e-01f,
                                    7.961564959e-01f, 8.210152774e-01f};
inline constexpr float kSrgbQ[5] = {2.631846970e-01f, 1.076976492e+00f, 4.987528350e-01f,
                                    -5.512498495e-02f, 6.521209011e-03f};

}  // namespace vq::ssim2
