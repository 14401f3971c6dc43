// Replacement of NaN and +/-infinity by zero over IEEE float buffers of any
// shape and stride, in one pass. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace karrow::core {

// Element widths that are handled: 2 (half), 4 (single) and 8 (double) bytes.
bool nonfinite_supported(std::size_t itemsize);

// Walks the strided buffer and overwrites every non-finite element with +0.
// Returns the number of elements replaced.
std::size_t replace_nonfinite(char* data, std::size_t itemsize, int ndim, const std::ptrdiff_t* shape,
                              const std::ptrdiff_t* strides);

// Counts non-finite elements without writing.
std::size_t count_nonfinite(const char* data, std::size_t itemsize, int ndim, const std::ptrdiff_t* shape,
                            const std::ptrdiff_t* strides);

}  // namespace karrow::core
