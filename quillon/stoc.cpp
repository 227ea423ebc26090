#include "quillon/stoc.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "quillon/fft.hpp"
#include "quillon/internal_error.hpp"

namespace quillon::stoc {
namespace {

constexpr float km_to_cm = 1e5f;
constexpr float four_pi = 12.566371f;
constexpr float two_pi = 6.2831855f;
constexpr float pi = 3.1415927f;
constexpr float source_constant = 0.8946f;    // radiation 0.63 × free surface 2 × partition 0.71
constexpr float inverse_divisor = 0.4473f;    // half the source constant

// trunc'd f32 count to an unsigned length: NaN and negatives give 0, 2^64 and above saturate.
std::size_t saturating_length(float count) {
    if (!(count >= 0.0f)) return 0;
    if (count >= 18446744073709551616.0f) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(count);
}

}  // namespace

float window_exponent(float window_eps, float window_eta) {
    return (std::log(window_eta) * -window_eps) / ((std::log(window_eps) + -1.0f) * window_eps + 1.0f);
}

// ---------------------------------------------------------------- plans

SpectrumPlan SpectrumPlan::create(std::size_t np2, float dt, float q_exponent, float window_eps, float window_eta) {
    if (np2 < 2 || np2 % 2 != 0) {
        internal_stop("a spectrum plan needs an even length of at least 2, got " + std::to_string(np2));
    }
    SpectrumPlan plan;
    plan.np2 = np2;
    plan.fold_count = np2 / 2 + 1;
    plan.frequency_hz.resize(plan.fold_count);
    plan.log_frequency_hz.resize(plan.fold_count);
    plan.path_exponent.resize(plan.fold_count);
    plan.envelope_power.resize(np2);

    const float df = 1.0f / (static_cast<float>(np2) * dt);
    const float path_power = 1.0f - q_exponent;
    for (std::size_t k = 0; k < plan.fold_count; ++k) {
        const float f = static_cast<float>(k) * df;
        plan.frequency_hz[k] = f;
        plan.log_frequency_hz[k] = std::log(f);  // −inf at 0 Hz
        plan.path_exponent[k] = std::pow(f, path_power);
    }
    const float b = window_exponent(window_eps, window_eta);
    for (std::size_t i = 0; i < np2; ++i) {
        plan.envelope_power[i] = std::pow(static_cast<float>(i) * dt, b);
    }
    return plan;
}

std::size_t SpectrumPlan::length_for(float window_s, float dt) {
    const float samples = std::trunc((window_s + window_s) / dt);
    return fft::good_length(saturating_length(samples));
}

std::size_t SpectrumPlan::length_for_arrival(float window_s, float dt, std::int32_t start_sample, std::size_t ndata) {
    const std::size_t full = length_for(window_s, dt);
    // Record samples from the arrival's first sample (at least sample 1) to the end.
    std::int64_t landing = 0;
    if (ndata > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()) ||
        __builtin_sub_overflow(static_cast<std::int64_t>(ndata), std::int64_t{std::max(start_sample, 1)}, &landing) ||
        __builtin_add_overflow(landing, std::int64_t{1}, &landing)) {
        internal_stop("the record samples left for an arrival overflowed 64-bit arithmetic");
    }
    const auto at_least = static_cast<std::size_t>(std::max<std::int64_t>(landing, 1));
    const std::size_t room = fft::good_length(2 * at_least);
    return std::min(full, room);
}

PlanCache PlanCache::create(float dt, float q_exponent, float window_eps, float window_eta) {
    return PlanCache(dt, q_exponent, window_eps, window_eta);
}

const SpectrumPlan& PlanCache::for_length(std::size_t np2) {
    auto found = plans_.find(np2);
    if (found == plans_.end()) {
        found = plans_.emplace(np2, SpectrumPlan::create(np2, dt_, q_exponent_, window_eps_, window_eta_)).first;
    }
    return found->second;
}

// ---------------------------------------------------------------- spectrum shape

SpectrumShape SpectrumShape::with_capacity(std::size_t n) {
    SpectrumShape shape;
    shape.envelope.assign(n, 0.0f);
    shape.amplitude.assign(n, 0.0);
    shape.deviates.assign(n, 0.0f);
    return shape;
}

void SpectrumShape::refresh(const SpectrumPlan& plan, const SourceModel& model, const RayPath& path) {
    const std::size_t np2 = plan.np2;
    if (np2 > capacity()) {
        internal_stop("a spectrum shape of capacity " + std::to_string(capacity()) +
                      " cannot hold a plan of length " + std::to_string(np2));
    }

    // Time envelope norm·t^b·e^(−ct), peaking at eps·window and of unit energy.
    const float b = window_exponent(model.window_eps, model.window_eta);
    const float c = (b / model.window_eps) / path.window_s;
    const double gm = std::tgamma(static_cast<double>(b + b + 1.0f));
    const float aa = std::pow(c + c, b + b + 1.0f);
    const float norm = static_cast<float>(std::sqrt(static_cast<double>(aa) / gm));
    // The exponential as a running product: one exp per ray instead of one per sample.
    const double decay_per_sample = std::exp(-static_cast<double>(c) * static_cast<double>(model.dt));
    double decay = 1.0;
    const float* power = plan.envelope_power.data();
    float* env = envelope.data();
    for (std::size_t i = 0; i < np2; ++i) {
        env[i] = static_cast<float>(decay) * (power[i] * norm);
        decay = decay * decay_per_sample;
    }

    // Target Fourier amplitude of acceleration.
    const float distance_cm = path.distance_km * km_to_cm;
    const float beta = path.shear_velocity_km_s * km_to_cm;
    const float cc = source_constant / ((path.density_g_cm3 * four_pi) * ((beta * beta) * beta));
    const float omgc = path.corner_frequency_hz * two_pi;
    const float omgm = path.fmax_hz * two_pi;
    const float fc2 = path.corner_frequency_hz * path.corner_frequency_hz;
    const float source_level = cc * path.subevent_moment;
    const float qbar = path.qbar;
    const float kappa = model.kappa_s;
    const float scale = path.moment_scale;
    const float* frequency = plan.frequency_hz.data();
    const float* path_exponent = plan.path_exponent.data();
    double* amp = amplitude.data();

    // Omega-squared source, subevent scaling, spreading and attenuation; the high cut is
    // exp(−π·κ·f) with a kappa, else the first-order 1/(1 + f/fmax).
    auto source_and_scaling = [&](float f, float w, double& a1, float& frank) {
        a1 = static_cast<double>(((w * w) / ((w / omgc) * (w / omgc) + 1.0f)) * source_level);
        frank = ((f * f + fc2) * scale) / ((f * f) * scale + fc2);
    };
    if (kappa > 0.0f) {
        for (std::size_t k = 1; k < plan.fold_count; ++k) {
            const float f = frequency[k];
            const float w = f * two_pi;
            double a1;
            float frank;
            source_and_scaling(f, w, a1, frank);
            const float path_fr = path_exponent[k] * qbar;
            const double a2a3 = static_cast<double>(std::exp((path_fr + kappa * f) * -pi) / distance_cm);
            amp[k] = static_cast<double>(frank) * (a1 * a2a3);
        }
    } else {
        for (std::size_t k = 1; k < plan.fold_count; ++k) {
            const float f = frequency[k];
            const float w = f * two_pi;
            double a1;
            float frank;
            source_and_scaling(f, w, a1, frank);
            const float path_fr = path_exponent[k] * qbar;
            const double a2a3 = static_cast<double>(std::exp(path_fr * -pi) / distance_cm) *
                                static_cast<double>(1.0f / (w / omgm + 1.0f));
            amp[k] = static_cast<double>(frank) * (a1 * a2a3);
        }
    }

    dt = model.dt;
    refreshed_np2 = np2;
}

// ---------------------------------------------------------------- synthesis and inversion

void stochastic_spectrum(rng::DrawSource& rng, const SpectrumPlan& plan, SpectrumShape& shape,
                         std::span<std::complex<float>> spectrum) {
    const std::size_t np2 = spectrum.size();
    if (np2 != plan.np2 || np2 != shape.refreshed_np2 || np2 > shape.capacity()) {
        internal_stop("a stochastic spectrum of " + std::to_string(np2) + " bins needs the plan (" +
                      std::to_string(plan.np2) + ") and the last refresh (" + std::to_string(shape.refreshed_np2) +
                      ") of the same length");
    }
    const std::size_t fold_count = plan.fold_count;
    const float dt = shape.dt;
    const std::span<float> deviates = std::span(shape.deviates).first(np2);

    // White noise with its baseline removed, then windowed.
    rng.fill_normal(deviates);
    fft::remove_quadratic_trend(dt, deviates);
    const float* envelope = shape.envelope.data();
    for (std::size_t i = 0; i < np2; ++i) spectrum[i] = std::complex<float>(deviates[i] * envelope[i], 0.0f);

    fft::forward(spectrum);

    // Normalise to a mean power of 1/dt² over the non-negative frequencies.
    float sum = -0.0f;
    for (std::size_t k = 0; k < fold_count; ++k) {
        const float re = spectrum[k].real();
        const float im = spectrum[k].imag();
        sum = sum + (re * re + im * im);
    }
    const float scale = 1.0f / (dt * std::sqrt(sum / static_cast<float>(fold_count)));
    const double scale_wide = static_cast<double>(scale);
    const double* amplitude = shape.amplitude.data();
    for (std::size_t k = 0; k < fold_count; ++k) {
        const double a = amplitude[k];
        spectrum[k] = std::complex<float>(static_cast<float>((static_cast<double>(spectrum[k].real()) * a) * scale_wide),
                                          static_cast<float>((static_cast<double>(spectrum[k].imag()) * a) * scale_wide));
    }

    // The negative frequencies are the conjugates of the positive ones: a real series.
    const std::size_t half = np2 / 2;
    for (std::size_t k = 1; k < half; ++k) spectrum[np2 - k] = std::conj(spectrum[k]);
}

void radiate_and_invert(std::span<std::complex<float>> spectrum, std::span<const float> radiation,
                        std::span<float> time_series) {
    // std::span guarantees the spectrum row is one contiguous run.
    const std::size_t fold_count = radiation.size();
    if (fold_count < 2) {
        internal_stop("a radiation gain needs at least 2 bins, got " + std::to_string(fold_count));
    }
    const std::size_t n = spectrum.size();
    if (n != 2 * fold_count - 2 || time_series.size() != n) {
        internal_stop("radiation of " + std::to_string(fold_count) + " bins needs a spectrum and a series of " +
                      std::to_string(2 * fold_count - 2) + " samples, got " + std::to_string(n) + " and " +
                      std::to_string(time_series.size()));
    }
    const std::size_t mirror_count = fold_count - 2;

    auto scale_bin = [](std::complex<float>& bin, float gain) {
        bin = std::complex<float>(bin.real() * gain, bin.imag() * gain);
    };
    for (std::size_t k = 0; k < fold_count; ++k) scale_bin(spectrum[k], radiation[k]);
    for (std::size_t j = 0; j < mirror_count; ++j) scale_bin(spectrum[fold_count + j], radiation[fold_count - 2 - j]);

    fft::inverse(spectrum);

    const float s = 1.0f / (static_cast<float>(n) * inverse_divisor);
    for (std::size_t i = 0; i < n; ++i) time_series[i] = spectrum[i].real() * s;

    // Half-cosine taper over the last tenth, reaching 0 at the last sample.
    const std::size_t m = n / 10;
    if (m > 0) {
        const float step = pi / static_cast<float>(m);
        for (std::size_t i = 0; i < m; ++i) {
            time_series[n - m + i] = time_series[n - m + i] * ((std::cos(static_cast<float>(i + 1) * step) + 1.0f) * 0.5f);
        }
    }
}

}  // namespace quillon::stoc
