// The internal-error stop: a violated invariant of the engine (an index outside a grid, an
// odd transform length, a counter or sample-number overflow, a negative ray code) ends the
// current operation with a fixed message. It is a C++ exception so that a call from Python
// unwinds cleanly; the extension module raises it as RuntimeError carrying the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace quillon {

class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void internal_stop(const std::string& message);

// Checked integer arithmetic for counters and sample numbers: an overflow is an internal stop.
std::size_t checked_add(std::size_t a, std::size_t b);
std::size_t checked_mul(std::size_t a, std::size_t b);
std::int32_t checked_add(std::int32_t a, std::int32_t b);
std::int32_t checked_sub(std::int32_t a, std::int32_t b);

}  // namespace quillon
