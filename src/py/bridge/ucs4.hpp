// NumPy's fixed-width text elements (UCS-4 code units) as UTF-8.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace porosa::bridge {

// The code points up to the last non-zero one, which is what item access puts
// into the np.str_ it hands out. False when a code point is one that str()
// could not encode (a surrogate) or that NumPy would refuse (beyond U+10FFFF);
// such a cell is read by item access instead, to fail exactly as it would there.
inline bool ucs4_to_utf8(const char* p, std::size_t units, bool swapped, std::string& out) {
    out.clear();
    auto unit = [&](std::size_t k) {
        std::uint32_t u;
        std::memcpy(&u, p + 4 * k, 4);
        return swapped ? __builtin_bswap32(u) : u;
    };
    while (units > 0 && unit(units - 1) == 0) --units;
    for (std::size_t k = 0; k < units; ++k) {
        const std::uint32_t c = unit(k);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return false;
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c <= 0x10FFFF) {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace porosa::bridge
