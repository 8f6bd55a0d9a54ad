#include "py/bridge/numeric_cells.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace porosa::bridge {

namespace {

template <class U>
U byteswap(U v) noexcept {
    if constexpr (sizeof(U) == 1) return v;
    else if constexpr (sizeof(U) == 2) return static_cast<U>(__builtin_bswap16(v));
    else if constexpr (sizeof(U) == 4) return __builtin_bswap32(v);
    else return __builtin_bswap64(v);
}

template <std::size_t N>
struct Bits;
template <>
struct Bits<1> { using type = std::uint8_t; };
template <>
struct Bits<2> { using type = std::uint16_t; };
template <>
struct Bits<4> { using type = std::uint32_t; };
template <>
struct Bits<8> { using type = std::uint64_t; };

template <class T, bool Swap>
T load(const char* p) noexcept {
    using U = typename Bits<sizeof(T)>::type;
    U u;
    std::memcpy(&u, p, sizeof u);
    if constexpr (Swap) u = byteswap(u);
    return std::bit_cast<T>(u);
}

// NumPy widens float16 by moving bits, not through the FPU: a signalling NaN
// keeps its payload unquieted, which a hardware conversion would not do.
double half_to_double(std::uint16_t h) noexcept {
    const std::uint64_t sign = static_cast<std::uint64_t>(h & 0x8000u) << 48;
    const unsigned exponent = h & 0x7c00u;
    const unsigned mantissa = h & 0x03ffu;
    if (exponent == 0x7c00u)
        return std::bit_cast<double>(sign | 0x7ff0000000000000ULL | (static_cast<std::uint64_t>(mantissa) << 42));
    if (exponent == 0) {
        // Zero or subnormal: mantissa × 2^-24 is exact in a double.
        const double magnitude = static_cast<double>(mantissa) * 0x1p-24;
        return std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) | sign);
    }
    return std::bit_cast<double>(sign + ((static_cast<std::uint64_t>(h & 0x7fffu) + 0xfc000u) << 42));
}

// One element as the scalar's float conversion sees it.
template <char Kind, int Size, bool Swap>
double element(const char* p) noexcept {
    if constexpr (Kind == 'b') {
        return *reinterpret_cast<const unsigned char*>(p) != 0 ? 1.0 : 0.0;
    } else if constexpr (Kind == 'f' && Size == 2) {
        return half_to_double(load<std::uint16_t, Swap>(p));
    } else if constexpr (Kind == 'f' && Size == 4) {
        return static_cast<double>(load<float, Swap>(p));
    } else if constexpr (Kind == 'f') {
        return load<double, Swap>(p);
    } else if constexpr (Kind == 'i') {
        using T = std::conditional_t<Size == 1, std::int8_t,
                                     std::conditional_t<Size == 2, std::int16_t,
                                                        std::conditional_t<Size == 4, std::int32_t, std::int64_t>>>;
        return static_cast<double>(load<T, Swap>(p));
    } else {
        using T = typename Bits<Size>::type;
        return static_cast<double>(load<T, Swap>(p));
    }
}

using Converter = void (*)(const char*, npy_intp, std::size_t, double*, std::size_t);

template <char Kind, int Size, bool Swap>
void convert(const char* src, npy_intp src_stride, std::size_t n, double* dst, std::size_t dst_stride) {
    for (std::size_t k = 0; k < n; ++k, src += src_stride, dst += dst_stride) *dst = element<Kind, Size, Swap>(src);
}

template <char Kind, int Size>
Converter pick(bool swapped) {
    return swapped ? &convert<Kind, Size, true> : &convert<Kind, Size, false>;
}

Converter converter_for(NumericDtype t) {
    switch (t.kind) {
        case 'b': return &convert<'b', 1, false>;
        case 'f':
            if (t.size == 2) return pick<'f', 2>(t.swapped);
            if (t.size == 4) return pick<'f', 4>(t.swapped);
            return pick<'f', 8>(t.swapped);
        case 'i':
            if (t.size == 1) return &convert<'i', 1, false>;
            if (t.size == 2) return pick<'i', 2>(t.swapped);
            if (t.size == 4) return pick<'i', 4>(t.swapped);
            return pick<'i', 8>(t.swapped);
        default:
            if (t.size == 1) return &convert<'u', 1, false>;
            if (t.size == 2) return pick<'u', 2>(t.swapped);
            if (t.size == 4) return pick<'u', 4>(t.swapped);
            return pick<'u', 8>(t.swapped);
    }
}

}  // namespace

std::optional<NumericDtype> numeric_dtype(PyArray_Descr* descr) {
    switch (descr->type_num) {
        case NPY_BOOL: case NPY_BYTE: case NPY_UBYTE: case NPY_SHORT: case NPY_USHORT: case NPY_INT:
        case NPY_UINT: case NPY_LONG: case NPY_ULONG: case NPY_LONGLONG: case NPY_ULONGLONG: case NPY_HALF:
        case NPY_FLOAT: case NPY_DOUBLE:
            break;
        default:
            return std::nullopt;
    }
    // Sizes are checked rather than assumed from the type number: a platform
    // whose long is not 8 bytes still maps onto the fixed-width readers.
    const auto size = static_cast<int>(PyDataType_ELSIZE(descr));
    const char kind = descr->kind;
    const bool sized = kind == 'b' ? size == 1
                       : kind == 'f' ? (size == 2 || size == 4 || size == 8)
                       : (kind == 'i' || kind == 'u') && (size == 1 || size == 2 || size == 4 || size == 8);
    if (!sized) return std::nullopt;
    const bool swapped = size > 1 && !PyArray_ISNBO(descr->byteorder);
    return NumericDtype{kind, size, swapped};
}

void convert_numbers(const char* src, npy_intp src_stride, std::size_t n, NumericDtype type, double* dst,
                     std::size_t dst_stride) {
    if (n > 0) converter_for(type)(src, src_stride, n, dst, dst_stride);
}

}  // namespace porosa::bridge
