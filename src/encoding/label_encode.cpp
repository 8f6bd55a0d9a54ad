#include "encoding/label_encode.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "core/data_matrix.hpp"
#include "core/panic.hpp"
#include "core/pool.hpp"
#include "encoding/parallel_sort.hpp"

namespace porosa {

namespace {
// Rows per subtask when mapping texts to codes or entries to decoder pairs.
constexpr std::size_t kGrain = 4096;
}  // namespace

bool is_missing_marker(std::string_view text) noexcept {
    return text == "nan" || text == "NaN" || text == "<NA>";
}

std::pair<std::vector<double>, Encoder> label_encode(const std::vector<std::string>& texts) {
    const std::size_t n = texts.size();
    std::vector<std::string_view> views(texts.begin(), texts.end());
    parallel_sort(views);
    views.erase(std::unique(views.begin(), views.end()), views.end());

    // The rows look their codes up through views into the caller's texts, so the
    // per-row lookup copies nothing; the encoder gets the one owned copy.
    const double nan = missing_nan();
    std::unordered_map<std::string_view, double> code_by_view;
    code_by_view.reserve(views.size());
    Encoder encoder;
    encoder.reserve(views.size());
    std::uint64_t counter = 0;
    for (std::string_view v : views) {
        if (is_missing_marker(v)) {
            encoder.emplace(std::string(v), std::nullopt);
            code_by_view.emplace(v, nan);
        } else {
            encoder.emplace(std::string(v), counter);
            code_by_view.emplace(v, static_cast<double>(counter));
            ++counter;
        }
    }

    std::vector<double> codes(n);
    parallel_chunks(n, kGrain, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            auto it = code_by_view.find(std::string_view(texts[i]));
            if (it == code_by_view.end()) panic("no entry found for key");
            codes[i] = it->second;
        }
    });
    return {std::move(codes), std::move(encoder)};
}

Decoder build_decoder(const Encoder& encoder) {
    std::vector<const Encoder::value_type*> entries;
    entries.reserve(encoder.size());
    for (const auto& entry : encoder) entries.push_back(&entry);

    std::vector<std::optional<std::pair<std::uint64_t, std::string>>> pairs(entries.size());
    parallel_chunks(entries.size(), kGrain, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            const auto& [text, code] = *entries[k];
            if (code) pairs[k].emplace(*code, text);
        }
    });

    Decoder decoder;
    decoder.reserve(entries.size());
    for (auto& p : pairs)
        if (p) decoder.emplace(p->first, std::move(p->second));
    return decoder;
}

}  // namespace porosa
