// Sorting candidates by (key, row), keys and rows kept as two arrays: the sorts
// are bound by memory traffic, which a padded pair would raise.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace porosa {

// Sorts keys[begin, end), with the rows alongside, by (key, row), whatever
// their order on entry.
void sort_key_rows(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows, std::size_t begin,
                   std::size_t end);

// The same for the whole arrays, faster, for rows that come in ascending order.
void sort_by_key(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows);
// The same with the caller's spare arrays, which may trade storage with keys
// and rows: a caller sorting many columns then faults its pages in once.
void sort_by_key(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows,
                 std::vector<std::uint64_t>& key_buffer, std::vector<std::uint32_t>& row_buffer);

}  // namespace porosa
