// The program's printf formatting (the C library of the oldest systems has no
// C99 vsnprintf), and the 64-bit division helpers the compiler calls on the
// i386. Portable: the host tests check them against the host's C library.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace cvrt {

// C99 vsnprintf for the conversions d i u o x X c s p % with the flags
// - + space # 0, width and precision (also as *), and the lengths hh h l ll
// j z t. Writes at most size bytes, always terminated when size > 0; returns
// the length of the whole text. Other conversions (floating point, %n, wide
// characters) are copied as written, their argument skipped where its type
// is known.
int FormatV(char* buffer, std::size_t size, const char* format, std::va_list args);

// Quotient and remainder of 64-bit integers with 32-bit arithmetic only.
// A zero divisor faults as the processor's divide does. Signed: the quotient
// rounds toward zero, the remainder takes the dividend's sign.
std::uint64_t UDivMod64(std::uint64_t n, std::uint64_t d, std::uint64_t* remainder);
std::int64_t DivMod64(std::int64_t n, std::int64_t d, std::int64_t* remainder);

}  // namespace cvrt
