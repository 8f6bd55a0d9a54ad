#include "py/bridge/column_cells.hpp"

#include <cstdint>
#include <iterator>

#include "core/numtext.hpp"
#include "core/pool.hpp"
#include "py/bridge/array_geometry.hpp"

namespace porosa::bridge {

py::Status DistinctTexts::add_str(PyObject* str) {
    if (seen_.empty()) seen_.resize(kSeen);
    Seen& seen = seen_[(reinterpret_cast<std::uintptr_t>(str) >> 4) % kSeen];
    if (seen.str.get() != str) {
        std::size_t id = 0;
        RETURN_IF_ERROR(with_text(str, [&](std::string_view t) { id = intern(t); }));
        seen = Seen{py::PyRef::borrow(str), id};
    }
    rows_.push_back(seen.id);
    return {};
}

std::pair<std::vector<double>, Encoder> DistinctTexts::encode() {
    index_ = {};
    std::vector<std::string> distinct(std::make_move_iterator(texts_.begin()), std::make_move_iterator(texts_.end()));
    texts_ = {};
    auto [by_text, encoder] = label_encode(distinct);
    std::vector<double> codes(rows_.size());
    parallel_chunks(rows_.size(), kRowGrain, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) codes[i] = by_text[rows_[i]];
    });
    rows_ = {};
    return {std::move(codes), std::move(encoder)};
}

std::size_t DistinctTexts::intern(std::string_view text) {
    auto it = index_.find(text);
    if (it == index_.end()) {
        // A deque never moves its strings, so the key may view them.
        texts_.emplace_back(text);
        it = index_.emplace(std::string_view(texts_.back()), texts_.size() - 1).first;
    }
    return it->second;
}

void ColumnCells::turn_to_text(std::size_t rows) {
    text = true;
    texts.reserve(rows);
    for (double v : numbers) texts.add(number_text(v));
    std::vector<double>().swap(numbers);
}

}  // namespace porosa::bridge
