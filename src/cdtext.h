// CD-Text's code tables (character sets, languages, genres, pack types), the Latin-1
// output layer through which every CD-Text listing reaches the terminal, and the block model.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cdtext_pack.h"

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
/// Name of the pack's type; 0x8E is "UPC/EAN" for track 0 and "ISRC" otherwise.
const char *pack_type_to_str(const cdtext_pack_t *pack);

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
