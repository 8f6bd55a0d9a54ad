#include "generators/common/mode.hpp"

#include <array>
#include <cstdint>

namespace porosa {

namespace {

constexpr std::array<std::string_view, 5> kNames{"GM", "MAX", "MIN", "BLOCK", "BLOB"};
constexpr std::array<std::string_view, 5> kWords{"gm", "max", "min", "block", "blob"};

// Decodes one UTF-8 code point; malformed bytes come back as themselves so the
// word simply fails to match.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    if (i + len > s.size()) len = 1;
    char32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    return cp;
}

// Every accepted word is ASCII, so the only question for a code point is which
// ASCII letter, if any, its full lower-case mapping is: A-Z, and the Kelvin sign,
// which lower-cases to 'k' (so "BLOC\u212A" selects BLOCK). U+0130 lower-cases to
// "i" plus a combining dot and so never matches; no other code point maps into ASCII.
bool lower_matches(std::string_view word, std::string_view target) {
    std::size_t i = 0, t = 0;
    while (i < word.size()) {
        char32_t cp = next_code_point(word, i);
        if (cp >= 'A' && cp <= 'Z') cp += 'a' - 'A';
        if (cp == 0x212A) cp = 'k';
        if (cp >= 0x80 || t >= target.size() || static_cast<char>(cp) != target[t]) return false;
        ++t;
    }
    return t == target.size();
}

}  // namespace

std::string_view kind_name(Kind kind) noexcept { return kNames[static_cast<std::size_t>(kind)]; }

Expected<ModeWithWarnings, mode::Error> Mode::new_(std::string_view word, std::optional<double> mean,
                                                    std::optional<double> variance,
                                                    std::optional<std::pair<double, double>> block_size,
                                                    std::optional<std::size_t> n_blobs) {
    std::size_t found = kWords.size();
    for (std::size_t k = 0; k < kWords.size(); ++k)
        if (lower_matches(word, kWords[k])) {
            found = k;
            break;
        }
    if (found == kWords.size())
        return refuse(ErrorKind::Value, "Unknown mode parameter: " + std::string(word) +
                                        " (Alloed: [\"GM\", \"MAX\", \"MIN\", \"BLOCK\", \"BLOB\"])");

    ModeWithWarnings out;
    Mode& m = out.mode;
    m.kind = static_cast<Kind>(found);
    if (m.kind == Kind::GM) {
        m.mean = mean.value_or(0.5);
        m.variance = variance.value_or(0.0);
    }
    if (m.kind == Kind::BLOCK) m.block_size = block_size.value_or(std::pair{0.5, 0.5});
    if (m.kind == Kind::BLOB) m.n_blobs = n_blobs.value_or(3);

    if ((mean || variance) && m.kind != Kind::GM)
        out.warnings.emplace_back("Mean/variance passed without passing a mode that supports it!");
    if (block_size && m.kind != Kind::BLOCK)
        out.warnings.emplace_back("Block size passed without passing a mode that supports it!");
    if (n_blobs && m.kind != Kind::BLOB)
        out.warnings.emplace_back("Number of Blobs passed without passing a mode that supports it!");
    return out;
}

}  // namespace porosa
