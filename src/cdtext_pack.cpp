#include "cdtext_pack.h"

#include <cstring>

// ---- Packs ----

namespace {

// Byte layout of a pack: type, extension flag and track, sequence number,
// DBCC flag with block number and character position, 12 text bytes, and
// the CRC of the first 16 bytes, high byte first.
constexpr int PACK_TYPE = 0;
constexpr int PACK_TRACK = 1;
constexpr int PACK_SEQ = 2;
constexpr int PACK_POSITION = 3;
constexpr int PACK_TEXT = 4;
constexpr int PACK_CRC = 16;

/// The CRC register after shifting each byte value, placed in the high byte, through eight steps.
const std::array<std::uint16_t, 256> &crc_table()
{
    static const std::array<std::uint16_t, 256> table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned i = 0; i < t.size(); ++i) {
            unsigned reg = i << 8;
            for (int bit = 0; bit < 8; ++bit)
                reg = (reg & 0x8000) != 0 ? (reg << 1) ^ 0x1021 : reg << 1;
            t[i] = static_cast<std::uint16_t>(reg);
        }
        return t;
    }();
    return table;
}

} // namespace

std::uint16_t crc_ccitt(const std::uint8_t *data, long len)
{
    const auto &table = crc_table();
    unsigned reg = 0;
    for (long i = 0; i < len; ++i)
        reg = ((reg << 8) & 0xFFFF) ^ table[((reg >> 8) ^ data[i]) & 0xFF];
    // CD-Text stores the CRC inverted.
    return static_cast<std::uint16_t>(reg ^ 0xFFFF);
}

void cdtp_clear(cdtext_pack_t *pack) { *pack = cdtext_pack_t{}; }

void cdtp_encode(const cdtext_pack_t *pack, std::uint8_t *out, std::uint32_t *seq)
{
    out[PACK_TYPE] = static_cast<std::uint8_t>(pack->type);
    out[PACK_TRACK] = static_cast<std::uint8_t>(((pack->ext & 1) << 7) | (pack->track & 0x7F));
    out[PACK_SEQ] = static_cast<std::uint8_t>(*seq);
    out[PACK_POSITION] =
        static_cast<std::uint8_t>(((pack->dbcc & 1) << 7) | ((pack->block & 7) << 4) | (pack->charpos & 0x0F));
    std::memcpy(out + PACK_TEXT, pack->text.data(), CDTEXT_PACK_TEXT);
    const std::uint16_t crc = crc_ccitt(out, PACK_CRC);
    out[PACK_CRC] = static_cast<std::uint8_t>(crc >> 8);
    out[PACK_CRC + 1] = static_cast<std::uint8_t>(crc);
    ++*seq;
}

void cdtp_decode(cdtext_pack_t *pack, const std::uint8_t *in)
{
    pack->type = in[PACK_TYPE];
    pack->ext = static_cast<std::uint8_t>(in[PACK_TRACK] >> 7);
    pack->track = static_cast<std::uint8_t>(in[PACK_TRACK] & 0x7F);
    pack->seq = in[PACK_SEQ];
    pack->dbcc = static_cast<std::uint8_t>(in[PACK_POSITION] >> 7);
    pack->block = static_cast<std::uint8_t>((in[PACK_POSITION] >> 4) & 7);
    pack->charpos = static_cast<std::uint8_t>(in[PACK_POSITION] & 0x0F);
    std::memcpy(pack->text.data(), in + PACK_TEXT, CDTEXT_PACK_TEXT);
    pack->crc = static_cast<std::uint16_t>(in[PACK_CRC] * 256 + in[PACK_CRC + 1]);
    pack->crc_ok = pack->crc == crc_ccitt(in, PACK_CRC) ? 1 : 0;
}

void cdtp_write(const cdtext_pack_t *pack, std::FILE *out, std::uint32_t *seq)
{
    std::array<std::uint8_t, CDTEXT_PACK_SIZE> bytes{};
    cdtp_encode(pack, bytes.data(), seq);
    // A failed write is not reported here: the caller checks the file's size and its close.
    const std::size_t items = std::fwrite(bytes.data(), bytes.size(), 1, out);
    static_cast<void>(items);
}

int cdtp_read(cdtext_pack_t *pack, std::FILE *in)
{
    std::array<std::uint8_t, CDTEXT_PACK_SIZE> bytes{};
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), in);
    if (got == bytes.size()) {
        cdtp_decode(pack, bytes.data());
        return 0;
    }
    // Some tools end a CD-Text file with one 0x00 byte after the last pack.
    if (got == 0 || (got == 1 && bytes[0] == 0))
        return -1;
    return -2;
}
