// Label encoding of a text column: codes 0, 1, 2, ... in byte-wise order of the
// distinct texts, with no code for the missing markers "nan", "NaN" and "<NA>".
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace porosa {

using Encoder = std::unordered_map<std::string, std::optional<std::uint64_t>>;
using Decoder = std::unordered_map<std::uint64_t, std::string>;

bool is_missing_marker(std::string_view text) noexcept;

// One float per row (the code, or NaN for a marker) and the column's encoder.
std::pair<std::vector<double>, Encoder> label_encode(const std::vector<std::string>& texts);

// The inverse of an encoder on the texts that have a code.
Decoder build_decoder(const Encoder& encoder);

}  // namespace porosa
