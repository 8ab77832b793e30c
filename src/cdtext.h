// CD-Text: the 18-byte pack format with its CRC, the code tables, the writer
// that turns a PQ list's texts into packs, the reader and listing of binary
// CD-Text files, a pack dump, a block model, and the Latin-1 output layer
// through which every CD-Text listing reaches the terminal.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct PQlist;

// ---- Latin-1 output and code tables ----

/// 1 for 0x20-0x7E and 0xA0-0xFF (only the low 8 bits count), else 0.
int latin1_isprint(int c);
/// Takes the locale from the environment, so wide output uses the user's encoding.
void latin1_init();
/// Closes the bracket latin1_init opens; does nothing.
void latin1_done();
/// Writes Latin-1 text in the locale's encoding; unprintable bytes, and letters the
/// locale cannot show, become "?".
void latin1_print(std::FILE *out, const char *text);

/// Writes a CD-Text text of the character code `charset` in the locale's encoding: MS-JIS
/// (0x80), or else Latin-1 as latin1_print does.
void cdtext_print(std::FILE *out, const char *text, int charset);

/// Name of a CD-Text character code; "illegal character set" for unknown codes.
const char *charset_to_str(int code);
/// Name of a CD-Text language code; "not recognized" for unknown codes.
const char *language_to_str(int code);
/// Name of a CD-Text genre code; "Unknown " (with its blank) from 28 on.
const char *genre_to_str(unsigned int code);

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

/// Name of the pack's type; 0x8E is "UPC/EAN" for track 0 and "ISRC" otherwise.
const char *pack_type_to_str(const cdtext_pack_t *pack);

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

// ---- Writer ----

struct cdtext_writer_t {
    std::FILE *out = nullptr; ///< not owned
    cdtext_pack_t pack;
    int fill = 0;
    std::uint32_t seq = 0;
    int last_track = 0;
    std::array<std::uint32_t, 16> counts{};
    int language = 9; ///< English
    int charset = 0;  ///< ISO 8859-1
};

/// A writer on `out` (not owned; null only counts the packs in `seq`): block 0, English,
/// ISO 8859-1. Never null: allocation failure throws.
std::unique_ptr<cdtext_writer_t> cdtw_open(std::FILE *out);
/// Language code and character code that the size information will report.
void cdtw_set_language(cdtext_writer_t *w, int language);
void cdtw_set_charset(cdtext_writer_t *w, int charset);
/// Appends a text (null counts as empty) with its NUL to the packs of `type`; in an MS-JIS
/// block (charset 0x80) the text is MS-JIS bytes, ended by two NULs on a pair boundary.
void cdtw_put(cdtext_writer_t *w, int track, unsigned int type, const char *text);
/// Writes the last partial pack and the three size-information packs.
void cdtw_close(cdtext_writer_t *w);

// ---- Reader ----

struct cdtext_block_info_t {
    std::uint8_t language = 0;
    std::uint8_t charset = 0;
    int first_track = 0;
    int last_track = 0;
    std::uint8_t flags_byte = 0;
    std::array<int, 16> counts{};
    int last_seq = 0;
};

/// Bytes before the packs of a CD-Text file: 4 for the header that many programs write (the
/// length of what follows in two bytes, two reserved bytes), 0 for none. Leaves the stream at its start.
long cdtext_file_header(std::FILE *in);
/// Collects every block's size information. 0 when size packs 0, 1 and 2 were all found,
/// 1 when one is missing, -1 on an incomplete pack.
int cdtext_scan_blocks(std::FILE *in, cdtext_block_info_t blocks[8]);
/// Lists a CD-Text file's content block by block on standard output.
void parse_cdtext(std::FILE *in);
/// Copies block 0's titles, performers and songwriters into the list, and its character code
/// (ISO 8859-1 or MS-JIS) into text_charset. 0 done; 1 done, but other content was left out;
/// -1 unsupported character set or a track the list lacks.
int cdtext_fill_pqlist(std::FILE *in, PQlist &pq);

/// One text of a CD-Text file, a repeat mark (one TAB) already replaced by the text it repeats.
struct cdtext_text {
    int block = 0;
    int type = 0;  ///< 0x80 title ... 0x85 message, 0x8E UPC/EAN (track 0) or ISRC
    int track = 0; ///< 0 for the disc
    std::string text;
};
/// Every non-empty text of the types 0x80-0x85 and 0x8E, in the file's order.
std::vector<cdtext_text> cdtext_texts(std::FILE *in);

// ---- Dump ----

/// One table row per pack on standard output.
void cdt_dump(std::FILE *in);
/// With null the two header lines, else one row.
void cdtp_print(const cdtext_pack_t *pack);

// ---- Block model ----

struct cdtext_track_t {
    std::uint8_t number = 0;
    std::unique_ptr<cdtext_track_t> next;
    std::array<std::optional<std::string>, 8> fields;
};

struct cdtext_block_t {
    std::unique_ptr<cdtext_block_t> next;
    std::uint8_t language = 0;
    std::uint8_t charset = 0;
    std::array<std::optional<std::string>, 8> fields;
    std::uint16_t genre_code = 0;
    std::unique_ptr<cdtext_track_t> tracks;
};

/// A new block appended at the end of the chain reached from `chain`, owned by the block
/// before it; null (nothing made) when `chain` is null: a lone block comes from cdtb_new().
cdtext_block_t *cdtb_new(cdtext_block_t *chain);
/// A lone new block, owned by its maker.
std::unique_ptr<cdtext_block_t> cdtb_new();
/// Releases the block, its tracks and texts, and the blocks after it.
void cdtb_delete(std::unique_ptr<cdtext_block_t> block);
/// Replaces the block's tracks by tracks first..last in ascending order (none when first > last); 0.
int cdtb_create_tracks(cdtext_block_t *block, std::uint8_t first, std::uint8_t last);
/// Field 0-7 of the block (track 0) or of its track; null when unset, out of range or no such track.
const char *cdtb_get_field(const cdtext_block_t *block, std::uint8_t track, int field);
/// Stores a copy (null clears); 0, or 1 for a field outside 0-7 or a track the block lacks.
int cdtb_set_field(cdtext_block_t *block, std::uint8_t track, int field, const char *text);
void cdtb_set_language(cdtext_block_t *block, std::uint8_t language);
std::uint8_t cdtb_get_language(const cdtext_block_t *block);
const char *cdtb_get_language_name(const cdtext_block_t *block);
void cdtb_set_charset(cdtext_block_t *block, std::uint8_t charset);
std::uint8_t cdtb_get_charset(const cdtext_block_t *block);
const char *cdtb_get_charset_name(const cdtext_block_t *block);
void cdtb_set_genre_code(cdtext_block_t *block, std::uint16_t code);
