#include "md5.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

namespace {

constexpr std::size_t block_size = 64;
// The message length in bits goes into the last 8 bytes of the final block.
constexpr std::size_t length_offset = 56;

// MD5 reads its words least significant byte first, whatever the host does.
// The copy is how C++ reads a word at any address; it compiles to one load.
inline std::uint32_t load_le32(const std::uint8_t *p)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    return v;
}

// The four step functions of RFC 1321: a = b + ((a + fn(b, c, d) + word + constant) <<< s).
// Each is written so that the part that does not depend on b, the result of
// the step before, can be computed while that step is still running.

// F(b, c, d) = (b & c) | (~b & d): where b has a one take c, else d.
template <int s>
inline void step_f(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t wk)
{
    a += wk + (d ^ (b & (c ^ d)));
    a = std::rotl(a, s) + b;
}

// G(b, c, d) = (b & d) | (c & ~d): the two terms share no bit, so their sum
// is their union, and c & ~d goes in before b is known.
template <int s>
inline void step_g(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t wk)
{
    a += wk + (c & ~d);
    a += b & d;
    a = std::rotl(a, s) + b;
}

// H(b, c, d) = b ^ c ^ d.
template <int s>
inline void step_h(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t wk)
{
    a += wk + (b ^ (c ^ d));
    a = std::rotl(a, s) + b;
}

// I(b, c, d) = c ^ (b | ~d).
template <int s>
inline void step_i(std::uint32_t &a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t wk)
{
    a += wk + (c ^ (b | ~d));
    a = std::rotl(a, s) + b;
}

// The block transform over `count` consecutive 64-byte blocks, read where
// they lie: four rounds of sixteen steps each, with the additive constants
// of RFC 1321 (the integer part of 2^32 * |sin(i + 1)| for step i) and its
// rotation amounts written into the steps.
void md5_process(md5_context *ctx, const std::uint8_t *blocks, std::size_t count)
{
    std::uint32_t a = ctx->abcd[0];
    std::uint32_t b = ctx->abcd[1];
    std::uint32_t c = ctx->abcd[2];
    std::uint32_t d = ctx->abcd[3];
    for (; count > 0; --count, blocks += block_size) {
        const auto x = [blocks](int i) { return load_le32(blocks + 4 * i); };
        const std::uint32_t a0 = a;
        const std::uint32_t b0 = b;
        const std::uint32_t c0 = c;
        const std::uint32_t d0 = d;

        // Round 1: F(b, c, d) = (b & c) | (~b & d), words in order.
        step_f<7>(a, b, c, d, x(0) + 0xd76aa478);
        step_f<12>(d, a, b, c, x(1) + 0xe8c7b756);
        step_f<17>(c, d, a, b, x(2) + 0x242070db);
        step_f<22>(b, c, d, a, x(3) + 0xc1bdceee);
        step_f<7>(a, b, c, d, x(4) + 0xf57c0faf);
        step_f<12>(d, a, b, c, x(5) + 0x4787c62a);
        step_f<17>(c, d, a, b, x(6) + 0xa8304613);
        step_f<22>(b, c, d, a, x(7) + 0xfd469501);
        step_f<7>(a, b, c, d, x(8) + 0x698098d8);
        step_f<12>(d, a, b, c, x(9) + 0x8b44f7af);
        step_f<17>(c, d, a, b, x(10) + 0xffff5bb1);
        step_f<22>(b, c, d, a, x(11) + 0x895cd7be);
        step_f<7>(a, b, c, d, x(12) + 0x6b901122);
        step_f<12>(d, a, b, c, x(13) + 0xfd987193);
        step_f<17>(c, d, a, b, x(14) + 0xa679438e);
        step_f<22>(b, c, d, a, x(15) + 0x49b40821);

        // Round 2: G(b, c, d) = (b & d) | (c & ~d), words 1, 6, 11, ... (5i + 1 mod 16).
        step_g<5>(a, b, c, d, x(1) + 0xf61e2562);
        step_g<9>(d, a, b, c, x(6) + 0xc040b340);
        step_g<14>(c, d, a, b, x(11) + 0x265e5a51);
        step_g<20>(b, c, d, a, x(0) + 0xe9b6c7aa);
        step_g<5>(a, b, c, d, x(5) + 0xd62f105d);
        step_g<9>(d, a, b, c, x(10) + 0x02441453);
        step_g<14>(c, d, a, b, x(15) + 0xd8a1e681);
        step_g<20>(b, c, d, a, x(4) + 0xe7d3fbc8);
        step_g<5>(a, b, c, d, x(9) + 0x21e1cde6);
        step_g<9>(d, a, b, c, x(14) + 0xc33707d6);
        step_g<14>(c, d, a, b, x(3) + 0xf4d50d87);
        step_g<20>(b, c, d, a, x(8) + 0x455a14ed);
        step_g<5>(a, b, c, d, x(13) + 0xa9e3e905);
        step_g<9>(d, a, b, c, x(2) + 0xfcefa3f8);
        step_g<14>(c, d, a, b, x(7) + 0x676f02d9);
        step_g<20>(b, c, d, a, x(12) + 0x8d2a4c8a);

        // Round 3: H(b, c, d) = b ^ c ^ d, words 5, 8, 11, ... (3i + 5 mod 16).
        step_h<4>(a, b, c, d, x(5) + 0xfffa3942);
        step_h<11>(d, a, b, c, x(8) + 0x8771f681);
        step_h<16>(c, d, a, b, x(11) + 0x6d9d6122);
        step_h<23>(b, c, d, a, x(14) + 0xfde5380c);
        step_h<4>(a, b, c, d, x(1) + 0xa4beea44);
        step_h<11>(d, a, b, c, x(4) + 0x4bdecfa9);
        step_h<16>(c, d, a, b, x(7) + 0xf6bb4b60);
        step_h<23>(b, c, d, a, x(10) + 0xbebfbc70);
        step_h<4>(a, b, c, d, x(13) + 0x289b7ec6);
        step_h<11>(d, a, b, c, x(0) + 0xeaa127fa);
        step_h<16>(c, d, a, b, x(3) + 0xd4ef3085);
        step_h<23>(b, c, d, a, x(6) + 0x04881d05);
        step_h<4>(a, b, c, d, x(9) + 0xd9d4d039);
        step_h<11>(d, a, b, c, x(12) + 0xe6db99e5);
        step_h<16>(c, d, a, b, x(15) + 0x1fa27cf8);
        step_h<23>(b, c, d, a, x(2) + 0xc4ac5665);

        // Round 4: I(b, c, d) = c ^ (b | ~d), words 0, 7, 14, ... (7i mod 16).
        step_i<6>(a, b, c, d, x(0) + 0xf4292244);
        step_i<10>(d, a, b, c, x(7) + 0x432aff97);
        step_i<15>(c, d, a, b, x(14) + 0xab9423a7);
        step_i<21>(b, c, d, a, x(5) + 0xfc93a039);
        step_i<6>(a, b, c, d, x(12) + 0x655b59c3);
        step_i<10>(d, a, b, c, x(3) + 0x8f0ccc92);
        step_i<15>(c, d, a, b, x(10) + 0xffeff47d);
        step_i<21>(b, c, d, a, x(1) + 0x85845dd1);
        step_i<6>(a, b, c, d, x(8) + 0x6fa87e4f);
        step_i<10>(d, a, b, c, x(15) + 0xfe2ce6e0);
        step_i<15>(c, d, a, b, x(6) + 0xa3014314);
        step_i<21>(b, c, d, a, x(13) + 0x4e0811a1);
        step_i<6>(a, b, c, d, x(4) + 0xf7537e82);
        step_i<10>(d, a, b, c, x(11) + 0xbd3af235);
        step_i<15>(c, d, a, b, x(2) + 0x2ad7d2bb);
        step_i<21>(b, c, d, a, x(9) + 0xeb86d391);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    ctx->abcd[0] = a;
    ctx->abcd[1] = b;
    ctx->abcd[2] = c;
    ctx->abcd[3] = d;
}

// The bit count is 64 bits wide and wraps, as the message length modulo 2^64.
void add_to_bit_count(md5_context *ctx, std::size_t nbytes)
{
    std::uint64_t bits = (static_cast<std::uint64_t>(ctx->count[1]) << 32) | ctx->count[0];
    bits += static_cast<std::uint64_t>(nbytes) << 3;
    ctx->count[0] = static_cast<std::uint32_t>(bits);
    ctx->count[1] = static_cast<std::uint32_t>(bits >> 32);
}

} // namespace

void md5_init(md5_context *ctx)
{
    ctx->count[0] = 0;
    ctx->count[1] = 0;
    ctx->abcd[0] = 0x67452301;
    ctx->abcd[1] = 0xefcdab89;
    ctx->abcd[2] = 0x98badcfe;
    ctx->abcd[3] = 0x10325476;
}

void md5_append(md5_context *ctx, const std::uint8_t *data, int nbytes)
{
    if (nbytes <= 0)
        return;
    std::size_t left = static_cast<std::size_t>(nbytes);
    const std::size_t buffered = (ctx->count[0] >> 3) % block_size;
    add_to_bit_count(ctx, left);

    // Complete the block an earlier append left unfinished.
    if (buffered > 0) {
        const std::size_t room = block_size - buffered;
        const std::size_t n = left < room ? left : room;
        std::memcpy(ctx->buf + buffered, data, n);
        if (n < room)
            return;
        data += n;
        left -= n;
        md5_process(ctx, ctx->buf, 1);
    }
    // Whole blocks are transformed where they lie; only a tail is kept.
    const std::size_t whole = left / block_size;
    md5_process(ctx, data, whole);
    data += whole * block_size;
    left -= whole * block_size;
    if (left > 0)
        std::memcpy(ctx->buf, data, left);
}

void md5_finish(md5_context *ctx, std::uint8_t digest[16])
{
    // Padding: one bit, zeros up to 56 bytes modulo 64, then the message
    // length in bits, least significant byte first.
    static constexpr std::array<std::uint8_t, block_size> padding = {0x80};
    std::array<std::uint8_t, 8> length;
    for (std::size_t i = 0; i < length.size(); ++i)
        length[i] = static_cast<std::uint8_t>(ctx->count[i / 4] >> (8 * (i % 4)));

    const std::size_t buffered = (ctx->count[0] >> 3) % block_size;
    const std::size_t pad = buffered < length_offset ? length_offset - buffered
                                                     : block_size + length_offset - buffered;
    md5_append(ctx, padding.data(), static_cast<int>(pad));
    md5_append(ctx, length.data(), static_cast<int>(length.size()));

    for (std::size_t i = 0; i < 16; ++i)
        digest[i] = static_cast<std::uint8_t>(ctx->abcd[i / 4] >> (8 * (i % 4)));
}
