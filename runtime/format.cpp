#include "runtime/format.h"

#include <cstdio>

namespace cvrt {

int FormatV(char* buffer, std::size_t size, const char* format, std::va_list args) {
    // Not even the terminator fits.
    if (!buffer || size == 0) return -1;
#if defined(_WIN32)
    // MSVCRT.DLL's _vsnprintf writes at most `count` characters and adds the
    // terminator only when the text is shorter; a longer text gives -1. With
    // one byte less than the buffer, the last byte stays for the terminator.
    const int n = _vsnprintf(buffer, size - 1, format, args);
    if (n < 0 || std::size_t(n) >= size - 1) buffer[size - 1] = '\0';
    return n >= 0 && std::size_t(n) < size ? n : -1;
#else
    const int n = std::vsnprintf(buffer, size, format, args);
    return n >= 0 && std::size_t(n) < size ? n : -1;
#endif
}

}  // namespace cvrt
