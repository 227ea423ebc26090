// How numbers appear in the messages users read: the shortest decimal that reads back as the
// same value, positional (never an exponent), no fractional part when whole; NaN as "NaN",
// infinities as "inf" and "-inf", negative zero as "-0". Shapes as (rows, columns), lists of
// lengths as [a, b, c].
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace quillon {

std::string format_number(float value);
std::string format_number(double value);
std::string format_shape(std::size_t rows, std::size_t columns);
std::string format_lengths(std::span<const std::size_t> lengths);

}  // namespace quillon
