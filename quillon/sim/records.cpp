#include "quillon/sim/records.hpp"

#include <cmath>

#include "quillon/internal_error.hpp"

namespace quillon::sim {

float capped_fmax(Component component, float fmax_hz) {
    if (component != Component::Vertical) return fmax_hz;
    return fmax_hz < 15.0f ? fmax_hz : 15.0f;
}

RadiationMode radiation_mode(Component component) {
    switch (component) {
        case Component::E090: return HorizontalRadiation{-1.5707964f};
        case Component::N000: return HorizontalRadiation{0.0f};
        case Component::Vertical: break;
    }
    return VerticalRadiation{};
}

Clipping Clipping::for_arrival(std::int32_t start_sample, float window_s, const RunScalars& run) {
    const float peak_sample =
        static_cast<float>(start_sample) + run.window_peak_fraction * window_s / run.dt;
    const float overrun_samples = peak_sample - static_cast<float>(run.ndata);
    if (overrun_samples > 0.0f) return Clipping{1, overrun_samples * run.dt};
    return Clipping{};
}

void Clipping::merge(const Clipping& other) {
    peaks_lost = checked_add(peaks_lost, other.peaks_lost);
    worst_overrun_s = std::fmax(worst_overrun_s, other.worst_overrun_s);
}

void Census::merge(const Census& other) {
    pairs_attempted = checked_add(pairs_attempted, other.pairs_attempted);
    pairs_outside_record = checked_add(pairs_outside_record, other.pairs_outside_record);
    samples_computed = checked_add(samples_computed, other.samples_computed);
    samples_accumulated = checked_add(samples_accumulated, other.samples_accumulated);
}

std::size_t source_layer_for(const std::vector<input::Layer>& vmod, float depth_km) {
    const double depth = depth_km;
    for (std::size_t k = 0; k < vmod.size(); ++k)
        if (!(vmod[k].depth_km < depth)) return k;
    return vmod.size() - 1;
}

}  // namespace quillon::sim
