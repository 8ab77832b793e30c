// Reading binary CD-Text files: their blocks, the listing of their texts, the transfer
// of block 0's texts into a PQ list, and a dump of the packs.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cdtext_pack.h"

struct PQlist;

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
