#include "generators/common/chacha.hpp"

#include <atomic>
#include <bit>

#include "core/cpu_features.hpp"

namespace porosa::chacha {

namespace {

// "expand 32-byte k" as little-endian words.
constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

inline void quarter(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) noexcept {
    a += b; d ^= a; d = std::rotl(d, 16);
    c += d; b ^= c; b = std::rotl(b, 12);
    a += b; d ^= a; d = std::rotl(d, 8);
    c += d; b ^= c; b = std::rotl(b, 7);
}

void block(const std::uint32_t* key, std::uint64_t counter, std::uint32_t* out) noexcept {
    const std::uint32_t in[16] = {
        kSigma[0], kSigma[1], kSigma[2], kSigma[3],
        key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
        std::uint32_t(counter), std::uint32_t(counter >> 32),
        0u, 0u,  // the nonce is always zero
    };
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = in[i];
    twelve_rounds(x, quarter);
    for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

// The scalar batch stays at four blocks, the old refill, so that a generator
// read for a few words costs no more than it did on processors without AVX2.
constexpr Kernel kScalar{&blocks_scalar, 4, Path::scalar, "scalar"};
#if defined(__x86_64__) || defined(__i386__)
constexpr Kernel kAvx2{&blocks_avx2, 8, Path::avx2, "avx2"};
constexpr Kernel kAvx512{&blocks_avx512, 16, Path::avx512, "avx512"};
#endif

// Null until the first refill picks the fastest kernel. Every thread that races
// there stores the same pointer; the atomic only keeps that race defined.
std::atomic<const Kernel*> g_active{nullptr};

}  // namespace

void blocks_scalar(const std::uint32_t* key, std::uint64_t counter, std::size_t n, std::uint32_t* out) noexcept {
    for (std::size_t b = 0; b < n; ++b) block(key, counter + b, out + 16 * b);
}

bool supported(Path path) noexcept {
    switch (path) {
    case Path::scalar:
        return true;
    case Path::avx2:
        return cpu_has_avx2();
    case Path::avx512:
        return cpu_has_avx512f();
    }
    return false;
}

Path fastest() noexcept {
    static const Path best = supported(Path::avx512) ? Path::avx512
                             : supported(Path::avx2) ? Path::avx2
                                                     : Path::scalar;
    return best;
}

const Kernel& kernel(Path path) noexcept {
#if defined(__x86_64__) || defined(__i386__)
    if (path == Path::avx512) return kAvx512;
    if (path == Path::avx2) return kAvx2;
#endif
    (void)path;
    return kScalar;
}

const Kernel& active() noexcept {
    const Kernel* k = g_active.load(std::memory_order_relaxed);
    if (k == nullptr) {
        k = &kernel(fastest());
        g_active.store(k, std::memory_order_relaxed);
    }
    return *k;
}

Path use(Path path) noexcept {
    const Path before = active().path;
    g_active.store(&kernel(path), std::memory_order_relaxed);
    return before;
}

}  // namespace porosa::chacha
