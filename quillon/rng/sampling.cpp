#include "quillon/rng/sampling.hpp"

#include <cmath>
#include <numbers>

namespace quillon::rng {
namespace {

double density(double x) { return std::exp(-0.5 * x * x); }

ZigguratTables build_tables() {
    constexpr int n = ZigguratTables::layer_count;
    const double r = ZigguratTables::tail_start;
    // Area of every layer: the base rectangle out to R plus the tail beyond it.
    const double area = r * density(r) + std::sqrt(std::numbers::pi / 2.0) * std::erfc(r / std::numbers::sqrt2);

    ZigguratTables t{};
    t.x[0] = area / density(r);
    t.x[1] = r;
    for (int i = 1; i < n - 1; ++i) {
        t.x[i + 1] = std::sqrt(-2.0 * std::log(area / t.x[i] + density(t.x[i])));
    }
    t.x[n] = 0.0;
    for (int i = 0; i <= n; ++i) t.f[i] = density(t.x[i]);
    // The base layer's "width" is not a point of the curve; its height is that of R.
    t.f[0] = density(r);
    return t;
}

}  // namespace

const ZigguratTables& ziggurat_tables() {
    static const ZigguratTables tables = build_tables();
    return tables;
}

}  // namespace quillon::rng
