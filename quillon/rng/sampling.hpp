// Turning raw generator words into deviates: the uniform mapping of a 32-bit word onto
// [0, 1), and the standard-normal sampler that both generators feed with 64-bit words.
//
// The normal sampler is a 256-layer Ziggurat (Marsaglia and Tsang's construction) working in
// f64; callers round its result to f32. The normal density f(x) = exp(-x²/2) is covered,
// on x >= 0, by 255 horizontal rectangles of equal area V plus a base strip that is a
// rectangle of height f(R) reaching out to R together with the whole tail beyond R, again of
// area V. Layer i (i = 1 … 255) spans x in [0, x[i]] and heights [f(x[i]), f(x[i+1])]; the
// base layer 0 has the pseudo-width x[0] = V / f(R), so that a uniform point of it lands
// in the rectangle part with the right probability. x[1] = R, x[256] = 0.
//
// One attempt consumes one 64-bit word, split without overlap:
//   bits 0 … 7    the layer i;
//   bit 8         the sign of the result;
//   bits 11 … 63  a 53-bit uniform u in [0, 1), giving the candidate x = u·x[i].
// If x < x[i+1] the point lies inside the curve for certain and x is returned (about 98.8 %
// of attempts). Otherwise, in layers 1 … 255 a second word gives a height y uniform in
// [f(x[i]), f(x[i+1])) and x is accepted when y < f(x) (the wedge test); in the base layer x
// is beyond R and a value is drawn from the exact tail by Marsaglia's method
// (x = −ln(u1)/R, y = −ln(u2), accepted when 2y > x², result R + x; two words per try,
// uniforms taken from the open interval (0, 1) so that the logarithms stay finite). A
// rejected wedge starts a fresh attempt with a new word. The number of words per deviate is
// therefore variable, and the sampler is a pure function of its word stream.
//
// The tables are computed once per process on first use (a function-local static, whose
// initialisation the language makes thread-safe) from R = 3.6541528853610088 and
// V = R·f(R) + sqrt(π/2)·erfc(R/√2), by the recursion
// x[i+1] = sqrt(−2·ln(V/x[i] + f(x[i]))).
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

namespace quillon::rng {

// (word >> 8) times 2^-24: one of the 2^24 values k·2^-24, exact in f32; 0 can occur, 1 cannot.
inline float unit_interval_from(std::uint32_t word) {
    return static_cast<float>(word >> 8) * 0x1.0p-24f;
}

struct ZigguratTables {
    static constexpr int layer_count = 256;
    static constexpr double tail_start = 3.6541528853610088;  // R, the base of the tail
    std::array<double, layer_count + 1> x;                    // layer widths, x[256] = 0
    std::array<double, layer_count + 1> f;                    // f(x[i]) = exp(−x[i]²/2)
};

// The process-wide tables, built on first call.
const ZigguratTables& ziggurat_tables();

namespace detail {

// 53 uniform bits from the top of the word: [0, 1).
inline double closed_open_53(std::uint64_t word) {
    return static_cast<double>(word >> 11) * 0x1.0p-53;
}

// The same 53 bits shifted by half a step: (0, 1), never 0 or 1.
inline double open_open_53(std::uint64_t word) {
    return (static_cast<double>(word >> 11) + 0.5) * 0x1.0p-53;
}

// x with its sign bit flipped when bit 8 of the word is set: the same value as a negation,
// without a branch that the processor would mispredict half of the time.
inline double with_sign_of(std::uint64_t word, double x) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ ((word & 0x100u) << 55));
}

}  // namespace detail

// One standard-normal deviate in f64 from the words of next_word (a callable returning
// std::uint64_t), with tables fetched once by the caller.
template <class NextWord>
double standard_normal(const ZigguratTables& t, NextWord&& next_word) {
    for (;;) {
        const std::uint64_t word = next_word();
        const unsigned layer = static_cast<unsigned>(word & 0xFFu);
        const double x = detail::closed_open_53(word) * t.x[layer];
        if (x < t.x[layer + 1]) return detail::with_sign_of(word, x);

        if (layer == 0) {
            // Beyond R: the exact normal tail, conditioned on |x| > R.
            const double r = ZigguratTables::tail_start;
            for (;;) {
                const double tail_x = -std::log(detail::open_open_53(next_word())) / r;
                const double tail_y = -std::log(detail::open_open_53(next_word()));
                if (tail_y + tail_y > tail_x * tail_x) {
                    return detail::with_sign_of(word, r + tail_x);
                }
            }
        }

        // The wedge between the rectangle of layer i and the curve.
        const double height = t.f[layer] + detail::closed_open_53(next_word()) * (t.f[layer + 1] - t.f[layer]);
        if (height < std::exp(-0.5 * x * x)) return detail::with_sign_of(word, x);
    }
}

}  // namespace quillon::rng
