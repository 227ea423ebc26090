// Site response by the quarter-wavelength method: at each frequency the amplification is the
// square root of the ratio between the seismic impedance at the source and the average
// impedance of the material within a quarter wavelength of the surface (averages weighted by
// travel time). It is evaluated on a small table of frequencies per ray and interpolated in
// log-log space onto the bins of each transform.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

#include "quillon/input.hpp"

namespace quillon::site {

// factors[i] = ln of the amplification at exp(table_log_frequency[i]) Hz, for a source in
// layer `source_layer` of `vmod` (index 0, the top layer, is the air layer and is skipped).
// The quarter-wavelength average never reaches below the source layer: when a quarter
// wavelength is deeper, the source layer is taken to extend as far down as needed.
void site_amplification_factors(const std::vector<input::Layer>& vmod, std::size_t source_layer,
                                std::span<const float> table_log_frequency, std::span<float> factors);

// Linear gains on the plan's bins (gain.size() = fold_count): 0 Hz and every bin up to the
// first table frequency take the first table value, the Nyquist bin and every bin beyond the
// last table frequency the last one, and the bins in between the log-log interpolation.
void site_gain_curve(std::span<const float> log_frequency_hz, std::span<const float> table_log_frequency,
                     std::span<const float> factors, std::span<float> gain);

// Multiplies bins 0 … n/2 by the gains and rebuilds the negative frequencies as their
// conjugates, so the spectrum stays Hermitian.
void apply_site_amplification(std::span<std::complex<float>> spectrum, std::span<const float> gain);

}  // namespace quillon::site
