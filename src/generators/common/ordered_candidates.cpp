#include "generators/common/ordered_candidates.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/float_bits.hpp"
#include "core/panic.hpp"
#include "generators/common/generator.hpp"
#include "generators/common/key_sort.hpp"

namespace porosa {

namespace {

// The first position in a[0, n) whose value is above k, without branches on the
// data: the searches land anywhere, so a mispredicted branch would cost more
// than the comparisons.
inline std::size_t branchless_upper_bound(const std::uint64_t* a, std::size_t n, std::uint64_t k) noexcept {
    if (n == 0) return 0;
    const std::uint64_t* base = a;
    while (n > 1) {
        const std::size_t half = n / 2;
        base += std::size_t(base[half - 1] <= k) * half;
        n -= half;
    }
    return std::size_t(base - a) + (*base <= k);
}

// The first index in [lo, x] where `pred` holds, given that it holds at x and,
// over [lo, x], fails before it holds. Galloping first: the answer is usually x.
template <class Pred>
std::size_t first_true_down(std::size_t lo, std::size_t x, Pred pred) {
    std::size_t good = x, bad, step = 1;
    for (;;) {
        if (good - lo < step) {
            if (pred(lo)) return lo;
            bad = lo;
            break;
        }
        const std::size_t probe = good - step;
        if (!pred(probe)) {
            bad = probe;
            break;
        }
        good = probe;
        step *= 2;
    }
    while (good - bad > 1) {
        const std::size_t mid = bad + (good - bad) / 2;
        (pred(mid) ? good : bad) = mid;
    }
    return good;
}

// The mirror image: the last index in [x, hi] where `pred` holds.
template <class Pred>
std::size_t last_true_up(std::size_t x, std::size_t hi, Pred pred) {
    std::size_t good = x, bad, step = 1;
    for (;;) {
        if (hi - good < step) {
            if (pred(hi)) return hi;
            bad = hi;
            break;
        }
        const std::size_t probe = good + step;
        if (!pred(probe)) {
            bad = probe;
            break;
        }
        good = probe;
        step *= 2;
    }
    while (bad - good > 1) {
        const std::size_t mid = good + (bad - good) / 2;
        (pred(mid) ? good : bad) = mid;
    }
    return good;
}

}  // namespace

// ---------------------------------------------------------------------------

ActiveSet::ActiveSet(std::size_t n) : n_(n) {
    std::size_t members = n;
    do {
        const std::size_t words = std::max<std::size_t>(1, (members + 63) / 64);
        std::vector<std::uint64_t> level(words, ~std::uint64_t{0});
        if (members % 64 != 0) level.back() = (std::uint64_t{1} << (members % 64)) - 1;
        if (members == 0) level.back() = 0;
        levels_.push_back(std::move(level));
        members = words;
    } while (members > 1);
}

void ActiveSet::insert(std::size_t i) noexcept {
    for (auto& level : levels_) {
        std::uint64_t& word = level[i >> 6];
        const bool had_any = word != 0;
        word |= std::uint64_t{1} << (i & 63);
        if (had_any) return;
        i >>= 6;
    }
}

void ActiveSet::erase(std::size_t i) noexcept {
    for (auto& level : levels_) {
        std::uint64_t& word = level[i >> 6];
        word &= ~(std::uint64_t{1} << (i & 63));
        if (word != 0) return;
        i >>= 6;
    }
}

std::size_t ActiveSet::next(std::size_t i) const noexcept {
    if (i >= n_) return npos;
    std::size_t h = 0;
    for (;; ++h) {
        if (h == levels_.size()) return npos;
        const std::size_t w = i >> 6;
        if (w >= levels_[h].size()) return npos;
        const std::uint64_t bits = levels_[h][w] & (~std::uint64_t{0} << (i & 63));
        if (bits != 0) {
            i = (w << 6) | std::size_t(std::countr_zero(bits));
            break;
        }
        i = w + 1;
    }
    while (h > 0) {
        --h;
        i = (i << 6) | std::size_t(std::countr_zero(levels_[h][i]));
    }
    return i;
}

std::size_t ActiveSet::prev(std::size_t i) const noexcept {
    if (n_ == 0) return npos;
    if (i >= n_) i = n_ - 1;
    std::size_t h = 0;
    for (;; ++h) {
        if (h == levels_.size()) return npos;
        const std::size_t w = i >> 6;
        const std::uint64_t bits = levels_[h][w] & (~std::uint64_t{0} >> (63 - (i & 63)));
        if (bits != 0) {
            i = (w << 6) | std::size_t(63 - std::countl_zero(bits));
            break;
        }
        if (w == 0) return npos;
        i = w - 1;
    }
    while (h > 0) {
        --h;
        i = (i << 6) | std::size_t(63 - std::countl_zero(levels_[h][i]));
    }
    return i;
}

// ---------------------------------------------------------------------------

OrderedCandidates::OrderedCandidates(std::span<const Entry> entries) {
    const std::size_t n = entries.size();
    // The tie-break tree packs an index into 32 bits, with all ones kept free.
    if (n >= std::size_t{0xFFFFFFFF}) panic("too many candidates for one column");
    keys_.resize(n);
    rows_.resize(n);
    bool rows_ascending = true;
    for (std::size_t k = 0; k < n; ++k) {
        keys_[k] = order_key(entries[k].key), rows_[k] = entries[k].row;
        if (k > 0 && entries[k].row < entries[k - 1].row) rows_ascending = false;
    }
    // A stable sort by key leaves equal keys in row order.
    if (rows_ascending)
        sort_by_key(keys_, rows_);
    else
        sort_key_rows(keys_, rows_, 0, n);
    index_sorted();
}

OrderedCandidates::OrderedCandidates(std::vector<std::uint64_t> sorted_keys, std::vector<std::uint32_t> rows)
    : keys_(std::move(sorted_keys)), rows_(std::move(rows)) {
    const std::size_t n = keys_.size();
    if (rows_.size() != n) panic_index(n, rows_.size());
    if (n >= std::size_t{0xFFFFFFFF}) panic("too many candidates for one column");
    for (std::size_t k = 1; k < n; ++k)
        if (keys_[k] < keys_[k - 1] || (keys_[k] == keys_[k - 1] && rows_[k] <= rows_[k - 1]))
            panic("candidates given out of order");
    index_sorted();
}

std::pair<std::vector<std::uint64_t>, std::vector<std::uint32_t>> OrderedCandidates::release() && {
    std::pair out{std::move(keys_), std::move(rows_)};
    *this = OrderedCandidates();
    return out;
}

void OrderedCandidates::index_sorted() {
    const std::size_t n = keys_.size();
    for (std::size_t k = 0; k < n; k += kGuideStep) guide_.push_back(keys_[k]);
    remaining_ = n;
    active_ = ActiveSet(n);

    const double inf = std::numeric_limits<double>::infinity();
    mid_begin_ = std::size_t(std::lower_bound(keys_.begin(), keys_.end(), order_key(-inf)) - keys_.begin());
    mid_end_ = upper_bound(order_key(inf));
    finite_begin_ = upper_bound(order_key(-inf));
    finite_end_ = std::size_t(std::lower_bound(keys_.begin(), keys_.end(), order_key(inf)) - keys_.begin());
    auto add_runs = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i == begin || keys_[i] != keys_[i - 1]) nan_runs_.push_back({i, i});
            ++nan_runs_.back().second;
        }
    };
    add_runs(0, mid_begin_);
    add_runs(mid_end_, n);
}

std::size_t OrderedCandidates::upper_bound(std::uint64_t k) const noexcept {
    const std::size_t block = branchless_upper_bound(guide_.data(), guide_.size(), k);
    if (block == 0) return 0;
    // keys_[(block - 1) * step] <= k, and the next block's first key is above it.
    const std::size_t begin = (block - 1) * kGuideStep + 1;
    const std::size_t end = std::min(keys_.size(), block * kGuideStep);
    // The block is rarely in cache; asking for all of its lines at once costs one
    // memory wait instead of one per halving.
    for (std::size_t i = begin; i < end; i += 8) __builtin_prefetch(keys_.data() + i);
    return begin + branchless_upper_bound(keys_.data() + begin, end - begin, k);
}

void OrderedCandidates::erase(std::size_t index) {
    if (index >= size() || !active_.contains(index)) panic("erasing a candidate that is not there");
    active_.erase(index);
    --remaining_;
    if (!tree_.empty()) {
        std::size_t p = index + size();
        tree_[p] = ~std::uint64_t{0};
        for (p >>= 1; p >= 1; p >>= 1) tree_[p] = std::min(tree_[2 * p], tree_[2 * p + 1]);
    }
}

void OrderedCandidates::insert(std::size_t index) {
    if (index >= size() || active_.contains(index)) panic("inserting a candidate that is already there");
    active_.insert(index);
    ++remaining_;
    if (!tree_.empty()) {
        std::size_t p = index + size();
        tree_[p] = (std::uint64_t(rows_[index]) << 32) | index;
        for (p >>= 1; p >= 1; p >>= 1) tree_[p] = std::min(tree_[2 * p], tree_[2 * p + 1]);
    }
}

std::size_t OrderedCandidates::smallest() const noexcept { return active_.next(0); }

std::size_t OrderedCandidates::largest() const noexcept {
    const std::size_t last = active_.prev(size());
    if (last == npos || last == 0 || keys_[last - 1] != keys_[last]) return last;
    // Among equal keys the earliest row comes first: take the first active entry
    // of the run.
    const auto run = std::lower_bound(keys_.begin(), keys_.begin() + std::ptrdiff_t(last), keys_[last]);
    return active_.next(std::size_t(run - keys_.begin()));
}

void OrderedCandidates::build_tree() const {
    const std::size_t n = size();
    tree_.assign(2 * n, ~std::uint64_t{0});
    for (std::size_t i = 0; i < n; ++i)
        if (active_.contains(i)) tree_[n + i] = (std::uint64_t(rows_[i]) << 32) | i;
    for (std::size_t p = n; p-- > 1;) tree_[p] = std::min(tree_[2 * p], tree_[2 * p + 1]);
}

std::uint64_t OrderedCandidates::min_row_in(std::size_t begin, std::size_t end) const {
    // Equal keys sit in row order, so a run of one key needs no tree: its first
    // active entry is its earliest row. Keeping duplicates away from the tree
    // matters, as every erase after it is built has to update it.
    if (begin < end && keys_[begin] == keys_[end - 1]) {
        const std::size_t i = active_.next(begin);
        return i < end ? (std::uint64_t(rows_[i]) << 32) | i : ~std::uint64_t{0};
    }
    if (tree_.empty()) build_tree();
    const std::size_t n = size();
    std::uint64_t best = ~std::uint64_t{0};
    for (std::size_t l = begin + n, r = end + n; l < r; l >>= 1, r >>= 1) {
        if (l & 1) best = std::min(best, tree_[l++]);
        if (r & 1) best = std::min(best, tree_[--r]);
    }
    return best;
}

std::size_t OrderedCandidates::nearest_by_scan(double reference) const {
    std::size_t best = npos;
    std::int64_t best_sq = 0;
    for (std::size_t i = active_.next(0); i != npos; i = active_.next(i + 1)) {
        const std::int64_t sq = total_key(square_distance(key(i), reference));
        if (best == npos || sq < best_sq || (sq == best_sq && rows_[i] < rows_[best])) {
            best = i;
            best_sq = sq;
        }
    }
    return best;
}

std::size_t OrderedCandidates::position_of(double reference) const noexcept {
    return upper_bound(order_key(reference));
}

void OrderedCandidates::prefetch(std::size_t split) const noexcept {
    const std::size_t n = size();
    if (n == 0) return;
    const std::size_t i = std::min(split, n - 1), j = i > 0 ? i - 1 : i;
    __builtin_prefetch(keys_.data() + i);
    __builtin_prefetch(keys_.data() + j);
    __builtin_prefetch(rows_.data() + i);
    __builtin_prefetch(rows_.data() + j);
}

std::size_t OrderedCandidates::nearest(double reference) const { return nearest(reference, position_of(reference)); }

std::size_t OrderedCandidates::nearest(double reference, std::size_t split) const {
    if (remaining_ == 0) return npos;
    if (std::isnan(reference)) return nearest_by_scan(reference);

    // Candidates compare by (distance in total order, row << 32 | index).
    std::int64_t best_sq = std::numeric_limits<std::int64_t>::max();
    std::uint64_t best_tag = ~std::uint64_t{0};
    auto offer = [&](std::int64_t sq, std::uint64_t tag) {
        if (sq < best_sq || (sq == best_sq && tag < best_tag)) best_sq = sq, best_tag = tag;
    };
    auto tag_of = [&](std::size_t i) { return (std::uint64_t(rows_[i]) << 32) | i; };
    auto dist = [&](std::size_t i) { return square_distance(key(i), reference); };

    if (std::isinf(reference)) {
        // A finite number minus an infinity is exactly that infinity, so every
        // finite key is at the same distance; each infinite key is a run of
        // equal keys. The distances are still computed, not assumed.
        auto offer_group = [&](std::size_t begin, std::size_t end, bool one_key) {
            const std::size_t i = active_.next(begin);
            if (i == npos || i >= end) return;
            offer(total_key(dist(i)), one_key ? tag_of(i) : min_row_in(begin, end));
        };
        offer_group(mid_begin_, finite_begin_, true);
        offer_group(finite_begin_, finite_end_, false);
        offer_group(finite_end_, mid_end_, true);
    } else if (mid_begin_ < mid_end_) {
        // With a finite reference the distance of a number never increases up to
        // the reference and never decreases after it, since rounding, squaring
        // and overflow to infinity all keep that order. Which side a key equal to
        // the reference falls on does not matter: both sides stay monotone, and
        // ties across them are compared below. Searching all keys lands among
        // the numbers, which sit between the negative and the positive NaNs.

        std::size_t left = split > mid_begin_ ? active_.prev(split - 1) : npos;
        if (left != npos && left < mid_begin_) left = npos;
        std::size_t right = active_.next(split);
        if (right != npos && right >= mid_end_) right = npos;

        double left_sq = 0.0, right_sq = 0.0;
        if (left != npos) left_sq = dist(left);
        if (right != npos) right_sq = dist(right);
        bool take_left = left != npos, take_right = right != npos;
        if (take_left && take_right) {
            const std::int64_t l = total_key(left_sq), r = total_key(right_sq);
            take_left = l <= r;
            take_right = r <= l;
        }
        // Every entry at the same distance lies next to the nearest one, deleted
        // entries in between; the earliest active row among them wins.
        if (take_left) {
            const std::size_t lo = first_true_down(mid_begin_, left, [&](std::size_t i) { return dist(i) <= left_sq; });
            offer(total_key(left_sq), lo == left ? tag_of(left) : min_row_in(lo, left + 1));
        }
        if (take_right) {
            const std::size_t hi =
                last_true_up(right, mid_end_ - 1, [&](std::size_t i) { return dist(i) <= right_sq; });
            offer(total_key(right_sq), hi == right ? tag_of(right) : min_row_in(right, hi + 1));
        }
    }

    // NaN keys: the distance is a pure function of the key's bits, so each run
    // of equal bits is one candidate, its earliest active row.
    for (const auto& [begin, end] : nan_runs_) {
        const std::size_t i = active_.next(begin);
        if (i != npos && i < end) offer(total_key(dist(i)), tag_of(i));
    }
    return best_tag == ~std::uint64_t{0} ? npos : std::size_t(best_tag & 0xFFFFFFFFu);
}

}  // namespace porosa
