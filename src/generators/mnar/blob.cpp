// One blob of a BLOB pass: distinct cells drawn around a centre, each draw that
// lands on a cell already taken falling back to a ring search outward from it.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "core/interrupt.hpp"
#include "generators/mnar/removal.hpp"

namespace porosa::mnar {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The blob's cells in a hash set, searched ring by ring cell by cell. Cheap to
// set up, but a ring search costs the area of the box it clears, so it suits
// small blobs only.
class HashCells {
public:
    HashCells(std::size_t /*rows*/, std::size_t cols, std::span<const std::size_t> protected_cols, std::size_t want)
        : cols_(cols), protected_(protected_cols) {
        set_.reserve(want);
    }

    std::size_t size() const noexcept { return set_.size(); }
    void prefetch(std::size_t, std::size_t) const noexcept {}
    bool add(std::size_t y, std::size_t x) { return set_.insert(key(y, x)).second; }

    bool ring_search(std::size_t rows, std::size_t r, std::size_t c) {
        const std::size_t cols = cols_;
        auto take = [&](std::size_t y, std::size_t x) { return protected_[y] != x && add(y, x); };
        for (std::size_t d = 0; d < cols; ++d) {
            const std::size_t top = r >= d ? r - d : 0;
            const std::size_t bottom = std::min(rows - 1, r + d);
            const std::size_t left = c >= d ? c - d : 0;
            const std::size_t right = std::min(cols - 1, c + d);
            for (std::size_t x = left; x <= right; ++x) {
                if (take(top, x)) return true;
            }
            if (bottom > top) {
                for (std::size_t y = top + 1; y < bottom; ++y) {
                    if (take(y, left)) return true;
                    if (right != left && take(y, right)) return true;
                }
                for (std::size_t x = left; x <= right; ++x) {
                    if (take(bottom, x)) return true;
                }
            }
            // Clipped on all four sides: every larger ring is this border again.
            if (top == 0 && left == 0 && bottom == rows - 1 && right == cols - 1) return false;
        }
        return false;
    }

    template <class F>
    void for_each(F&& f) const {
        for (std::uint64_t k : set_) f(std::size_t(k / cols_), std::size_t(k % cols_));
    }

    std::vector<Position> positions() const {
        std::vector<Position> out;
        out.reserve(set_.size());
        for_each([&](std::size_t y, std::size_t x) { out.emplace_back(y, x); });
        return out;
    }

private:
    std::uint64_t key(std::size_t y, std::size_t x) const noexcept { return std::uint64_t(y) * cols_ + x; }

    std::size_t cols_;
    std::span<const std::size_t> protected_;
    std::unordered_set<std::uint64_t> set_;
};

// The blob's cells as two bitmaps of blocked cells (protected or taken), one by
// rows and one by columns, so a ring search tests each side of a ring 64 cells
// at a time; counts of blocked cells per 16 x 16 tile, so it can start at the
// first ring that meets a tile with room; and a bitmap of fully blocked columns
// for wide matrices. About two bits per matrix cell; worth it once a blob is
// large enough that its ring searches sweep big boxes.
class GridCells {
public:
    GridCells(std::size_t rows, std::size_t cols, std::span<const std::size_t> protected_cols, std::size_t want)
        : rows_(rows), cols_(cols), row_words_(words(cols)), col_words_(words(rows)),
          by_row_(rows * row_words_, 0), by_col_(cols * col_words_, 0), tiles_x_(tiles(cols)),
          tile_count_(tiles(rows) * tiles_x_, 0), col_count_(cols, 0), full_cols_(words(cols), 0) {
        for (std::size_t y = 0; y < rows; ++y) {
            if (protected_cols[y] < cols) block(y, protected_cols[y]);
        }
        taken_.reserve(want);
    }

    std::size_t size() const noexcept { return taken_.size(); }
    void prefetch(std::size_t y, std::size_t /*x*/) const noexcept { __builtin_prefetch(row(y)); }

    // Only called for unprotected cells, as the hash store is.
    bool add(std::size_t y, std::size_t x) {
        if (blocked(y, x)) return false;
        block(y, x);
        taken_.emplace_back(y, x);
        return true;
    }

    // The same visiting order as HashCells::ring_search, a side at a time. No
    // cell inside ring d's box before d can be free when ring d is reached, so
    // only the first free cell of each ring matters.
    bool ring_search(std::size_t rows, std::size_t r, std::size_t c) {
        const std::size_t cols = cols_;
        for (std::size_t d = first_open_ring(r, c); d < cols; ++d) {
            const std::size_t top = r >= d ? r - d : 0;
            const std::size_t bottom = std::min(rows - 1, r + d);
            const std::size_t left = c >= d ? c - d : 0;
            const std::size_t right = std::min(cols - 1, c + d);
            if (std::size_t x = first_clear(row(top), row(top), left, right); x != kNone) return add(top, x);
            if (bottom > top) {
                if (bottom - top >= 2) {
                    // Inner rows: each row's left cell, then its right cell.
                    if (std::size_t y = first_clear(col(left), col(right), top + 1, bottom - 1); y != kNone)
                        return add(y, blocked(y, left) ? right : left);
                }
                if (std::size_t x = first_clear(row(bottom), row(bottom), left, right); x != kNone)
                    return add(bottom, x);
            }
            if (top == 0 && bottom == rows - 1) {
                if (left == 0 && right == cols - 1) return false;
                return column_rings(rows, c, d + 1);
            }
        }
        return false;
    }

    template <class F>
    void for_each(F&& f) const {
        for (const auto& p : taken_) f(p.first, p.second);
    }

    std::vector<Position> positions() && { return std::move(taken_); }

private:
    static constexpr std::size_t kTile = 16;
    static std::size_t words(std::size_t bits) noexcept { return bits / 64 + (bits % 64 != 0); }
    static std::size_t tiles(std::size_t n) noexcept { return n / kTile + (n % kTile != 0); }
    const std::uint64_t* row(std::size_t y) const noexcept { return &by_row_[y * row_words_]; }
    const std::uint64_t* col(std::size_t x) const noexcept { return &by_col_[x * col_words_]; }

    bool blocked(std::size_t y, std::size_t x) const noexcept { return (row(y)[x / 64] >> (x % 64)) & 1u; }
    void block(std::size_t y, std::size_t x) noexcept {
        by_row_[y * row_words_ + x / 64] |= std::uint64_t(1) << (x % 64);
        by_col_[x * col_words_ + y / 64] |= std::uint64_t(1) << (y % 64);
        if (++col_count_[x] == rows_) full_cols_[x / 64] |= std::uint64_t(1) << (x % 64);
        ++tile_count_[(y / kTile) * tiles_x_ + x / kTile];
    }

    // The smallest d whose box around (r, c) meets a tile that is not fully
    // blocked, or a lower bound of it; cols when no ring the search may reach
    // does. Every box before it lies in full tiles, so no ring before it can
    // hold a free cell. Tiles are visited in rings of tiles around the start's
    // tile; a tile k rings out is at least (k - 1) * kTile + 1 cells away.
    std::size_t first_open_ring(std::size_t r, std::size_t c) const {
        const std::size_t ty = r / kTile, tx = c / kTile;
        const std::size_t tiles_y = tile_count_.size() / tiles_x_;
        std::size_t best = cols_;
        auto visit = [&](std::size_t y, std::size_t x) {
            const std::size_t y0 = y * kTile, x0 = x * kTile;
            const std::size_t h = std::min(kTile, rows_ - y0), w = std::min(kTile, cols_ - x0);
            if (tile_count_[y * tiles_x_ + x] == h * w) return;
            const std::size_t dy = r < y0 ? y0 - r : (r >= y0 + h ? r - (y0 + h - 1) : 0);
            const std::size_t dx = c < x0 ? x0 - c : (c >= x0 + w ? c - (x0 + w - 1) : 0);
            best = std::min(best, std::max(dy, dx));
        };
        for (std::size_t k = 0;; ++k) {
            if (k >= 1 && (k - 1) * kTile + 1 >= best) break;
            const bool up = ty >= k, down = ty + k < tiles_y, lft = tx >= k, rgt = tx + k < tiles_x_;
            if (!up && !down) {
                // The tile rings span every tile row: leave the rest to the
                // column skip of column_rings, from a bound no unvisited tile beats.
                if (k >= 1) best = std::min(best, (k - 1) * kTile + 1);
                break;
            }
            const std::size_t y_lo = up ? ty - k : 0, y_hi = down ? ty + k : tiles_y - 1;
            const std::size_t x_lo = lft ? tx - k : 0, x_hi = rgt ? tx + k : tiles_x_ - 1;
            if (up || (down && k > 0)) {
                for (std::size_t x = x_lo; x <= x_hi; ++x) {
                    if (up) visit(ty - k, x);
                    if (down && k > 0) visit(ty + k, x);
                }
            }
            if (lft || (rgt && k > 0)) {
                for (std::size_t y = y_lo; y <= y_hi; ++y) {
                    if ((up && y == ty - k) || (down && y == ty + k)) continue;
                    if (lft) visit(y, tx - k);
                    if (rgt && k > 0) visit(y, tx + k);
                }
            }
        }
        return best;
    }

    // Rings from d on, once the box spans every row: each adds only columns
    // c - d and c + d, visited row by row, left cell first. Rings whose two
    // columns are fully blocked are skipped a word at a time.
    bool column_rings(std::size_t rows, std::size_t c, std::size_t d) {
        const std::size_t cols = cols_;
        std::size_t ring = kNone;
        if (c >= d) {
            if (std::size_t x = last_clear(full_cols_.data(), 0, c - d); x != kNone) ring = c - x;
        }
        if (d < cols - c) {
            if (std::size_t x = first_clear(full_cols_.data(), full_cols_.data(), c + d, cols - 1);
                x != kNone && x - c < ring)
                ring = x - c;
        }
        if (ring == kNone) return false;
        const bool has_left = c >= ring;
        const bool has_right = ring < cols - c;
        for (std::size_t y = 0; y < rows; ++y) {
            if (has_left && !blocked(y, c - ring)) return add(y, c - ring);
            if (has_right && !blocked(y, c + ring)) return add(y, c + ring);
        }
        return false;
    }

    // The first index in [a, b] whose bit is clear in both word sequences
    // (pass the same sequence twice to test one).
    static std::size_t first_clear(const std::uint64_t* p, const std::uint64_t* q, std::size_t a, std::size_t b) {
        std::size_t i = a / 64;
        const std::size_t last = b / 64;
        std::uint64_t free = ~(p[i] & q[i]) & (~std::uint64_t(0) << (a % 64));
        for (;;) {
            if (i == last && b % 64 != 63) free &= (std::uint64_t(1) << (b % 64 + 1)) - 1;
            if (free) return i * 64 + std::size_t(std::countr_zero(free));
            if (i == last) return kNone;
            ++i;
            free = ~(p[i] & q[i]);
        }
    }
    // The last index in [a, b] whose bit is clear.
    static std::size_t last_clear(const std::uint64_t* p, std::size_t a, std::size_t b) {
        std::size_t i = b / 64;
        const std::size_t first = a / 64;
        std::uint64_t free = ~p[i];
        if (b % 64 != 63) free &= (std::uint64_t(1) << (b % 64 + 1)) - 1;
        for (;;) {
            if (i == first) free &= ~std::uint64_t(0) << (a % 64);
            if (free) return i * 64 + 63 - std::size_t(std::countl_zero(free));
            if (i == first) return kNone;
            --i;
            free = ~p[i];
        }
    }

    std::size_t rows_;
    std::size_t cols_;
    std::size_t row_words_;
    std::size_t col_words_;
    std::vector<std::uint64_t> by_row_;
    std::vector<std::uint64_t> by_col_;
    std::size_t tiles_x_;
    std::vector<std::uint32_t> tile_count_;
    std::vector<std::size_t> col_count_;
    std::vector<std::uint64_t> full_cols_;
    std::vector<Position> taken_;
};

// How far from its centre a blob's draws are taken to land, in standard
// deviations. Gauss::sample can reach about 8.57 (the smallest nonzero uniform
// float is 2^-53), but a start cell more than 6 deviations out is drawn with
// probability below 1e-9 per attempt: a blob that could only grow from there
// would need about a billion attempts per cell, far past kMaxFruitlessAttempts,
// so counting such cells as unreachable ends it at the next check instead.
constexpr double kNormalReach = 6.0;

// [lo, hi] of the indices below n that samples of Gauss{mean, scale} can map to.
std::pair<std::size_t, std::size_t> sample_reach(double mean, double scale, std::size_t n) {
    std::size_t lo = std::min(n - 1, saturating_count(mean - kNormalReach * scale));
    std::size_t hi = std::min(n - 1, saturating_count(mean + kNormalReach * scale));
    return {lo, hi};
}

// Whether any future attempt could still add a cell. An attempt starts on a
// cell it can draw that is unprotected and not NaN; it adds that cell if new,
// else its ring search reaches every column of the rows within cols - 1 of the
// start and adds any unprotected cell there outside the set. So the blob can
// grow iff some drawable start row has such a free cell in its row window.
template <class Cells>
bool blob_can_grow(const DataMatrix& matrix, std::span<const std::size_t> protected_cols, const Cells& cells,
                   const BlobPlan& plan) {
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    std::vector<std::size_t> free_before(rows + 1, 0);  // prefix counts of free cells by row
    {
        std::vector<std::size_t> taken(rows, 0);
        cells.for_each([&](std::size_t y, std::size_t) { ++taken[y]; });
        for (std::size_t r = 0; r < rows; ++r) {
            std::size_t unprotected = cols - (protected_cols[r] < cols ? 1 : 0);
            free_before[r + 1] = free_before[r] + (unprotected - taken[r]);
        }
    }
    const auto [clo, chi] = sample_reach(double(plan.cx), 0.05 * double(cols), cols);
    const auto [rlo, rhi] = sample_reach(double(plan.cy), 0.25 * double(rows), rows);
    const std::size_t span = cols - 1;
    for (std::size_t r = rlo; r <= rhi; ++r) {
        interrupt_point(chi - clo + 1);
        const std::size_t a = r >= span ? r - span : 0;
        const std::size_t b = std::min(rows - 1, r + span);
        if (free_before[b + 1] == free_before[a]) continue;
        const double* row = matrix.data() + r * cols;
        for (std::size_t c = clo; c <= chi; ++c) {
            if (protected_cols[r] != c && !std::isnan(row[c])) return true;
        }
    }
    return false;
}

template <class Cells>
std::vector<Position> collect(const DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                              std::size_t unprotected, const BlobPlan& plan, std::size_t want) {
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    const double* data = matrix.data();

    Rng rng = rng_from_u64(plan.seed);
    const Gauss col_spread{double(plan.cx), 0.05 * double(cols)};
    const Gauss row_spread{double(plan.cy), 0.25 * double(rows)};
    Cells cells(rows, cols, protected_cols, want);

    // A blob that may be stuck is tested with blob_can_grow, which costs about
    // one sweep of the matrix. The test runs only after a streak of fruitless
    // attempts long enough to cost as much (at least 1024, about one per 64
    // cells), then after every doubling of the streak, so an ordinary blob
    // never pays for it. The schedule counts attempts only, so both cell
    // stores stop at the same point.
    const std::size_t first_check =
        std::min(std::max<std::size_t>(1024, rows * cols / 64), kMaxFruitlessAttempts / 2);
    std::size_t streak = 0;
    std::size_t next_check = first_check;

    // Each attempt reads its cell's protected column, value and blocked bit at
    // a random row: three cache misses that dominate the loop. The draws do not
    // depend on what the attempts find, so they are made kAhead attempts early
    // and those reads fetched meanwhile. Draws left over at the end are
    // discarded with this blob's generator.
    auto next_draw = [&] {
        const double col_sample = col_spread.sample(rng);
        const double row_sample = row_spread.sample(rng);
        const Position d{std::min(rows - 1, saturating_count(row_sample)), std::min(cols - 1, saturating_count(col_sample))};
        __builtin_prefetch(&protected_cols[d.first]);
        __builtin_prefetch(&data[d.first * cols + d.second]);
        cells.prefetch(d.first, d.second);
        return d;
    };
    constexpr std::size_t kAhead = 16;
    std::array<Position, kAhead> ahead;
    for (Position& d : ahead) d = next_draw();
    std::size_t slot = 0;

    while (cells.size() < plan.size) {
        // Holding every unprotected cell: no attempt can add anything.
        if (cells.size() == unprotected) break;
        // A large blob runs for seconds on a worker: it must notice that its
        // step was given up, and on the calling thread that the call was.
        interrupt_point();
        const auto [r, c] = ahead[slot];
        ahead[slot] = next_draw();
        slot = (slot + 1) % kAhead;

        bool grew = false;
        if (protected_cols[r] != c && !std::isnan(data[r * cols + c])) {
            grew = cells.add(r, c) || cells.ring_search(rows, r, c);
        }
        if (grew) {
            streak = 0;
            next_check = first_check;
            continue;
        }
        if (++streak >= kMaxFruitlessAttempts) break;
        if (streak == next_check) {
            if (!blob_can_grow(matrix, protected_cols, cells, plan)) break;
            next_check = next_check > kMaxFruitlessAttempts / 2 ? kMaxFruitlessAttempts : next_check * 2;
        }
    }
    return std::move(cells).positions();
}

}  // namespace

// A blob keeps its cells in a hash set searched cell by cell, or in bitmaps
// searched a word at a time (`grid`). Both give the same cells, which the
// tests check through tests/cpp/seams.hpp.
std::vector<Position> collect_blob_in(const DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                                      std::size_t unprotected, const BlobPlan& plan, bool grid) {
    const std::size_t want = std::min(plan.size, unprotected);
    if (want == 0) return {};
    if (grid) return collect<GridCells>(matrix, protected_cols, unprotected, plan, want);
    return collect<HashCells>(matrix, protected_cols, unprotected, plan, want);
}

std::vector<Position> collect_blob(const DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                                   std::size_t unprotected, const BlobPlan& plan) {
    // The grid costs a sweep of 2 bits per cell to set up; the hash store's
    // ring searches cost about a fifth of the blob per attempt once its core
    // fills. The grid pays off from a few hundred cells on small matrices and
    // from about sqrt(cells / 64) on large ones.
    const std::size_t want = std::min(plan.size, unprotected);
    const double cells = double(matrix.rows()) * double(matrix.cols());
    const bool grid = want >= 256 && double(want) * double(want) * 64.0 >= cells;
    return collect_blob_in(matrix, protected_cols, unprotected, plan, grid);
}

}  // namespace porosa::mnar
