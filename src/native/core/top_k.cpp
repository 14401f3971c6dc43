#include "core/top_k.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace karrow::core {

std::vector<std::size_t> greedy_top_k(const double* values, std::size_t n, std::size_t rounds) {
    std::vector<std::size_t> picks;
    if (n == 0 || rounds == 0) return picks;

    // A leading NaN is never beaten, so the first round takes it whatever
    // follows; from then on position 0 holds -inf like any taken position.
    std::size_t first = 0;
    if (std::isnan(values[0])) {
        picks.push_back(0);
        --rounds;
        first = 1;
    }

    // With a number in position 0 the scan's running best is always a number,
    // so NaNs elsewhere never win, and a round whose best is -inf ends the loop:
    // the rounds take the largest finite-or-+inf values, earlier position first
    // among equal ones, in that order.
    const double neg_inf = -std::numeric_limits<double>::infinity();
    std::vector<std::size_t> candidates;
    candidates.reserve(n - first);
    for (std::size_t i = first; i < n; ++i) {
        if (!std::isnan(values[i]) && values[i] != neg_inf) candidates.push_back(i);
    }
    const auto taken_before = [values](std::size_t a, std::size_t b) {
        return values[a] > values[b] || (values[a] == values[b] && a < b);
    };
    if (candidates.size() > rounds) {
        std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(rounds),
                         candidates.end(), taken_before);
        candidates.resize(rounds);
    }
    std::sort(candidates.begin(), candidates.end(), taken_before);
    picks.insert(picks.end(), candidates.begin(), candidates.end());
    return picks;
}

}  // namespace karrow::core
