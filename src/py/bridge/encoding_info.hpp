// What the caller gave, and how its text columns were encoded.
#pragma once
#include <cstddef>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "encoding/label_encode.hpp"

namespace porosa::bridge {

struct OUT {
    struct Array {};
    struct DataFrame {
        std::vector<std::string> labels;  // column labels as texts, in column order
    };
    std::variant<Array, DataFrame> kind;

    bool is_frame() const noexcept { return std::holds_alternative<DataFrame>(kind); }
};

struct EncodingInfo {
    std::vector<std::size_t> encoded_columns;  // ascending
    std::unordered_map<std::size_t, Decoder> decoders;
};

}  // namespace porosa::bridge
