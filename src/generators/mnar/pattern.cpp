// BLOCK and BLOB: cells removed by shape rather than by value.
#include <algorithm>
#include <cmath>
#include <new>
#include <string>

#include <unistd.h>

#include "core/panic.hpp"
#include "generators/mnar/mnar.hpp"
#include "generators/mnar/removal.hpp"

namespace porosa {

namespace mnar {

void check_protected(std::span<const std::size_t> protected_cols, std::size_t rows) {
    if (protected_cols.size() < rows) panic_index(rows - 1, protected_cols.size());
}

std::size_t count_available(const DataMatrix& matrix, std::span<const std::size_t> protected_cols) {
    const std::size_t cols = matrix.cols();
    std::size_t n = 0;
    for (std::size_t r = 0; r < matrix.rows(); ++r) {
        const double* row = matrix.data() + r * cols;
        for (std::size_t c = 0; c < cols; ++c) n += !std::isnan(row[c]) && protected_cols[r] != c;
    }
    return n;
}

namespace {

// ---------------------------------------------------------------- BLOB

Outcome<void> drop_blobs(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                         std::size_t n_blobs, std::size_t target) {
    if (n_blobs == 0) return {};
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    check_protected(protected_cols, rows);
    std::size_t unprotected = 0;
    for (std::size_t r = 0; r < rows; ++r) unprotected += cols - (protected_cols[r] < cols ? 1 : 0);

    if (Outcome<void> fits = check_blob_count(n_blobs); !fits) panic(fits.error().message);
    std::vector<BlobPlan> plans;
    std::vector<std::vector<Position>> found;
    // Within half the memory, the system may still refuse: the count was the
    // caller's.
    try {
        plans.resize(n_blobs);
        found.resize(n_blobs);
    } catch (const std::bad_alloc&) {
        return refuse(ErrorKind::Internal, too_many_blobs(n_blobs));
    }

    std::vector<Position> positions;
    std::size_t removed = 0;
    while (removed < target) {
        // No start cell left for any blob: end before drawing, as BLOCK does.
        if (count_available(matrix, protected_cols) == 0) return {};
        draw_blob_plans(rng, rows, cols, target - removed, plans);
        // Blob sizes vary wildly, so hand them out one at a time.
        pool.run_chunks(n_blobs, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                found[i] = collect_blob(matrix, protected_cols, unprotected, plans[i]);
        });

        std::size_t total = 0;
        for (const auto& blob : found) total += blob.size();
        // Every blob was stuck, each too far from the cells still standing to
        // start; fresh centres in the next pass will reach them. Any pass that
        // does take something takes at least one standing cell, so the passes end.
        if (total == 0) continue;
        positions.clear();
        positions.reserve(total);
        for (auto& blob : found) {
            positions.insert(positions.end(), blob.begin(), blob.end());
            std::vector<Position>().swap(blob);
        }
        removed += remove(matrix, positions);
    }
    return {};
}

}  // namespace

std::string too_many_blobs(std::size_t n_blobs) {
    return "n_blobs too large: cannot allocate the lists for " + std::to_string(n_blobs) + " blobs";
}

Outcome<void> check_blob_count(std::size_t n_blobs) {
    bool fits = n_blobs <= std::vector<BlobPlan>().max_size() &&
                n_blobs <= std::vector<std::vector<Position>>().max_size();
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    if (fits && pages > 0 && page_size > 0) {
        const double physical = double(pages) * double(page_size);
        fits = double(n_blobs) * double(sizeof(BlobPlan) + sizeof(std::vector<Position>)) <= physical / 2;
    }
    if (!fits) return refuse(ErrorKind::Internal, too_many_blobs(n_blobs));
    return {};
}

void draw_blob_plans(Rng& rng, std::size_t rows, std::size_t cols, std::size_t rem, std::span<BlobPlan> plans) {
    std::size_t remaining = rem;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        BlobPlan& plan = plans[i];
        plan.cx = rng.uniform(0, cols - 1);
        plan.cy = rng.uniform(0, rows - 1);
        // A size drawn once nothing remains (the range is never empty, so the
        // draw still happens) takes no cell: the sizes add up to rem exactly.
        const std::size_t drawn =
            i + 1 == plans.size() ? remaining : rng.uniform(0, std::max<std::size_t>(remaining, 1));
        plan.size = std::min(drawn, remaining);
        remaining -= plan.size;
        plan.seed = rng.next_u64();
    }
}

Outcome<void> drop_pattern_on(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                              const Mode& mode, std::size_t target) {
    switch (mode.kind) {
        case Kind::BLOCK:
            drop_blocks(matrix, protected_cols, rng, mode.block_size, target);
            return {};
        case Kind::BLOB:
            return drop_blobs(pool, matrix, protected_cols, rng, mode.n_blobs, target);
        default:
            panic("Not a pattern!");
    }
}

}  // namespace mnar

Outcome<void> drop_pattern(DataMatrix& matrix, const std::vector<std::size_t>& protected_cols, Rng& rng,
                           const Mode& mode, std::size_t target) {
    return mnar::drop_pattern_on(Pool::global(), matrix, protected_cols, rng, mode, target);
}

}  // namespace porosa
