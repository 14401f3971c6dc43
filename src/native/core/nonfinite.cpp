#include "core/nonfinite.hpp"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace karrow::core {

namespace {

// Counts the non-finite values of a contiguous run. Branch-free, so that the
// compiler vectorises it: most columns hold none, and then this read is the
// whole pass. Single and double values are tested as floats (x - x is 0 exactly
// for finite x), since SSE2 has no 64-bit integer comparison; half values by
// their exponent bits.
template <class Bits, Bits ExpMask>
inline __attribute__((always_inline)) std::size_t count_contiguous_body(const char* p, std::ptrdiff_t n) {
    using Value = std::conditional_t<sizeof(Bits) == 8, double, std::conditional_t<sizeof(Bits) == 4, float, Bits>>;
    constexpr std::ptrdiff_t chunk = 1 << 15;  // below the 16-bit counters' range
    std::size_t hits = 0;
    for (std::ptrdiff_t start = 0; start < n; start += chunk) {
        const std::ptrdiff_t stop = n - start < chunk ? n : start + chunk;
        Bits count = 0;  // lanes as wide as the values
        for (std::ptrdiff_t i = start; i < stop; ++i) {
            Value v;
            std::memcpy(&v, p + i * static_cast<std::ptrdiff_t>(sizeof(Value)), sizeof(Value));
            if constexpr (std::is_floating_point_v<Value>) {
                count = static_cast<Bits>(count + static_cast<Bits>(!(v - v == Value(0))));
            } else {
                count = static_cast<Bits>(count + static_cast<Bits>((v & ExpMask) == ExpMask));
            }
        }
        hits += count;
    }
    return hits;
}

// The scan is most of the cost of a clean column, so it is also built for AVX2
// and picked at load time where the processor has it.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__)
#define KARROW_SCAN_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KARROW_SCAN_CLONES
#endif

KARROW_SCAN_CLONES std::size_t count_contiguous_16(const char* p, std::ptrdiff_t n) {
    return count_contiguous_body<std::uint16_t, 0x7C00u>(p, n);
}
KARROW_SCAN_CLONES std::size_t count_contiguous_32(const char* p, std::ptrdiff_t n) {
    return count_contiguous_body<std::uint32_t, 0x7F800000u>(p, n);
}
KARROW_SCAN_CLONES std::size_t count_contiguous_64(const char* p, std::ptrdiff_t n) {
    return count_contiguous_body<std::uint64_t, 0x7FF0000000000000ull>(p, n);
}

template <class Bits>
std::size_t count_contiguous(const char* p, std::ptrdiff_t n) {
    if constexpr (sizeof(Bits) == 2) return count_contiguous_16(p, n);
    if constexpr (sizeof(Bits) == 4) return count_contiguous_32(p, n);
    return count_contiguous_64(p, n);
}

// An IEEE value is NaN or infinite exactly when all exponent bits are set.
template <class Bits, Bits ExpMask, bool Write>
std::size_t run_1d(char* p, std::ptrdiff_t n, std::ptrdiff_t stride) {
    std::size_t hits = 0;
    if (stride == static_cast<std::ptrdiff_t>(sizeof(Bits))) {
        const std::size_t found = count_contiguous<Bits>(p, n);
        if (!Write || found == 0) return found;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            Bits b;
            std::memcpy(&b, p + i * stride, sizeof(Bits));
            if ((b & ExpMask) == ExpMask) {
                ++hits;
                if constexpr (Write) {
                    const Bits zero = 0;
                    std::memcpy(p + i * stride, &zero, sizeof(Bits));
                }
            }
        }
        return hits;
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        char* q = p + i * stride;
        Bits b;
        std::memcpy(&b, q, sizeof(Bits));
        if ((b & ExpMask) == ExpMask) {
            ++hits;
            if constexpr (Write) {
                const Bits zero = 0;
                std::memcpy(q, &zero, sizeof(Bits));
            }
        }
    }
    return hits;
}

template <bool Write>
std::size_t run_1d_any(char* p, std::size_t itemsize, std::ptrdiff_t n, std::ptrdiff_t stride) {
    switch (itemsize) {
        case 2: return run_1d<std::uint16_t, 0x7C00u, Write>(p, n, stride);
        case 4: return run_1d<std::uint32_t, 0x7F800000u, Write>(p, n, stride);
        case 8: return run_1d<std::uint64_t, 0x7FF0000000000000ull, Write>(p, n, stride);
        default: return 0;
    }
}

template <bool Write>
std::size_t walk(char* p, std::size_t itemsize, int ndim, const std::ptrdiff_t* shape, const std::ptrdiff_t* strides) {
    if (ndim == 0) return run_1d_any<Write>(p, itemsize, 1, static_cast<std::ptrdiff_t>(itemsize));
    if (ndim == 1) return run_1d_any<Write>(p, itemsize, shape[0], strides[0]);
    // Walk the outer axes so that the innermost loop runs along the smallest
    // stride of an axis longer than 1 (a length-1 axis, such as the column axis
    // of an (n, 1) array, would make the inner loop one element long).
    int inner = -1;
    for (int k = 0; k < ndim; ++k) {
        if (shape[k] <= 1) continue;
        const auto sk = strides[k] < 0 ? -strides[k] : strides[k];
        const auto si = inner < 0 ? sk : (strides[inner] < 0 ? -strides[inner] : strides[inner]);
        if (inner < 0 || sk < si) inner = k;
    }
    if (inner < 0) inner = ndim - 1;
    std::ptrdiff_t outer_shape[32];
    std::ptrdiff_t outer_strides[32];
    int m = 0;
    for (int k = 0; k < ndim; ++k) {
        if (k == inner) continue;
        outer_shape[m] = shape[k];
        outer_strides[m] = strides[k];
        ++m;
    }
    std::size_t hits = 0;
    std::ptrdiff_t idx[32] = {0};
    for (int k = 0; k < m; ++k) {
        if (outer_shape[k] == 0) return 0;
    }
    while (true) {
        char* q = p;
        for (int k = 0; k < m; ++k) q += idx[k] * outer_strides[k];
        hits += run_1d_any<Write>(q, itemsize, shape[inner], strides[inner]);
        int k = m - 1;
        while (k >= 0) {
            if (++idx[k] < outer_shape[k]) break;
            idx[k] = 0;
            --k;
        }
        if (k < 0) break;
    }
    return hits;
}

}  // namespace

bool nonfinite_supported(std::size_t itemsize) { return itemsize == 2 || itemsize == 4 || itemsize == 8; }

std::size_t replace_nonfinite(char* data, std::size_t itemsize, int ndim, const std::ptrdiff_t* shape,
                              const std::ptrdiff_t* strides) {
    if (ndim > 32) return 0;
    return walk<true>(data, itemsize, ndim, shape, strides);
}

std::size_t count_nonfinite(const char* data, std::size_t itemsize, int ndim, const std::ptrdiff_t* shape,
                            const std::ptrdiff_t* strides) {
    if (ndim > 32) return 0;
    return walk<false>(const_cast<char*>(data), itemsize, ndim, shape, strides);
}

}  // namespace karrow::core
