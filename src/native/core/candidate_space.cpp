#include "core/candidate_space.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace karrow::core {

namespace {

const char* const kTooManyCandidates = "the number of candidates exceeds 2**64 - 1; _get_size() counts it exactly";

constexpr std::uint32_t npos = std::numeric_limits<std::uint32_t>::max();

// a * b, or false when it does not fit.
bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t* out) {
    return !__builtin_mul_overflow(a, b, out);
}

bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t* out) {
    return !__builtin_add_overflow(a, b, out);
}

}  // namespace

std::uint64_t selection_row(std::uint64_t bits, std::size_t length) {
    if (length < 2) return bits;
    const std::uint64_t first = bits & 1u;
    const std::uint64_t second = (bits >> 1) & 1u;
    return (bits & ~std::uint64_t{3}) | (first << 1) | second;
}

std::uint64_t selection_bits(std::uint64_t row, std::size_t length) {
    // Swapping the two lowest bits is its own inverse.
    return selection_row(row, length);
}

CandidateSpace::CandidateSpace(SpaceDimensions dims) : dims_(std::move(dims)) {
    const std::size_t n = dims_.dims.size();
    if (n > max_dimensions) throw std::overflow_error("a candidate space handles at most 63 dimensions");
    if (n == 0 || dims_.first_count == 0) return;
    if (dims_.universe >= npos) throw std::overflow_error("too many distinct column ids");

    position_of_.assign(n, std::vector<std::uint32_t>(dims_.universe, npos));
    for (std::size_t j = 0; j < n; ++j) {
        const auto& ids = dims_.dims[j];
        for (std::size_t p = 0; p < ids.size(); ++p) {
            if (ids[p] >= dims_.universe) throw std::out_of_range("column id outside the universe");
            position_of_[j][ids[p]] = static_cast<std::uint32_t>(p);
        }
    }
    inside_.assign(dims_.universe, 0);

    Node root;
    root.parent = 0;
    root.depth = 0;
    root.select = 0;
    root.subset.resize(dims_.dims[0].size());
    for (std::size_t p = 0; p < root.subset.size(); ++p) root.subset[p] = static_cast<std::uint32_t>(p);
    root.seq = {dims_.first_count};
    nodes_.push_back(std::move(root));
    build_children(0);
    // The membership marks are only needed while building.
    inside_.clear();
    inside_.shrink_to_fit();
}

void CandidateSpace::build_children(std::uint32_t node_index) {
    const std::size_t n = dims_.dims.size();
    const std::size_t depth = nodes_[node_index].depth;
    if (depth + 1 == n) {
        add_leaf(node_index);
        return;
    }
    const std::uint64_t bit = std::uint64_t{1} << depth;
    for (std::uint32_t p : nodes_[node_index].subset) inside_[dims_.dims[depth][p]] |= bit;

    // Bucket the next dimension's ids by their membership in the path's subsets;
    // the stable sort keeps each bucket in the dimension's ascending order.
    const std::size_t child_depth = depth + 1;
    const std::uint64_t mask = (std::uint64_t{1} << child_depth) - 1;
    const auto& next_ids = dims_.dims[child_depth];
    std::vector<std::pair<std::uint64_t, std::uint32_t>> rows(next_ids.size());
    for (std::size_t p = 0; p < next_ids.size(); ++p) {
        rows[p] = {selection_row(inside_[next_ids[p]] & mask, child_depth), static_cast<std::uint32_t>(p)};
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    for (std::size_t begin = 0; begin < rows.size();) {
        std::size_t end = begin;
        while (end < rows.size() && rows[end].first == rows[begin].first) ++end;
        const std::uint64_t select = selection_bits(rows[begin].first, child_depth);

        Node child;
        child.parent = node_index;
        child.depth = static_cast<std::uint32_t>(child_depth);
        child.select = select;
        bool positive = true;
        for (std::size_t level = 0; level < child_depth; ++level) {
            const std::uint64_t left = nodes_[node_index].seq[level];
            const std::uint64_t used = (select >> level) & 1u;
            if (left <= used) positive = false;
            child.seq.push_back(left > used ? left - used : 0);
        }
        if (positive) {
            child.seq.push_back(end - begin);
            child.subset.reserve(end - begin);
            for (std::size_t r = begin; r < end; ++r) child.subset.push_back(rows[r].second);
            nodes_.push_back(std::move(child));
            build_children(static_cast<std::uint32_t>(nodes_.size() - 1));
        }
        begin = end;
    }

    for (std::uint32_t p : nodes_[node_index].subset) inside_[dims_.dims[depth][p]] &= ~bit;
}

void CandidateSpace::add_leaf(std::uint32_t node_index) {
    std::uint64_t size = 1;
    for (std::uint64_t s : nodes_[node_index].seq) {
        if (!checked_mul(size, s, &size)) throw std::overflow_error(kTooManyCandidates);
    }
    if (size == 0) return;
    std::uint64_t end = 0;
    if (!checked_add(total_, size, &end)) throw std::overflow_error(kTooManyCandidates);
    leaves_.push_back(Leaf{total_, size, node_index});
    total_ = end;
}

DecodeStatus CandidateSpace::decode(std::uint64_t index, std::uint32_t* positions, std::uint64_t* remainder) const {
    if (index >= total_ || leaves_.empty()) return DecodeStatus::out_of_range;
    auto it = std::upper_bound(leaves_.begin(), leaves_.end(), index,
                               [](std::uint64_t i, const Leaf& leaf) { return i < leaf.left; });
    const Leaf& leaf = *(it - 1);
    std::uint64_t actual = index - leaf.left;

    const std::size_t n = dims_.dims.size();
    const Node* path[max_dimensions];
    std::uint32_t chosen[max_dimensions];
    {
        std::uint32_t at = leaf.node;
        for (std::size_t d = n; d-- > 0;) {
            path[d] = &nodes_[at];
            at = nodes_[at].parent;
        }
    }

    // Last dimension first: each level draws from its subset minus the ids the
    // later levels took, and only levels nested inside it can have taken any.
    std::uint32_t taken[max_dimensions];
    for (std::size_t j = n; j-- > 0;) {
        const Node& node = *path[j];
        std::size_t ntaken = 0;
        for (std::size_t l = j + 1; l < n; ++l) {
            if (((path[l]->select >> j) & 1u) == 0) continue;
            const std::uint32_t p = position_of_[j][chosen[l]];
            taken[ntaken++] = static_cast<std::uint32_t>(
                std::lower_bound(node.subset.begin(), node.subset.end(), p) - node.subset.begin());
        }
        std::sort(taken, taken + ntaken);
        const std::uint64_t free_count = node.subset.size() - ntaken;
        if (free_count == 0) {
            *remainder = actual;
            return DecodeStatus::no_choice;
        }
        std::uint64_t k = actual % free_count;
        actual /= free_count;
        for (std::size_t t = 0; t < ntaken && taken[t] <= k; ++t) ++k;
        positions[j] = node.subset[k];
        chosen[j] = dims_.dims[j][positions[j]];
    }
    return DecodeStatus::ok;
}

}  // namespace karrow::core
