#include "core/nonfinite.hpp"

#include <cstring>

namespace karrow::core {

namespace {

// An IEEE value is NaN or infinite exactly when all exponent bits are set.
template <class Bits, Bits ExpMask, bool Write>
std::size_t run_1d(char* p, std::ptrdiff_t n, std::ptrdiff_t stride) {
    std::size_t hits = 0;
    if (stride == static_cast<std::ptrdiff_t>(sizeof(Bits))) {
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
    // Walk the outer axes so that the innermost loop runs along the smallest stride.
    int inner = ndim - 1;
    for (int k = 0; k < ndim; ++k) {
        const auto sk = strides[k] < 0 ? -strides[k] : strides[k];
        const auto si = strides[inner] < 0 ? -strides[inner] : strides[inner];
        if (shape[k] > 1 && sk < si) inner = k;
    }
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
