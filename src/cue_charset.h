// The character set of a cue sheet. Rippers write UTF-8 or UTF-16 (with or
// without a byte-order mark), or the legacy code page of the Windows they ran
// on: Windows-1251 for Russian, Shift-JIS for Japanese, GBK for Chinese, ...
// A sheet that is not UTF-8 has its code page detected by uchardet, or named
// by the user, and is decoded with iconv into the UTF-8 the parser reads.
// No messages: what was done comes back as texts for the caller to report.
#pragma once

#include <string>
#include <string_view>

#include "text_encoding.h"

/// A cue sheet as UTF-8 text, and how it got there.
struct cue_sheet_text {
    std::string text;             ///< the whole sheet in UTF-8, line ends as they were
    std::string charset;          ///< the code page it was read in; empty for UTF-8 and UTF-16
    bool windows_1252 = false;    ///< read as Windows-1252, korvel's own table (undefined bytes as U+FFFD)
    std::string warning;          ///< what to tell the user about the choice; empty for none
    std::string error;            ///< set when the sheet cannot be read in the charset asked for
    int error_line = 0;           ///< the line that does not decode (from 1)
};

/// The sheet's text. `charset` (null for none) is the code page the user named, any name
/// iconv knows; it overrides detection, but not a byte-order mark. Without it, a sheet
/// without a mark that is not valid UTF-8 is read in the code page uchardet detects among
/// those rippers write, Windows-1252 when it detects none.
cue_sheet_text cue_sheet_decode(std::string_view bytes, const char *charset);

/// The code page rippers write that uchardet's guess stands for, as iconv names it
/// ("CP932" for "SHIFT_JIS"); "CP1252" where the guess is a Western sheet's (none, ASCII,
/// ISO-8859-1, or a Latin code page no ripper writes, which uchardet gives for short
/// Western texts); the guess itself for any other.
std::string cue_charset_for_guess(const std::string &guess);
