// CD-Text packs: the 18-byte pack with its header, 12 text bytes and CRC, the pack
// types, and the pack's encoding to and decoding from the bytes on disc.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// ---- Packs ----

/// Bytes of one CD-Text pack: 4 header bytes, 12 text bytes, 2 CRC bytes.
constexpr int CDTEXT_PACK_SIZE = 18;
/// Text bytes of one pack.
constexpr int CDTEXT_PACK_TEXT = 12;
/// Packs one block can hold: sequence numbers 0 to 255.
constexpr int CDTEXT_MAX_PACKS = 256;

enum : int {
    CDTEXT_TITLE = 0x80,
    CDTEXT_PERFORMER = 0x81,
    CDTEXT_SONGWRITER = 0x82,
    CDTEXT_COMPOSER = 0x83,
    CDTEXT_ARRANGER = 0x84,
    CDTEXT_MESSAGE = 0x85,
    CDTEXT_DISC_ID = 0x86,
    CDTEXT_GENRE = 0x87,
    CDTEXT_TOC = 0x88,
    CDTEXT_TOC2 = 0x89,
    CDTEXT_CLOSED = 0x8D,
    CDTEXT_UPC_ISRC = 0x8E,
    CDTEXT_SIZE_INFO = 0x8F,
};

/// One decoded pack.
struct cdtext_pack_t {
    int type = 0xFF;        ///< 0xFF while not set
    std::uint8_t ext = 0;   ///< extension flag
    std::uint8_t track = 0xFF; ///< 0 for the disc, 1-99 for a track; 0xFF while not set
    std::uint8_t seq = 0;   ///< sequence number as read
    std::uint8_t dbcc = 0;  ///< double-byte characters
    std::uint8_t block = 0; ///< 0-7
    std::uint8_t charpos = 0; ///< 0-15
    std::array<std::uint8_t, CDTEXT_PACK_TEXT> text{};
    std::uint16_t crc = 0;  ///< as read
    int crc_ok = 0;
};


/// CRC-16/GSM (poly 0x1021, init 0, inverted result) over `len` bytes.
std::uint16_t crc_ccitt(const std::uint8_t *data, long len);
/// Resets the pack: type and track 0xFF (not set), everything else 0.
void cdtp_clear(cdtext_pack_t *pack);
/// Fills `out` (18 bytes) with the pack, the counter's low byte as sequence number and the CRC; increments the counter.
void cdtp_encode(const cdtext_pack_t *pack, std::uint8_t *out, std::uint32_t *seq);
/// Decodes 18 bytes; crc_ok tells whether the CRC matched.
void cdtp_decode(cdtext_pack_t *pack, const std::uint8_t *in);
/// Encodes and writes one pack.
void cdtp_write(const cdtext_pack_t *pack, std::FILE *out, std::uint32_t *seq);
/// 0 a pack was read; -1 end of the packs (a single trailing 0x00 counts as the end); -2 incomplete pack.
int cdtp_read(cdtext_pack_t *pack, std::FILE *in);
