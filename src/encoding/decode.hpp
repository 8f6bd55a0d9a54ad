// Reading a cell of a text column back as its text.
#pragma once
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/float_bits.hpp"
#include "encoding/label_encode.hpp"

namespace porosa {

// A code stored as a double, taken as a count: NaN and negatives give 0, values
// past the range the largest code, the rest truncated toward zero.
inline std::uint64_t code_of(double v) noexcept { return saturating_count(v); }

// The text of a cell, or nothing when the cell is missing (NaN, or a code the
// column never gave out).
inline std::optional<std::string_view> decode_cell(const Decoder& decoder, double v) {
    if (std::isnan(v)) return std::nullopt;
    auto it = decoder.find(code_of(v));
    if (it == decoder.end()) return std::nullopt;
    return std::string_view(it->second);
}

}  // namespace porosa
