// The candidates of one column held in the IEEE total order of their keys, so
// that the first-minimum choice of every ordering is a lookup instead of a scan
// of the column.
//
// Entries are fixed when the set is built and sorted by (key in total order,
// row); erase and insert only switch an entry off and on. A row may own several
// entries (for instance its current key and a key it takes later) as long as at
// most one of them is active at a time.
//
// The answers are exactly those of the first-minimum rule applied, in ascending
// row order, to the active entries:
//   smallest()     cmp_ascending: smallest key, earliest row among equal keys
//   largest()      cmp_descending: largest key, earliest row among equal keys
//   nearest(ref)   cmp_nearest: smallest (key - ref)^2 in total order, earliest row
// Building sorts the entries; a query or an erase then costs O(log n), except
// nearest with a NaN reference, which scans (no distance is then ordered).
//
// An object is not safe for concurrent use, not even through its queries.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/float_bits.hpp"

namespace porosa {

// Membership of 0 .. n-1 with next/previous member in O(log64 n): a bitset with a
// summary level per factor of 64.
class ActiveSet {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    ActiveSet() = default;
    // All of 0 .. n-1 present.
    explicit ActiveSet(std::size_t n);

    std::size_t capacity() const noexcept { return n_; }
    bool contains(std::size_t i) const noexcept { return (levels_[0][i >> 6] >> (i & 63)) & 1; }
    void insert(std::size_t i) noexcept;
    void erase(std::size_t i) noexcept;
    // The first member >= i, or npos.
    std::size_t next(std::size_t i) const noexcept;
    // The last member <= i, or npos; i may be anything below capacity().
    std::size_t prev(std::size_t i) const noexcept;

private:
    std::size_t n_ = 0;
    std::vector<std::vector<std::uint64_t>> levels_;
};

class OrderedCandidates {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    struct Entry {
        double key;
        std::uint32_t row;
    };

    OrderedCandidates() = default;
    // Every entry starts active. Fewer than 2^32 - 1 entries.
    explicit OrderedCandidates(std::span<const Entry> entries);
    // Entries the caller has already sorted by (order_key(key), row), keys given
    // as order_key (core/float_bits.hpp); strictly ascending, else an internal
    // failure.
    OrderedCandidates(std::vector<std::uint64_t> sorted_keys, std::vector<std::uint32_t> rows);

    // Hands the sorted keys and rows back for reuse and leaves the set empty.
    std::pair<std::vector<std::uint64_t>, std::vector<std::uint32_t>> release() &&;

    // Entries, active or not; indices below are positions in the sorted order.
    std::size_t size() const noexcept { return keys_.size(); }
    std::size_t remaining() const noexcept { return remaining_; }
    std::uint32_t row(std::size_t index) const noexcept { return rows_[index]; }
    double key(std::size_t index) const noexcept { return from_order_key(keys_[index]); }
    bool active(std::size_t index) const noexcept { return active_.contains(index); }

    void erase(std::size_t index);
    void insert(std::size_t index);

    // The index the ordering picks among the active entries, npos when none is.
    std::size_t smallest() const noexcept;
    std::size_t largest() const noexcept;
    std::size_t nearest(double reference) const;
    // nearest() when the caller already knows where the reference falls:
    // `split` must be position_of(reference), the number of entries whose key
    // is at or below the reference in total order. Callers with many references
    // can find all of them in one merge instead of a search each.
    std::size_t nearest(double reference, std::size_t split) const;
    std::size_t position_of(double reference) const noexcept;
    // Asks for the memory a nearest() at this split reads first, so that a
    // caller who knows its next splits can have them arrive ahead of time.
    void prefetch(std::size_t split) const noexcept;

private:
    // Everything but the sort: the search guide, the active set, the ranges of
    // numbers and of NaN keys.
    void index_sorted();
    // Smallest active row (and its index) over sorted positions [begin, end).
    std::uint64_t min_row_in(std::size_t begin, std::size_t end) const;
    void build_tree() const;
    // A NaN reference makes every distance a NaN whose bits come from the
    // platform's NaN propagation, so nothing is left to search by.
    std::size_t nearest_by_scan(double reference) const;
    // The first sorted position whose key is above k.
    std::size_t upper_bound(std::uint64_t k) const noexcept;

    // Sorted; keys as the total-order key in an unsigned word. Kept apart so that
    // a search touches keys only.
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint32_t> rows_;
    // Every kGuideStep-th key: a search starts here, in a table that stays in cache.
    static constexpr std::size_t kGuideStep = 64;
    std::vector<std::uint64_t> guide_;
    ActiveSet active_;
    std::size_t remaining_ = 0;
    // Sorted positions [mid_begin_, mid_end_) hold the keys that are numbers; the
    // NaN keys before and after are split into runs of equal bits.
    std::size_t mid_begin_ = 0, mid_end_ = 0;
    std::size_t finite_begin_ = 0, finite_end_ = 0;  // the finite numbers among them
    std::vector<std::pair<std::size_t, std::size_t>> nan_runs_;  // [begin, end)
    // Range minimum of (row << 32 | index) over the active entries, built the
    // first time a nearest query meets several entries at the same distance.
    mutable std::vector<std::uint64_t> tree_;
};

}  // namespace porosa
