// Stochastic spectra: band-limited random acceleration of one subfault-to-station ray.
//
// A series is synthesised on a transform length chosen from its window. Everything that
// depends only on that length and on per-station constants (frequency grid, its logarithm,
// the frequency power of the path attenuation, the time power of the envelope) lives in a
// SpectrumPlan, built once per length per station run by the run's PlanCache.
//
// Per ray and component: SpectrumShape::refresh writes the time envelope of the ray's window
// and the target Fourier amplitude (omega-squared source with subevent scaling, 1/R spreading,
// anelastic attenuation, kappa or fmax high cut); stochastic_spectrum windows Gaussian white
// noise with the envelope, transforms it, normalises it to unit mean power and imposes the
// target amplitude; after site amplification and with the component's radiation gain,
// radiate_and_invert brings it back to time and tapers its end.
//
// f32 throughout except where a step is written in f64; the order of operations is part of
// the result and must not be rearranged. Nothing here allocates once plan and shape exist.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "quillon/rng.hpp"

namespace quillon::stoc {

// Shape exponent b of the time envelope t^b·e^(−ct), fixed by the fraction of the window at
// which it peaks (eps) and the fraction of the peak left at the window's end (eta):
// b = (−eps·ln eta) / ((ln eps − 1)·eps + 1). About 1.25 for 0.2 and 0.05.
float window_exponent(float window_eps, float window_eta);

struct SpectrumPlan {
    std::size_t np2 = 0;         // transform length, even, >= 2
    std::size_t fold_count = 0;  // np2/2 + 1 bins from 0 Hz to Nyquist
    std::vector<float> frequency_hz;      // fold_count: k·df, df = 1/(np2·dt)
    std::vector<float> log_frequency_hz;  // fold_count: ln f, −inf at 0 Hz
    std::vector<float> path_exponent;     // fold_count: f^(1 − q_exponent)
    std::vector<float> envelope_power;    // np2: (i·dt)^b

    // An odd np2 or one below 2 is an internal stop.
    static SpectrumPlan create(std::size_t np2, float dt, float q_exponent, float window_eps, float window_eta);

    // good_length of trunc(2·window_s/dt): the transform spans at least twice the window.
    static std::size_t length_for(float window_s, float dt);
    // length_for, but no longer than good_length(2·(record samples from start_sample to the
    // end of the record)), so arrivals near the end of the record use shorter transforms.
    static std::size_t length_for_arrival(float window_s, float dt, std::int32_t start_sample, std::size_t ndata);
};

// The plans of one station run, keyed by length. References handed out stay valid for the
// cache's life (the map's nodes never move and plans are never rebuilt or removed).
class PlanCache {
public:
    static PlanCache create(float dt, float q_exponent, float window_eps, float window_eta);
    const SpectrumPlan& for_length(std::size_t np2);
    std::size_t size() const { return plans_.size(); }

private:
    PlanCache(float dt, float q_exponent, float window_eps, float window_eta)
        : dt_(dt), q_exponent_(q_exponent), window_eps_(window_eps), window_eta_(window_eta) {}

    std::unordered_map<std::size_t, SpectrumPlan> plans_;
    float dt_;
    float q_exponent_;
    float window_eps_;
    float window_eta_;
};

// Constants of a whole segment pass.
struct SourceModel {
    float dt;          // s
    float window_eps;  // fraction of the window at the envelope's peak (0.2)
    float window_eta;  // fraction of the peak left at the window's end (0.05)
    float kappa_s;     // > 0 selects the kappa high cut, otherwise the fmax high cut
};

// What the spectrum needs to know about one ray.
struct RayPath {
    float distance_km;            // length of the ray path
    float window_s;               // duration of the subfault's time window
    float shear_velocity_km_s;    // at the source
    float density_g_cm3;          // at the source
    float corner_frequency_hz;    // of the subfault
    float subevent_moment;        // dyne·cm of one subevent
    float moment_scale;           // subevent scaling ratio of the subfault
    float fmax_hz;                // high cut of the component
    float qbar;                   // path attenuation integral (travel time over Q), s
};

// Reusable scratch of a segment pass; sized once for the segment's longest transform.
struct SpectrumShape {
    std::vector<float> envelope;    // first np2 valid after refresh
    std::vector<double> amplitude;  // 1 … fold_count−1 valid after refresh; [0] stays 0
    std::vector<float> deviates;    // noise buffer of stochastic_spectrum
    float dt = 0.0f;                // copied from the SourceModel by refresh
    std::size_t refreshed_np2 = 0;  // length of the plan of the last refresh (0: none yet)

    static SpectrumShape with_capacity(std::size_t n);
    std::size_t capacity() const { return envelope.size(); }

    // A plan longer than the capacity is an internal stop.
    void refresh(const SpectrumPlan& plan, const SourceModel& model, const RayPath& path);
};

// Overwrites `spectrum` (np2 bins, the plan of the shape's last refresh) with a Hermitian
// spectrum of enveloped white noise from `rng` carrying the shape's amplitude; draws np2
// normal deviates. Lengths that disagree with the plan or the last refresh are internal stops.
void stochastic_spectrum(rng::DrawSource& rng, const SpectrumPlan& plan, SpectrumShape& shape,
                         std::span<std::complex<float>> spectrum);

// Applies the per-bin gain `radiation` (fold_count bins, mirrored onto the negative
// frequencies), inverts, scales by 1/(n·0.4473) and tapers the last tenth with a half cosine.
// `spectrum` (n = 2·fold_count − 2 bins) is used as scratch; `time_series` has n samples.
void radiate_and_invert(std::span<std::complex<float>> spectrum, std::span<const float> radiation,
                        std::span<float> time_series);

}  // namespace quillon::stoc
