#include "crc.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORVEL_CRC_CLMUL 1
#include <immintrin.h>
#else
#define KORVEL_CRC_CLMUL 0
#endif

namespace {

// The reflected form of the generator polynomial 0x04C11DB7: bits are fed
// least significant first, so the register shifts right.
constexpr std::uint64_t crc32_polynomial = 0xEDB88320u;
constexpr std::uint64_t crc32_all_ones = 0xFFFFFFFFu;

// Slicing: the register absorbs 16 bytes at a time, and each byte is still
// looked up once, in the table for its distance from the end of the slice.
constexpr std::size_t slice_bytes = 16;

// The remainder of every byte value, built on the first update. Entries keep
// the state's 64-bit type; only their low 32 bits are ever set.
std::array<std::uint64_t, 256> crc_tab32{};
// Entry k - 1 holds the remainder of every byte value followed by k zero
// bytes, for k from 1 to 15: crc_tab32 is the table for k = 0. With them the
// sixteen bytes of a slice fold independently of each other.
std::array<std::array<std::uint32_t, 256>, slice_bytes - 1> crc_tab32_ahead{};
int crc_tab32_init = 0;

void init_crc32_tab()
{
    for (std::size_t n = 0; n < crc_tab32.size(); ++n) {
        std::uint64_t c = n;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) != 0 ? (c >> 1) ^ crc32_polynomial : c >> 1;
        crc_tab32[n] = c;
    }
    for (std::size_t n = 0; n < crc_tab32.size(); ++n) {
        std::uint64_t c = crc_tab32[n];
        for (auto &table : crc_tab32_ahead) {
            c = (c >> 8) ^ crc_tab32[c & 0xFFu];
            table[n] = static_cast<std::uint32_t>(c);
        }
    }
    crc_tab32_init = 1;
}

// The CRC reads the message least significant byte first, whatever the host does.
std::uint32_t load_le32(const unsigned char *p)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    return v;
}

// One table lookup per byte: the low byte of the register, combined with
// the incoming byte, selects the remainder that replaces it.
std::uint64_t fold_bytes(std::uint64_t crc, const unsigned char *p, std::size_t len)
{
    for (std::size_t i = 0; i < len; ++i)
        crc = (crc >> 8) ^ crc_tab32[(crc ^ p[i]) & 0xFFu];
    return crc;
}

// Sixteen bytes at a time: byte i of the slice is followed by 15 - i more,
// so its remainder comes from the table for 15 - i; the sum of the sixteen
// is the register after the slice. The register enters through the first
// four bytes. Words of 32 bits give the compiler the cheapest byte picks.
std::uint64_t fold_slices(std::uint64_t crc, const unsigned char *p, std::size_t len)
{
    // t[k - 1] is the table for a byte followed by k more.
    const auto &t = crc_tab32_ahead;
    for (; len >= slice_bytes; p += slice_bytes, len -= slice_bytes) {
        const std::uint32_t w0 = load_le32(p) ^ static_cast<std::uint32_t>(crc);
        const std::uint32_t w1 = load_le32(p + 4);
        const std::uint32_t w2 = load_le32(p + 8);
        const std::uint32_t w3 = load_le32(p + 12);
        crc = t[14][w0 & 0xFF] ^ t[13][(w0 >> 8) & 0xFF] ^ t[12][(w0 >> 16) & 0xFF] ^ t[11][w0 >> 24] ^
              t[10][w1 & 0xFF] ^ t[9][(w1 >> 8) & 0xFF] ^ t[8][(w1 >> 16) & 0xFF] ^ t[7][w1 >> 24] ^
              t[6][w2 & 0xFF] ^ t[5][(w2 >> 8) & 0xFF] ^ t[4][(w2 >> 16) & 0xFF] ^ t[3][w2 >> 24] ^
              t[2][w3 & 0xFF] ^ t[1][(w3 >> 8) & 0xFF] ^ t[0][(w3 >> 16) & 0xFF] ^ crc_tab32[w3 >> 24];
    }
    return fold_bytes(crc, p, len);
}

#if KORVEL_CRC_CLMUL

// Folding with carry-less multiplication: four 128-bit lanes run over the
// message 64 bytes at a time; each step multiplies a lane's two 64-bit halves
// by x^(512+32) and x^(512-32) modulo the polynomial, which moves them 64
// bytes further, and adds the next 64 bytes. The four lanes are then folded
// into one (16 bytes a step), the 128 bits reduced to 64 and, by Barrett
// reduction, to the 32-bit register. The constants are those powers of x
// modulo P, bit-reflected and shifted left by one, because a carry-less
// product of reflected operands comes out one bit short.
constexpr std::uint64_t k_x544 = 0x0154442bd4; // x^(4*128+32) mod P
constexpr std::uint64_t k_x480 = 0x01c6e41596; // x^(4*128-32) mod P
constexpr std::uint64_t k_x160 = 0x01751997d0; // x^(128+32) mod P
constexpr std::uint64_t k_x96 = 0x00ccaa009e;  // x^(128-32) mod P
constexpr std::uint64_t k_x64 = 0x0163cd6124;  // x^64 mod P
constexpr std::uint64_t k_poly = 0x01db710641; // P itself, reflected
constexpr std::uint64_t k_mu = 0x01f7011641;   // floor(x^64 / P), reflected

// lane.lo * k.lo xor lane.hi * k.hi: one lane moved 64 or 16 bytes further.
__attribute__((target("pclmul,sse2"))) inline __m128i fold_lane(__m128i lane, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11));
}

__attribute__((target("pclmul,sse2"))) inline __m128i load128(const unsigned char *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// The register after `len` bytes; len is a multiple of 16 and at least 64.
__attribute__((target("pclmul,sse2"))) std::uint32_t fold_clmul(std::uint32_t crc, const unsigned char *p,
                                                                 std::size_t len)
{
    __m128i x1 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load128(p + 16);
    __m128i x3 = load128(p + 32);
    __m128i x4 = load128(p + 48);
    p += 64;
    len -= 64;

    const __m128i k64 = _mm_set_epi64x(static_cast<long long>(k_x480), static_cast<long long>(k_x544));
    for (; len >= 64; p += 64, len -= 64) {
        x1 = _mm_xor_si128(fold_lane(x1, k64), load128(p));
        x2 = _mm_xor_si128(fold_lane(x2, k64), load128(p + 16));
        x3 = _mm_xor_si128(fold_lane(x3, k64), load128(p + 32));
        x4 = _mm_xor_si128(fold_lane(x4, k64), load128(p + 48));
    }

    const __m128i k16 = _mm_set_epi64x(static_cast<long long>(k_x96), static_cast<long long>(k_x160));
    x1 = _mm_xor_si128(fold_lane(x1, k16), x2);
    x1 = _mm_xor_si128(fold_lane(x1, k16), x3);
    x1 = _mm_xor_si128(fold_lane(x1, k16), x4);
    for (; len >= 16; p += 16, len -= 16)
        x1 = _mm_xor_si128(fold_lane(x1, k16), load128(p));

    // 128 bits to 64: the low half, times x^96, is added to the high half.
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k16, 0x10));
    // 64 bits to 32 plus a 64-bit remainder to reduce.
    const __m128i k8 = _mm_set_epi64x(0, static_cast<long long>(k_x64));
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k8, 0x00));
    // Barrett: q = (low 32 bits) * mu, r = x - (low 32 bits of q) * P.
    const __m128i barrett = _mm_set_epi64x(static_cast<long long>(k_mu), static_cast<long long>(k_poly));
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), barrett, 0x00);
    x1 = _mm_xor_si128(x1, q);
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

#endif

// Asked once per process: the CPU does not change under a running program.
bool cpu_has_clmul()
{
#if KORVEL_CRC_CLMUL
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    }();
    return has;
#else
    return false;
#endif
}

// The folding starts with four lanes of 16 bytes; anything shorter, and the
// last bytes short of a lane, go through the tables.
constexpr std::size_t clmul_min_bytes = 64;

std::uint64_t fold_clmul_then_slices(std::uint64_t crc, const unsigned char *p, std::size_t len)
{
#if KORVEL_CRC_CLMUL
    if (len >= clmul_min_bytes && cpu_has_clmul()) {
        const std::size_t whole = len & ~static_cast<std::size_t>(15);
        crc = fold_clmul(static_cast<std::uint32_t>(crc), p, whole);
        p += whole;
        len -= whole;
    }
#endif
    return fold_slices(crc, p, len);
}

} // namespace

void crc32_init(std::uint64_t *state) { *state = crc32_all_ones; }

void crc32_update(std::uint64_t *state, const void *data, long len) { crc32_update_clmul(state, data, len); }

void crc32_finish(std::uint64_t *state) { *state ^= crc32_all_ones; }

std::uint64_t crc32(const void *data, long len)
{
    std::uint64_t state;
    crc32_init(&state);
    crc32_update(&state, data, len);
    crc32_finish(&state);
    return state;
}

bool crc32_have_clmul() { return cpu_has_clmul(); }

void crc32_update_portable(std::uint64_t *state, const void *data, long len)
{
    if (len <= 0)
        return;
    if (crc_tab32_init == 0)
        init_crc32_tab();
    *state = fold_slices(*state, static_cast<const unsigned char *>(data), static_cast<std::size_t>(len));
}

void crc32_update_clmul(std::uint64_t *state, const void *data, long len)
{
    if (len <= 0)
        return;
    if (crc_tab32_init == 0)
        init_crc32_tab();
    *state = fold_clmul_then_slices(*state, static_cast<const unsigned char *>(data), static_cast<std::size_t>(len));
}
