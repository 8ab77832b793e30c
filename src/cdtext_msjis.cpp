#include "cdtext_msjis.h"

#include <algorithm>

#include "text_encoding.h"

namespace {

/// Windows' Shift-JIS, with the backslash and tilde of ASCII where JIS X 0201 has yen and overline.
constexpr const char *msjis_code_page = "CP932";

bool is_kana_or_kanji(char32_t c)
{
    return (c >= 0x3040 && c <= 0x30FF) ||  // hiragana, katakana
           (c >= 0x3400 && c <= 0x4DBF) ||  // CJK extension A
           (c >= 0x4E00 && c <= 0x9FFF) ||  // CJK unified ideographs
           (c >= 0xF900 && c <= 0xFAFF) ||  // CJK compatibility ideographs
           (c >= 0xFF66 && c <= 0xFF9F);    // half-width katakana
}

bool is_greek_or_cyrillic(char32_t c) { return c >= 0x0370 && c <= 0x052F; }

} // namespace

bool msjis_is_lead_byte(std::uint8_t byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

std::optional<std::string> msjis_from_utf8(std::string_view utf8)
{
    std::optional<std::string> bytes = utf8_to_charset(utf8, msjis_code_page);
    if (!bytes)
        return std::nullopt;
    std::size_t bad_at = 0;
    if (charset_to_utf8(*bytes, msjis_code_page, bad_at) != utf8)
        return std::nullopt;
    return bytes;
}

std::string msjis_to_utf8(std::string_view msjis) { return charset_to_utf8_lossy(msjis, msjis_code_page); }

bool msjis_suits(const std::vector<std::string> &texts)
{
    bool japanese = false;
    for (const std::string &text : texts) {
        const std::u32string chars = utf8_code_points(text);
        if (std::any_of(chars.begin(), chars.end(), is_greek_or_cyrillic) || !msjis_from_utf8(text))
            return false;
        japanese = japanese || std::any_of(chars.begin(), chars.end(), is_kana_or_kanji);
    }
    return japanese;
}
