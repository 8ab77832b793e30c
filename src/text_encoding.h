// Text encodings at korvel's edges. Cue sheets arrive as UTF-8 (with or
// without a byte-order mark), UTF-16 (with or without one) or a legacy code
// page; CD-Text holds ISO 8859-1 (or MS-JIS); JSON output and file names want
// UTF-8. Pure functions: no I/O, no messages; code pages through iconv.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

/// The encoding of a cue sheet's text once any UTF-16 has been decoded.
/// A sheet of plain ASCII counts as Windows-1252: both read it the same.
enum class text_encoding { utf8, windows_1252 };

/// The byte-order mark a cue sheet began with.
enum class byte_order_mark { none, utf8, utf16le, utf16be };

struct decoded_sheet {
    std::string text;                            ///< the sheet without its mark, in `encoding`
    text_encoding encoding = text_encoding::utf8;
    byte_order_mark bom = byte_order_mark::none; ///< utf16le/utf16be: `text` was decoded from UTF-16
    /// UTF-16 without a mark, told by its NUL bytes; `bom` names its byte order.
    bool utf16_unmarked = false;
};

/// The whole sheet with a leading byte-order mark removed and UTF-16 decoded to UTF-8;
/// line ends and every other byte stay as they are. Without a mark, a sheet whose every
/// second byte is NUL in its first lines is UTF-16; valid UTF-8 holding a multi-byte
/// sequence is UTF-8 and anything else `windows_1252` (a code page, bytes unchanged).
/// Never fails: a broken UTF-16 unit (unpaired surrogate, odd last byte) becomes U+FFFD.
decoded_sheet decode_cue_sheet(std::string_view bytes);

/// UTF-16 in the given byte order as UTF-8 (a broken unit becomes U+FFFD).
std::string utf16_to_utf8(std::string_view bytes, bool little_endian);

/// True when iconv can read text in the code page `charset` (any name iconv knows).
bool charset_is_known(const char *charset);
/// Text in the code page `charset` as UTF-8. Strict: nullopt at the first byte sequence
/// that is not a character there (its offset in `bad_at`; the last byte's where iconv gave
/// no valid UTF-8), or for a code page iconv lacks (`bad_at` 0).
std::optional<std::string> charset_to_utf8(std::string_view bytes, const char *charset, std::size_t &bad_at);
/// The same, never failing: each byte that is no character there becomes U+FFFD (all of
/// them for a code page iconv lacks), and so do control characters, as in latin1_to_utf8.
std::string charset_to_utf8_lossy(std::string_view bytes, const char *charset);
/// UTF-8 text in the code page `charset`; nullopt when a character has no form there.
std::optional<std::string> utf8_to_charset(std::string_view utf8, const char *charset);

struct latin1_text {
    std::string text;            ///< ISO 8859-1 bytes: ASCII and A0-FF, never 80-9F
    bool folded = false;         ///< a typographic mark became its ASCII form (’ to ', – to -, … to ...)
    std::string unrepresentable; ///< UTF-8, each character written as "?", in the order met
};

/// One text of a sheet (TITLE, PERFORMER, SONGWRITER) in ISO 8859-1 for CD-Text. Characters
/// Latin-1 lacks become their ASCII form when they are typographic marks and "?" otherwise;
/// C1 controls, invalid UTF-8 (one "?" per maximal invalid subsequence, listed as U+FFFD)
/// and Windows-1252's five undefined bytes (listed as U+FFFD) become "?" too.
latin1_text to_latin1(std::string_view text, text_encoding from);

/// ISO 8859-1 as UTF-8; the control bytes 00-1F and 7F-9F become U+FFFD, so that the
/// result is always printable, valid UTF-8 (a damaged field cannot break JSON output).
std::string latin1_to_utf8(std::string_view text);

/// Windows-1252 as UTF-8 (for looking up a file name a Windows-1252 sheet gives);
/// the undefined bytes 81, 8D, 8F, 90 and 9D become U+FFFD, everything else maps 1:1.
std::string windows1252_to_utf8(std::string_view text);

/// The characters of UTF-8 text; each invalid sequence is one U+FFFD.
std::u32string utf8_code_points(std::string_view text);
/// Characters as UTF-8.
std::string code_points_to_utf8(std::u32string_view text);

/// True when the bytes are well-formed UTF-8: shortest forms, no surrogates, nothing past U+10FFFF.
bool utf8_is_valid(std::string_view text);
