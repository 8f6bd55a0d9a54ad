#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/panic.hpp"
#include "harness.hpp"
#include "encoding/decode.hpp"
#include "encoding/label_encode.hpp"
#include "encoding/parallel_sort.hpp"

using namespace porosa;

namespace {

// Codes as the order of the distinct non-marker texts, computed the slow way.
std::vector<double> reference_codes(const std::vector<std::string>& texts) {
    std::map<std::string, int> order;
    for (const auto& t : texts)
        if (!is_missing_marker(t)) order[t] = 0;
    int next = 0;
    for (auto& [t, c] : order) c = next++;
    std::vector<double> codes;
    for (const auto& t : texts) codes.push_back(is_missing_marker(t) ? porosa::missing_nan() : order[t]);
    return codes;
}

void expect_codes(const std::vector<std::string>& texts, const std::vector<double>& want) {
    auto [codes, encoder] = label_encode(texts);
    ASSERT_EQ(codes.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_BITEQ(codes[i], want[i]);
}

std::vector<std::string> random_texts(std::size_t n, std::size_t distinct, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::string> pool;
    for (std::size_t k = 0; k < distinct; ++k) {
        std::string s;
        std::size_t len = rng() % 6;
        // Bytes across the whole range, so signed-char ordering would show.
        for (std::size_t c = 0; c < len; ++c) s.push_back(static_cast<char>(rng() % 256));
        pool.push_back(s);
    }
    pool.push_back("nan");
    pool.push_back("<NA>");
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < n; ++i) texts.push_back(pool[rng() % pool.size()]);
    return texts;
}

}  // namespace

TEST(label_encode, markers_get_no_code_and_shift_nothing) {
    const double nan = porosa::missing_nan();
    auto [codes, encoder] = label_encode({"b", "a", "nan", "b", "<NA>", "c"});
    std::vector<double> want{1, 0, nan, 1, nan, 2};
    ASSERT_EQ(codes.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_BITEQ(codes[i], want[i]);
    EXPECT_EQ(encoder.size(), 5u);
    EXPECT_FALSE(encoder.at("nan").has_value());
    EXPECT_FALSE(encoder.at("<NA>").has_value());
    EXPECT_EQ(*encoder.at("c"), 2u);
}

TEST(label_encode, all_markers_give_empty_decoder) {
    const double nan = porosa::missing_nan();
    auto [codes, encoder] = label_encode({"NaN", "nan", "<NA>", "NaN"});
    for (double c : codes) EXPECT_BITEQ(c, nan);
    EXPECT_TRUE(build_decoder(encoder).empty());
}

TEST(label_encode, byte_order) {
    // Uppercase before lowercase, digits as text, empty text first.
    expect_codes({"a", "B"}, {1, 0});
    expect_codes({"9", "10"}, {1, 0});
    expect_codes({"x", "", "x"}, {1, 0, 1});
    expect_codes({"ab", "a"}, {1, 0});
    // UTF-8 lead bytes are above 0x7F and must sort after every ASCII byte.
    expect_codes({"\xc3\xa9", "z", "~"}, {2, 0, 1});
    expect_codes({"\xff", "\x01"}, {1, 0});
}

TEST(label_encode, near_markers_are_ordinary_texts) {
    std::vector<std::string> texts{"None", "NAN", "Nan", "N/A", "nan ", "NA"};
    auto [codes, encoder] = label_encode(texts);
    for (double c : codes) EXPECT_FALSE(std::isnan(c));
    EXPECT_EQ(build_decoder(encoder).size(), texts.size());
}

TEST(label_encode, repeated_single_text) {
    expect_codes({"only", "only", "only"}, {0, 0, 0});
    expect_codes({}, {});
}

TEST(label_encode, decoder_inverts_encoder) {
    auto texts = random_texts(3000, 200, 7);
    auto [codes, encoder] = label_encode(texts);
    auto decoder = build_decoder(encoder);
    std::size_t with_code = 0;
    for (const auto& [text, code] : encoder) {
        if (!code) continue;
        ++with_code;
        ASSERT_TRUE(decoder.count(*code) == 1);
        EXPECT_EQ(decoder.at(*code), text);
    }
    EXPECT_EQ(decoder.size(), with_code);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        auto back = decode_cell(decoder, codes[i]);
        if (is_missing_marker(texts[i]))
            EXPECT_FALSE(back.has_value());
        else
            EXPECT_TRUE(back.has_value() && *back == texts[i]);
    }
}

TEST(label_encode, large_input_matches_reference) {
    for (std::size_t distinct : {5u, 5000u, 120000u}) {
        auto texts = random_texts(100000, distinct, static_cast<unsigned>(distinct));
        auto want = reference_codes(texts);
        auto [codes, encoder] = label_encode(texts);
        ASSERT_EQ(codes.size(), want.size());
        std::size_t bad = 0;
        for (std::size_t i = 0; i < want.size(); ++i) bad += harness::bits(codes[i]) != harness::bits(want[i]);
        EXPECT_EQ(bad, 0u);
    }
}

TEST(parallel_sort, any_number_of_runs_sorts) {
    auto texts = random_texts(50001, 3000, 11);
    std::vector<std::string_view> want(texts.begin(), texts.end());
    std::sort(want.begin(), want.end());
    for (std::size_t runs : {0u, 1u, 2u, 3u, 7u, 16u, 50001u, 60000u}) {
        std::vector<std::string_view> got(texts.begin(), texts.end());
        parallel_sort(got, runs);
        EXPECT_TRUE(got == want);
    }
}

TEST(decode, codes_saturate_and_nan_is_missing) {
    const double inf = std::numeric_limits<double>::infinity();
    const auto top = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(code_of(2.9), 2u);
    EXPECT_EQ(code_of(-1.5), 0u);
    EXPECT_EQ(code_of(-inf), 0u);
    EXPECT_EQ(code_of(inf), top);
    EXPECT_EQ(code_of(1e30), top);
    EXPECT_EQ(code_of(18446744073709549568.0), 18446744073709549568ull);
    Decoder d{{0, "zero"}, {top, "top"}};
    EXPECT_TRUE(decode_cell(d, -3.0) == std::optional<std::string_view>("zero"));
    EXPECT_TRUE(decode_cell(d, 1e300) == std::optional<std::string_view>("top"));
    EXPECT_FALSE(decode_cell(d, porosa::missing_nan()).has_value());
    EXPECT_FALSE(decode_cell(d, 1.0).has_value());
}
