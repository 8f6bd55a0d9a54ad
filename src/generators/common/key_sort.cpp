#include "generators/common/key_sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <tuple>
#include <utility>

namespace porosa {

namespace {

constexpr unsigned kBits = 11, kDigits = 3;
constexpr std::size_t kBuckets = std::size_t{1} << kBits;
using Counts = std::array<std::size_t, kBuckets>;

void sort_pairs(std::uint64_t* keys, std::uint32_t* rows, std::size_t n) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> run(n);
    for (std::size_t i = 0; i < n; ++i) run[i] = {keys[i], rows[i]};
    std::sort(run.begin(), run.end());
    for (std::size_t i = 0; i < n; ++i) std::tie(keys[i], rows[i]) = run[i];
}

std::size_t digit(std::uint64_t key, unsigned shift) { return (key >> shift) & (kBuckets - 1); }

// One stable counting pass from (keys, rows) to (to_keys, to_rows); `c` holds
// the digit's counts and is used up. False, moving nothing, when all n keys
// share the digit.
bool scatter(const std::uint64_t* keys, const std::uint32_t* rows, std::uint64_t* to_keys, std::uint32_t* to_rows,
             std::size_t n, unsigned shift, Counts& c) {
    if (c[digit(keys[0], shift)] == n) return false;
    std::size_t sum = 0;
    for (std::size_t& x : c) sum += std::exchange(x, sum);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t to = c[digit(keys[i], shift)]++;
        to_keys[to] = keys[i];
        to_rows[to] = rows[i];
    }
    return true;
}

// The two lower digits of one bucket of the top digit, which (unlike the whole
// array) usually fits in cache. The bucket sits in `a`; it ends there too.
void sort_bucket(std::uint64_t* a_keys, std::uint32_t* a_rows, std::uint64_t* b_keys, std::uint32_t* b_rows,
                 std::size_t n, unsigned low) {
    if (n < 2) return;
    if (n < 64) {
        // The full key at once: what the final pass over runs would do anyway.
        sort_pairs(a_keys, a_rows, n);
        return;
    }
    std::array<Counts, 2> count{};
    for (std::size_t i = 0; i < n; ++i) {
        ++count[0][digit(a_keys[i], low)];
        ++count[1][digit(a_keys[i], low + kBits)];
    }
    bool in_b = false;
    for (unsigned d = 0; d < 2; ++d) {
        const unsigned shift = low + kBits * d;
        if (in_b ? scatter(b_keys, b_rows, a_keys, a_rows, n, shift, count[d])
                 : scatter(a_keys, a_rows, b_keys, b_rows, n, shift, count[d]))
            in_b = !in_b;
    }
    if (in_b) {
        std::copy(b_keys, b_keys + n, a_keys);
        std::copy(b_rows, b_rows + n, a_rows);
    }
}

}  // namespace

void sort_key_rows(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows, std::size_t begin,
                   std::size_t end) {
    sort_pairs(keys.data() + begin, rows.data() + begin, end - begin);
}

// Radix over the 33 bits below the highest bit in which the keys differ, three
// 11-bit digits (a full 64-bit sort takes six); ties left in those bits are
// rare in real data and sorted run by run afterwards. Stability keeps equal
// keys in row order. The top digit goes first: its buckets (for floats, their
// sign and binade) are then small enough for the other two digits to be sorted
// in cache, one bucket at a time, instead of in two more sweeps of memory.
void sort_by_key(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows) {
    std::vector<std::uint64_t> key_buffer;
    std::vector<std::uint32_t> row_buffer;
    sort_by_key(keys, rows, key_buffer, row_buffer);
}

void sort_by_key(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows,
                 std::vector<std::uint64_t>& key_buffer, std::vector<std::uint32_t>& row_buffer) {
    const std::size_t n = keys.size();
    if (n < 2) return;
    std::uint64_t varying = 0;
    for (std::uint64_t k : keys) varying |= k ^ keys[0];
    if (varying == 0) return;
    if (n < 256) {
        sort_key_rows(keys, rows, 0, n);
        return;
    }
    const unsigned top = 63 - unsigned(std::countl_zero(varying));
    const unsigned low = top + 1 > kBits * kDigits ? top + 1 - kBits * kDigits : 0;
    const unsigned high = low + 2 * kBits;
    Counts count{};
    for (std::uint64_t key : keys) ++count[digit(key, high)];
    key_buffer.resize(n);
    row_buffer.resize(n);
    Counts starts = count;
    {
        std::size_t sum = 0;
        for (std::size_t& x : starts) sum += std::exchange(x, sum);
    }
    if (scatter(keys.data(), rows.data(), key_buffer.data(), row_buffer.data(), n, high, count)) {
        keys.swap(key_buffer);
        rows.swap(row_buffer);
    }
    for (std::size_t b = 0; b < kBuckets; ++b) {
        const std::size_t begin = starts[b], end = b + 1 < kBuckets ? starts[b + 1] : n;
        sort_bucket(keys.data() + begin, rows.data() + begin, key_buffer.data() + begin, row_buffer.data() + begin,
                    end - begin, low);
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
