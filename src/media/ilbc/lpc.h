// LPC and LSF arithmetic of the iLBC codec: analysis, LSF conversion both ways, stability check,
// interpolation and the per-sub-block filters. Pure functions: any thread.
#pragma once

#include <array>
#include <span>

#include "media/ilbc/common.h"

namespace ostrel::ilbc {

Lpc bwexpand(const Lpc& a, float gamma);
Lpc LsfToLpc(const Lsf& lsf);
Lsf LpcToLsf(const Lpc& a);
Lsf Interpolate(const Lsf& l1, const Lsf& l2, float w);

// Keeps the two LSF vectors of a frame ordered and apart so the synthesis filters stay stable.
void LsfCheck(std::array<Lsf, 2>& lsf);

// Levinson-Durbin on an 11-lag autocorrelation.
Lpc levinson(const std::array<float, kOrder + 1>& r);

// LSF vectors from split-VQ indices; returns false when an index is outside its codebook.
bool DequantiseLsf(std::span<const int, 3> idx, Lsf& out);
// Nearest split-VQ code vectors of an LSF vector (encoder).
std::array<int, 3> QuantiseLsf(const Lsf& lsf, Lsf& dequantised);

// Filters of the six sub-blocks, interpolated between the previous frame's last LSF vector and
// this frame's two. Fed quantised LSFs they are the synthesis filters; fed unquantised LSFs and
// bandwidth-expanded by the caller, the encoder's weighting filters.
SubLpcs SubblockLpcs(const Lsf& prev, const Lsf& l1, const Lsf& l2);

}  // namespace ostrel::ilbc
