// The space of tuples of distinct ids, one id per dimension, as a tree of
// blocks. Ids are plain integers here: the caller maps its own objects to
// them. No Python here.
//
// Every dimension k >= 1 is split against the subsets chosen on the path above
// it: an id of dimension k lands in the block whose selection vector says, for
// each earlier level j, whether the id lies inside (1) or outside (0) that
// level's subset. An id has exactly one such vector, so the blocks of a node are
// found by bucketing its dimension's ids by membership, not by trying all 2^k
// vectors. Blocks are ordered by the row number of their vector in the fixed
// selection-vector order; leaves are numbered depth first in that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace karrow::core {

// What the space is built from.
struct SpaceDimensions {
    // Number of distinct ids over all dimensions; ids are 0 .. universe-1.
    std::size_t universe = 0;
    // Number of choices of dimension 0 as listed, repetitions included.
    std::uint64_t first_count = 0;
    // Per dimension, its distinct ids in that dimension's ascending order.
    std::vector<std::vector<std::uint32_t>> dims;
};

// The deepest space that is handled: row numbers of selection vectors are
// 64-bit words.
constexpr std::size_t max_dimensions = 63;

// Row number, in the fixed selection-vector order, of the vector whose entry j
// is bit j of `bits`, for vectors of `length` entries: the second entry varies
// fastest, then the first, then the third, fourth and so on.
std::uint64_t selection_row(std::uint64_t bits, std::size_t length);
// Inverse of selection_row.
std::uint64_t selection_bits(std::uint64_t row, std::size_t length);

enum class DecodeStatus {
    ok,
    out_of_range,  // no block holds the index
    no_choice,     // a dimension has no free id left (only with repetitions in dimension 0)
};

class CandidateSpace {
public:
    // Throws std::overflow_error when the number of candidates does not fit in
    // 64 bits or beyond max_dimensions.
    explicit CandidateSpace(SpaceDimensions dims);

    std::size_t ndim() const { return dims_.dims.size(); }
    std::uint64_t size() const { return total_; }

    // Decodes `index` into, for each dimension j, the position of its id in
    // dims[j] (written to positions[j]). On no_choice, `remainder` receives the
    // running index at the dimension that had nothing left.
    DecodeStatus decode(std::uint64_t index, std::uint32_t* positions, std::uint64_t* remainder) const;

private:
    struct Node {
        std::uint32_t parent;            // index in nodes_, unused for the root
        std::uint32_t depth;             // dimension of the node's subset
        std::uint64_t select;            // selection vector, bit j = inside level j
        std::vector<std::uint32_t> subset;  // positions in dims[depth], ascending
        std::vector<std::uint64_t> seq;  // choices left per level, depth + 1 entries
    };
    struct Leaf {
        std::uint64_t left;
        std::uint64_t size;
        std::uint32_t node;
    };

    void build_children(std::uint32_t node_index);
    void add_leaf(std::uint32_t node_index);

    SpaceDimensions dims_;
    // position of each id in each dimension (npos when absent)
    std::vector<std::vector<std::uint32_t>> position_of_;
    // bit j set while the current path's subset at level j holds the id
    std::vector<std::uint64_t> inside_;
    std::vector<Node> nodes_;
    std::vector<Leaf> leaves_;
    std::uint64_t total_ = 0;
};

}  // namespace karrow::core
