#include "crc.h"

#include <array>
#include <cstddef>

namespace {

// The reflected form of the generator polynomial 0x04C11DB7: bits are fed
// least significant first, so the register shifts right.
constexpr std::uint64_t crc32_polynomial = 0xEDB88320u;
constexpr std::uint64_t crc32_all_ones = 0xFFFFFFFFu;

// The remainder of every byte value, built on the first update. Entries keep
// the state's 64-bit type; only their low 32 bits are ever set.
std::array<std::uint64_t, 256> crc_tab32{};
int crc_tab32_init = 0;

void init_crc32_tab()
{
    for (std::size_t n = 0; n < crc_tab32.size(); ++n) {
        std::uint64_t c = n;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) != 0 ? (c >> 1) ^ crc32_polynomial : c >> 1;
        crc_tab32[n] = c;
    }
    crc_tab32_init = 1;
}

} // namespace

void crc32_init(std::uint64_t *state) { *state = crc32_all_ones; }

void crc32_update(std::uint64_t *state, const void *data, long len)
{
    if (len <= 0)
        return;
    if (crc_tab32_init == 0)
        init_crc32_tab();
    const auto *bytes = static_cast<const unsigned char *>(data);
    std::uint64_t crc = *state;
    // One table lookup per byte: the low byte of the register, combined with
    // the incoming byte, selects the remainder that replaces it.
    for (long i = 0; i < len; ++i)
        crc = (crc >> 8) ^ crc_tab32[(crc ^ bytes[i]) & 0xFFu];
    *state = crc;
}

void crc32_finish(std::uint64_t *state) { *state ^= crc32_all_ones; }

std::uint64_t crc32(const void *data, long len)
{
    std::uint64_t state;
    crc32_init(&state);
    crc32_update(&state, data, len);
    crc32_finish(&state);
    return state;
}
