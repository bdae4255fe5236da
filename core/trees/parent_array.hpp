#pragma once
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "core/runtime/span.hpp"
#include "core/trees/node_id.hpp"

// Forests given as parent arrays: parents[i] is the parent of node i, or
// kNoNode for a node without parent. This is the one place where such arrays
// are checked and turned into orders, depths and children lists; trees,
// Jacobian indices, tree sums and filters all go through it.
namespace vexa {

// A parent array that is not the forest its caller expects. The message
// names an offending node.
struct InvalidParents : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// How many nodes without parent a non-empty forest must have.
enum class Roots { AtLeastOne, ExactlyOne };

// Exclusive prefix sums in place: on entry counts[i + 1] holds the count of
// item i; on return counts[i] is where item i starts, counts.back() the total.
template <typename T>
void countsToOffsets(std::vector<T>& counts) {
    if (counts.empty()) return;
    counts[0] = 0;
    std::partial_sum(counts.begin(), counts.end(), counts.begin());
}

// Every node after its parent. Ascending or descending ids when the links
// allow it (no list is kept then), an explicit list otherwise.
class ParentsFirst {
public:
    enum class Kind { Ascending, Descending, Listed };

    static ParentsFirst ascending(size_t n) { return ParentsFirst(Kind::Ascending, n, {}); }
    static ParentsFirst descending(size_t n) { return ParentsFirst(Kind::Descending, n, {}); }
    static ParentsFirst listed(std::vector<NodeId> order) {
        const size_t n = order.size();
        return ParentsFirst(Kind::Listed, n, std::move(order));
    }

    Kind kind() const { return kind_; }
    size_t size() const { return n_; }
    NodeId at(size_t k) const {
        return kind_ == Kind::Ascending ? NodeId(k) : kind_ == Kind::Descending ? NodeId(n_ - 1 - k) : listed_[k];
    }

    // Parents before children.
    template <typename Visit>
    void forEach(Visit&& visit) const {
        if (kind_ == Kind::Ascending)
            for (size_t i = 0; i < n_; ++i) visit(NodeId(i));
        else if (kind_ == Kind::Descending)
            for (size_t i = n_; i-- > 0;) visit(NodeId(i));
        else
            for (NodeId i : listed_) visit(i);
    }
    // Children before parents.
    template <typename Visit>
    void forEachReversed(Visit&& visit) const {
        if (kind_ == Kind::Ascending)
            for (size_t i = n_; i-- > 0;) visit(NodeId(i));
        else if (kind_ == Kind::Descending)
            for (size_t i = 0; i < n_; ++i) visit(NodeId(i));
        else
            for (auto it = listed_.rbegin(); it != listed_.rend(); ++it) visit(*it);
    }

private:
    ParentsFirst(Kind kind, size_t n, std::vector<NodeId> listed) : kind_(kind), n_(n), listed_(std::move(listed)) {}
    Kind kind_;
    size_t n_;
    std::vector<NodeId> listed_;
};

// Checks that parents describes a forest with the expected roots: every id
// below N or kNoNode, one root or at least one (none for N = 0), no cycle.
// Returns an order with parents first. Throws InvalidParents otherwise.
ParentsFirst checkForest(Span<NodeId> parents, Roots roots = Roots::AtLeastOne);

// Reads int64 parent ids (-1 for none) once into NodeIds, so that later
// passes never look at the caller's buffer again. Throws InvalidParents for
// an id outside -1..N-1 or more nodes than NodeId can count.
std::vector<NodeId> nodeIdsOf(const int64_t* parents, size_t n);

// The same for a forest listed children first, as binary partition trees and
// other merge histories are: every parent id lies after its node and below N
// (which rules out cycles), and no node has more than `maxChildren` children.
// Throws InvalidParents naming the offending node.
std::vector<NodeId> childrenFirstNodeIdsOf(const int64_t* parents, size_t n, uint32_t maxChildren);

// Children of every node in compressed form, ascending ids in each list.
// The ids of parents must be in range (checkForest or construction).
struct ChildLists {
    std::vector<uint32_t> offsets;  // N + 1 entries
    std::vector<NodeId> ids;
    Span<NodeId> of(NodeId id) const { return {ids.data() + offsets[id], size_t(offsets[id + 1] - offsets[id])}; }
};
ChildLists childLists(Span<NodeId> parents);

// Number of proper ancestors of every node, given an order with parents first.
std::vector<uint32_t> depths(Span<NodeId> parents, const ParentsFirst& order);

}  // namespace vexa
