#include "generators/common/key_sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <tuple>
#include <utility>

namespace porosa {

void sort_key_rows(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows, std::size_t begin,
                   std::size_t end) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> run(end - begin);
    for (std::size_t i = begin; i < end; ++i) run[i - begin] = {keys[i], rows[i]};
    std::sort(run.begin(), run.end());
    for (std::size_t i = begin; i < end; ++i) std::tie(keys[i], rows[i]) = run[i - begin];
}

// LSD radix over the 33 bits below the highest bit in which the keys differ,
// three 11-bit digits (a full 64-bit sort takes six); ties left in those bits
// are rare in real data and sorted run by run afterwards. Stability keeps
// equal keys in row order.
void sort_by_key(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows) {
    const std::size_t n = keys.size();
    if (n < 2) return;
    std::uint64_t varying = 0;
    for (std::uint64_t k : keys) varying |= k ^ keys[0];
    if (varying == 0) return;
    if (n < 256) {
        sort_key_rows(keys, rows, 0, n);
        return;
    }
    constexpr unsigned kBits = 11, kDigits = 3;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    const unsigned top = 63 - unsigned(std::countl_zero(varying));
    const unsigned low = top + 1 > kBits * kDigits ? top + 1 - kBits * kDigits : 0;
    std::vector<std::array<std::size_t, kBuckets>> count(kDigits);
    for (auto& c : count) c.fill(0);
    for (std::uint64_t key : keys) {
        const std::uint64_t k = key >> low;
        for (unsigned d = 0; d < kDigits; ++d) ++count[d][(k >> (kBits * d)) & (kBuckets - 1)];
    }
    std::vector<std::uint64_t> key_buffer(n);
    std::vector<std::uint32_t> row_buffer(n);
    for (unsigned d = 0; d < kDigits; ++d) {
        const unsigned shift = low + kBits * d;
        auto& c = count[d];
        if (c[(keys[0] >> shift) & (kBuckets - 1)] == n) continue;
        std::size_t sum = 0;
        for (std::size_t& x : c) sum += std::exchange(x, sum);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t to = c[(keys[i] >> shift) & (kBuckets - 1)]++;
            key_buffer[to] = keys[i];
            row_buffer[to] = rows[i];
        }
        keys.swap(key_buffer);
        rows.swap(row_buffer);
    }
    if (low == 0) return;
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && (keys[j] >> low) == (keys[i] >> low)) ++j;
        if (j - i > 1) sort_key_rows(keys, rows, i, j);
        i = j;
    }
}

}  // namespace porosa
