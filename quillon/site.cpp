#include "quillon/site.hpp"

#include <cmath>
#include <string>

#include "quillon/internal_error.hpp"

namespace quillon::site {

void site_amplification_factors(const std::vector<input::Layer>& vmod, std::size_t source_layer,
                                std::span<const float> table_log_frequency, std::span<float> factors) {
    if (table_log_frequency.empty() || factors.size() != table_log_frequency.size()) {
        internal_stop("site amplification factors need one entry per table frequency, got " +
                      std::to_string(factors.size()) + " for " + std::to_string(table_log_frequency.size()));
    }
    // A source at or above the base of the top (air) layer is treated as lying in layer 1,
    // the first real layer: the walk below starts there and must stop at the source layer.
    const std::size_t layer_of_source = source_layer == 0 ? 1 : source_layer;
    if (layer_of_source >= vmod.size()) {
        internal_stop("source layer " + std::to_string(layer_of_source) + " is outside a model of " +
                      std::to_string(vmod.size()) + " layers");
    }
    const input::Layer& source = vmod[layer_of_source];
    const float zs = static_cast<float>(source.vsh_km_s * source.density_g_cm3);
    const double first_layer_time = vmod[1].thickness_km / vmod[1].vsh_km_s;

    for (std::size_t i = 0; i < table_log_frequency.size(); ++i) {
        const float f = std::exp(table_log_frequency[i]);
        const float target = 0.25f / f;  // travel time of a quarter wavelength

        std::size_t layer = 1;
        float t_prev = 0.0f;
        float sum_rho = 0.0f;
        float sum_depth = 0.0f;
        float t_cum = static_cast<float>(first_layer_time);
        while (t_cum < target && layer < layer_of_source) {
            const input::Layer& above = vmod[layer];
            sum_rho = static_cast<float>(static_cast<double>(sum_rho) +
                                         (above.density_g_cm3 * above.thickness_km) / above.vsh_km_s);
            sum_depth = static_cast<float>(static_cast<double>(sum_depth) + above.thickness_km);
            t_prev = t_cum;
            ++layer;
            t_cum = static_cast<float>(static_cast<double>(t_prev) + vmod[layer].thickness_km / vmod[layer].vsh_km_s);
        }
        const input::Layer& last = vmod[layer];
        const float rem = target - t_prev;  // time spent inside the last layer
        const float vbar = static_cast<float>(
            (static_cast<double>(sum_depth) + static_cast<double>(rem) * last.vsh_km_s) / static_cast<double>(target));
        const float rbar = static_cast<float>(
            (static_cast<double>(sum_rho) + static_cast<double>(rem) * last.density_g_cm3) / static_cast<double>(target));
        factors[i] = std::log(zs / (rbar * vbar)) * 0.5f;
    }
}

void site_gain_curve(std::span<const float> log_frequency_hz, std::span<const float> table_log_frequency,
                     std::span<const float> factors, std::span<float> gain) {
    const std::size_t table_len = table_log_frequency.size();
    const std::size_t gain_len = gain.size();
    if (table_len == 0 || factors.size() != table_len) {
        internal_stop("a site gain curve needs one factor per table frequency, got " + std::to_string(factors.size()) +
                      " for " + std::to_string(table_len));
    }
    if (gain_len == 0 || log_frequency_hz.size() < gain_len) {
        internal_stop("a site gain curve of " + std::to_string(gain_len) + " bins needs as many frequencies, got " +
                      std::to_string(log_frequency_hz.size()));
    }

    gain[0] = std::exp(factors[0]);
    gain[gain_len - 1] = std::exp(factors[table_len - 1]);

    // The segment (x_lo, x_hi] moves forward only, in step with the increasing bins.
    std::size_t p = 0;
    float x_lo = 0.0f;
    float y_lo = factors[0];
    float x_hi = table_log_frequency[0];
    float y_hi = factors[0];
    for (std::size_t j = 1; j + 1 < gain_len; ++j) {
        const float x = log_frequency_hz[j];
        while (x > x_hi && p < table_len) {
            x_lo = x_hi;
            y_lo = y_hi;
            if (p == table_len - 1) {
                x_hi = 1.0e15f;
                y_hi = factors[table_len - 1];
                p = table_len;
            } else {
                ++p;
                x_hi = table_log_frequency[p];
                y_hi = factors[p];
            }
        }
        // Up to the first table frequency the segment is flat, from a placeholder point at
        // x = 0. A table that starts at exactly 1 Hz (ln f = 0) makes that segment a single
        // point; its value is then taken directly instead of dividing 0 by 0.
        const float y = x_hi == x_lo ? y_lo : ((x - x_lo) * (y_hi - y_lo)) / (x_hi - x_lo) + y_lo;
        gain[j] = std::exp(y);
    }
}

void apply_site_amplification(std::span<std::complex<float>> spectrum, std::span<const float> gain) {
    const std::size_t n = spectrum.size();
    // An odd or empty spectrum has no Hermitian layout to keep (and an empty one no bin 0).
    if (n < 2 || n % 2 != 0) {
        internal_stop("site amplification needs a spectrum of even length of at least 2, got " + std::to_string(n));
    }
    const std::size_t half = n / 2;
    if (gain.size() != half + 1) {
        internal_stop("a gain curve covers the positive half plus Nyquist, " + std::to_string(half + 1) + " bins for a " +
                      std::to_string(n) + "-point transform: got " + std::to_string(gain.size()) + " gains, expected " +
                      std::to_string(half + 1));
    }
    for (std::size_t k = 0; k <= half; ++k) {
        spectrum[k] = std::complex<float>(spectrum[k].real() * gain[k], spectrum[k].imag() * gain[k]);
    }
    for (std::size_t k = 1; k < half; ++k) spectrum[n - k] = std::conj(spectrum[k]);
}

}  // namespace quillon::site
