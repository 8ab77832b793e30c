#include "md5.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

namespace {

// Additive constants of the 64 steps: the integer part of 2^32 * |sin(i + 1)|.
constexpr std::array<std::uint32_t, 64> step_constant = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left rotations: each round cycles through its own four amounts.
constexpr std::array<int, 16> step_rotation = {
    7, 12, 17, 22, // round 1
    5, 9, 14, 20,  // round 2
    4, 11, 16, 23, // round 3
    6, 10, 15, 21, // round 4
};

constexpr std::size_t block_size = 64;
// The message length in bits goes into the last 8 bytes of the final block.
constexpr std::size_t length_offset = 56;

// MD5 reads its words least significant byte first, whatever the host does.
std::uint32_t load_le32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The block transform: four rounds of sixteen steps over one 64-byte block.
void md5_process(md5_context *ctx, const std::uint8_t *block)
{
    std::array<std::uint32_t, 16> x;
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = load_le32(block + 4 * i);

    std::uint32_t a = ctx->abcd[0];
    std::uint32_t b = ctx->abcd[1];
    std::uint32_t c = ctx->abcd[2];
    std::uint32_t d = ctx->abcd[3];
    for (std::size_t i = 0; i < 64; ++i) {
        std::uint32_t f;
        std::size_t word;
        switch (i / 16) {
        case 0:
            f = (b & c) | (~b & d);
            word = i;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            word = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            word = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            word = (7 * i) % 16;
            break;
        }
        const std::uint32_t sum = a + f + step_constant[i] + x[word];
        a = d;
        d = c;
        c = b;
        b += std::rotl(sum, step_rotation[(i / 16) * 4 + i % 4]);
    }
    ctx->abcd[0] += a;
    ctx->abcd[1] += b;
    ctx->abcd[2] += c;
    ctx->abcd[3] += d;
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
        md5_process(ctx, ctx->buf);
    }
    // Whole blocks are transformed where they lie; only a tail is kept.
    for (; left >= block_size; data += block_size, left -= block_size)
        md5_process(ctx, data);
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
