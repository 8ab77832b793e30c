// The CD-Text writer: texts put by track and kind become packs, one block with its
// size information, in ISO 8859-1 or MS-JIS.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cdtext_pack.h"

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
