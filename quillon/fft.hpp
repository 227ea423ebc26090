// The FFT front end: which transform lengths the engine uses, how planned transforms are kept,
// and the calling convention of the in-place complex f32 transforms; plus the baseline
// correction applied to white noise before it is windowed and transformed.
//
// Transforms (FFTW3, single precision), for a buffer x of length n:
//   forward  X[k] = Σ_j x[j]·exp(−2πi·jk/n),   inverse  x[j] = Σ_k X[k]·exp(+2πi·jk/n),
// neither scaled: an inverse after a forward multiplies the data by n.
//
// Reproducibility. A station's record must depend only on its inputs and seed, so a transform
// of a given length and direction must give bit-identical results on every thread, call and
// process. Hence:
//   * Plans are made with FFTW_ESTIMATE, which picks the algorithm from a fixed cost model.
//     Measured plans (FFTW_MEASURE, wisdom) are chosen by timing and may differ between runs.
//   * Plans are made on SIMD-aligned scratch (fftwf_malloc), so FFTW may use its vector
//     codelets. A plan is only ever executed on data of that same alignment: a caller buffer
//     whose alignment differs (fftwf_alignment_of ≠ 0) is copied into a per-thread aligned
//     scratch buffer, transformed there and copied back. The same plan then always runs on
//     aligned data, whatever the caller's allocator did, and the result never depends on the
//     buffer address. Buffers from std::vector / new are 16-byte aligned in practice and take
//     the direct path.
//
// Threads. FFTW's planner (plan creation and destruction) is not thread-safe: both run under
// one process-wide mutex. Executing a plan on caller buffers (fftwf_execute_dft, the
// new-array interface) is thread-safe and takes no lock. Each thread keeps its own map from
// (length, direction) to plan, created on its first transform and released when the thread
// ends; entries are never evicted, so a thread plans each (length, direction) once.
#pragma once

#include <complex>
#include <cstddef>
#include <span>

namespace quillon::fft {

// The smallest L >= at_least of the form m·2^k, m ∈ {1, 3, 5, 7}, k >= 1: even, at least 2,
// never above the next power of two. at_least above 2^63 is an internal stop.
std::size_t good_length(std::size_t at_least);

// In-place, unnormalised transform; an odd length is an internal stop, an empty buffer is
// left alone.
void transform(std::span<std::complex<float>> data, bool forward);
inline void forward(std::span<std::complex<float>> data) { transform(data, true); }
inline void inverse(std::span<std::complex<float>> data) { transform(data, false); }

// Number of plans this thread holds (for tests of plan reuse).
std::size_t thread_plan_count();

// Baseline correction of an acceleration series (f32 throughout): integrates it from rest,
// treating it as linear between samples, to the end velocity ve and displacement de over the
// duration t = (n−1)·dt, and adds the linear acceleration c1 + c2·t' that cancels both, from
// sample 2 on (samples 0 and 1 keep their values). Needs at least two samples.
void remove_quadratic_trend(float dt, std::span<float> acceleration);

}  // namespace quillon::fft
