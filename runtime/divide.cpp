#include "runtime/format.h"

namespace cvrt {
namespace {

int LeadingZeros(std::uint64_t v) {
    const std::uint32_t high = std::uint32_t(v >> 32);
    return high ? __builtin_clz(high) : 32 + __builtin_clz(std::uint32_t(v));
}

}  // namespace

std::uint64_t UDivMod64(std::uint64_t n, std::uint64_t d, std::uint64_t* remainder) {
    if ((n >> 32) == 0 && (d >> 32) == 0) {
        // 32-bit operands (a zero divisor faults here)
        const std::uint32_t n32 = std::uint32_t(n), d32 = std::uint32_t(d);
        if (remainder) *remainder = n32 % d32;
        return n32 / d32;
    }
    if (d == 0) {
        volatile std::uint32_t zero = 0;
        return std::uint32_t(n) / zero;
    }
    if (n < d) {
        if (remainder) *remainder = n;
        return 0;
    }
    // Long division, one quotient bit per step from the divisor's highest
    // position under the dividend's down.
    int shift = LeadingZeros(d) - LeadingZeros(n);
    d <<= shift;
    std::uint64_t q = 0;
    for (; shift >= 0; --shift) {
        q <<= 1;
        if (n >= d) {
            n -= d;
            q |= 1;
        }
        d >>= 1;
    }
    if (remainder) *remainder = n;
    return q;
}

std::int64_t DivMod64(std::int64_t n, std::int64_t d, std::int64_t* remainder) {
    const std::uint64_t un = n < 0 ? 0 - std::uint64_t(n) : std::uint64_t(n);
    const std::uint64_t ud = d < 0 ? 0 - std::uint64_t(d) : std::uint64_t(d);
    std::uint64_t ur = 0;
    std::uint64_t uq = UDivMod64(un, ud, &ur);
    if ((n < 0) != (d < 0)) uq = 0 - uq;
    if (n < 0) ur = 0 - ur;
    if (remainder) *remainder = std::int64_t(ur);
    return std::int64_t(uq);
}

}  // namespace cvrt
