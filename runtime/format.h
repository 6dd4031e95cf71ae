// The program's printf formatting, over the C library it already has, and
// the 64-bit division helpers the compiler calls on the i386. Portable: the
// host tests check them against the host's C library and processor, the
// Windows-side tests the formatting against MSVCRT.DLL.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace cvrt {

// vsnprintf with the answer of the oldest systems' C library: MSVCRT.DLL's
// _vsnprintf on Windows (every Windows the program runs on has it; C99's
// vsnprintf came only with later runtimes), the C library's vsnprintf
// elsewhere. Writes at most size bytes, always terminated when size > 0.
// Returns the length of the text when all of it fit with its terminator, and
// -1 when it was cut (or size is 0, or the library refused the format): not
// C99's length of the whole text. The conversions are the library's: the
// program uses only %s, %d and %x with flags, width and precision, which
// every MSVCRT.DLL knows (GCC checks the program's formats against MSVCRT's
// conversions on Windows: format(printf) is ms_printf there).
int FormatV(char* buffer, std::size_t size, const char* format, std::va_list args);

// Quotient and remainder of 64-bit integers with 32-bit arithmetic only.
// A zero divisor faults as the processor's divide does. Signed: the quotient
// rounds toward zero, the remainder takes the dividend's sign.
std::uint64_t UDivMod64(std::uint64_t n, std::uint64_t d, std::uint64_t* remainder);
std::int64_t DivMod64(std::int64_t n, std::int64_t d, std::int64_t* remainder);

}  // namespace cvrt
