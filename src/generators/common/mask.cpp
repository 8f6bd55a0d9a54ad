#include "generators/common/mask.hpp"

#include <memory>

#include "core/panic.hpp"
#include "core/pool.hpp"
#include "core/send_ptr.hpp"

namespace porosa {

std::vector<std::size_t> fix(std::span<const std::size_t> shape, Rng& rng, const Mode& mode) {
    if (shape.size() < 2) panic("fix() needs at least [rows, cols]");
    const std::size_t rows = shape[0], cols = shape[1];
    if (mode.kind == Kind::BLOCK) {
        // One draw even for zero rows, so the stream advances the same way for
        // every shape; an empty column range fails inside the draw.
        std::size_t c = std::size_t(rng.index_below(cols));
        return std::vector<std::size_t>(rows, c);
    }
    std::vector<std::size_t> protect;
    protect.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r) protect.push_back(std::size_t(rng.index_below(cols)));
    return protect;
}

std::size_t remove(DataMatrix& matrix, std::span<const Position> positions) {
    const std::size_t n = positions.size();
    if (n == 0) return 0;
    const std::size_t rows = matrix.rows(), cols = matrix.cols();
    const double nan = missing_nan();
    SharedAtomicSendPtr shared = std::make_shared<const AtomicSendPtr>(matrix.data());
    parallel_chunks(n, Pool::global().default_grain(n), [&](std::size_t begin, std::size_t end) {
        SharedAtomicSendPtr ptr = shared;
        for (std::size_t k = begin; k < end; ++k) {
            auto [r, c] = positions[k];
            // The generators never hand out a cell outside the matrix; checking
            // anyway costs little and keeps a bad position from writing past it.
            if (r >= rows) panic_index(r, rows);
            if (c >= cols) panic_index(c, cols);
            ptr->store(r * cols + c, nan);
        }
    });
    return n;
}

}  // namespace porosa
