// The selectors' greedy pick over doubles, without the quadratic rescans.
// No Python here.
#pragma once

#include <cstddef>
#include <vector>

namespace karrow::core {

// Result of the selectors' greedy loop
//
//     repeat `rounds` times:
//         take the first maximum of `values`, scanning left to right and
//         replacing the running best only by a strictly greater value;
//         stop if that maximum is -inf;
//         record its position and overwrite it with -inf
//
// with IEEE comparisons, which are also Python's for floats: `x > NaN` and
// `NaN > x` are both false, so a NaN in position 0 is the running best until
// it is taken, and a NaN anywhere else is never taken.
//
// Returns the positions in the order the loop takes them. Runs in
// O(n + r log r) for n values and r picks instead of O(n r). An empty `values`
// yields no picks (the caller decides what an empty scan means).
std::vector<std::size_t> greedy_top_k(const double* values, std::size_t n, std::size_t rounds);

}  // namespace karrow::core
