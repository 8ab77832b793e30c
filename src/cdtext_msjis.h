// MS-JIS, the double-byte character code of Japanese CD-Text (code 0x80): text
// in Shift-JIS as Windows writes it (code page 932), where a lead byte 81-9F or
// E0-FC and the byte after it form one character and every other byte is one.
// Conversion from and to UTF-8 through iconv, and the test whether a disc's
// texts are Japanese ones that MS-JIS can carry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// The CD-Text character code of MS-JIS, and the language code the texts then declare.
constexpr int CDTEXT_CHARSET_MSJIS = 0x80;
constexpr int CDTEXT_LANGUAGE_JAPANESE = 0x69;

/// True for a byte that starts a two-byte character.
bool msjis_is_lead_byte(std::uint8_t byte);
/// UTF-8 text as MS-JIS bytes; nullopt when a character has no form there that reads back
/// as itself (iconv would write U+00A5 as the backslash's byte, for one).
std::optional<std::string> msjis_from_utf8(std::string_view utf8);
/// MS-JIS bytes as UTF-8; a byte that starts no character, and a control character, become U+FFFD.
std::string msjis_to_utf8(std::string_view msjis);
/// True when the texts (UTF-8) are Japanese and MS-JIS holds every one of them: some kana or
/// kanji among them, no Greek or Cyrillic letter (which JIS holds too, but not for a Japanese disc).
bool msjis_suits(const std::vector<std::string> &texts);
