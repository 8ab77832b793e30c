#include "text_encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

// The decoded forms below (UTF-16, invalid UTF-8, Windows-1252 and Latin-1 as UTF-8) were
// made with Python's codecs, not with korvel: bytes.decode("utf-16" / "utf-8" / "cp1252",
// "replace").encode("utf-8"), and "latin-1" for A0-FF. The folds and "?" follow the rules
// in text_encoding.h.

namespace {

using namespace std::string_literals; // "...\0..."s keeps the NULs inside

const std::string fffd = "\xEF\xBF\xBD"; // U+FFFD in UTF-8

std::string repeat(const std::string &s, int n)
{
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

// The same UTF-16 units with their two bytes exchanged; an odd last byte stays.
std::string swap_pairs(std::string bytes)
{
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        std::swap(bytes[i], bytes[i + 1]);
    return bytes;
}

// 'TITLE "<U+1F600>x"<CR>A', a lone high surrogate, 'A', a high surrogate followed by a
// surrogate pair, a lone low surrogate, and an odd byte 'B'.
const std::string utf16le_sheet = "\xFF\xFE"
                                  "T\0I\0T\0L\0E\0 \0\"\0\x3D\xD8\x00\xDEx\0\"\0\r\0A\0"
                                  "\x3D\xD8"
                                  "A\0"
                                  "\x3D\xD8\x3D\xD8\x00\xDE\x00\xDC"
                                  "B"s;
const std::string utf16_decoded = "TITLE \"\xF0\x9F\x98\x80x\"\rA" + fffd + "A" + fffd + "\xF0\x9F\x98\x80" + fffd + fffd;

TEST(TextEncoding, SheetsAreReadByTheirByteOrderMarkOrByTheirBytes)
{
    using E = text_encoding;
    using B = byte_order_mark;
    // UTF-16 without a mark, by Python's "utf-16-le"/"utf-16-be": 'REM x\r\nTITLE "日本"\r\n'.
    const std::string unmarked_le = "R\0E\0M\0 \0x\0\r\0\n\0T\0I\0T\0L\0E\0 \0\"\0\xE5\x65\x2C\x67\"\0\r\0\n\0"s;
    const std::string unmarked_text = "REM x\r\nTITLE \"\xE6\x97\xA5\xE6\x9C\xAC\"\r\n";
    const std::tuple<std::string, std::string, E, B> rows[] = {
        {unmarked_le, unmarked_text, E::utf8, B::utf16le},
        {swap_pairs(unmarked_le), unmarked_text, E::utf8, B::utf16be},
        // Shift-JIS kanji hold no NUL: a sheet is not taken for UTF-16 for its text bytes.
        {"REM \x93\xFA\x96\x7B\x93\xFA\x96\x7B\n", "REM \x93\xFA\x96\x7B\x93\xFA\x96\x7B\n", E::windows_1252, B::none},
        {"\xEF\xBB\xBF" "CATALOG 1\r\nTITLE \"Caf\xC3\xA9\"\r\n", "CATALOG 1\r\nTITLE \"Caf\xC3\xA9\"\r\n", E::utf8, B::utf8},
        // A mark decides even for bytes that are no UTF-8: they become "?" later, one by one.
        {"\xEF\xBB\xBF" "a\xE9", "a\xE9", E::utf8, B::utf8},
        {utf16le_sheet, utf16_decoded, E::utf8, B::utf16le},
        {swap_pairs(utf16le_sheet), utf16_decoded, E::utf8, B::utf16be},
        {"\xFE\xFF", "", E::utf8, B::utf16be},
        // Without a mark; CR-only line ends pass untouched.
        {"TITLE \"M\xC3\xA9tamorphoses\"\rFILE a.wav WAVE\r", "TITLE \"M\xC3\xA9tamorphoses\"\rFILE a.wav WAVE\r", E::utf8, B::none},
        {"TITLE \"Caf\xE9\"\r", "TITLE \"Caf\xE9\"\r", E::windows_1252, B::none},
        {"TITLE \"\x93Hi\x94\"\n", "TITLE \"\x93Hi\x94\"\n", E::windows_1252, B::none},
        {"PERFORMER \"\xC3\xA9\" \xE9\n", "PERFORMER \"\xC3\xA9\" \xE9\n", E::windows_1252, B::none}, // one byte spoils UTF-8
        {"TRACK 01 AUDIO\n", "TRACK 01 AUDIO\n", E::windows_1252, B::none},                            // plain ASCII
    };
    for (const auto &[bytes, text, encoding, bom] : rows) {
        const decoded_sheet sheet = decode_cue_sheet(bytes);
        EXPECT_EQ(sheet.text, text) << testing::PrintToString(bytes);
        EXPECT_EQ(sheet.encoding, encoding) << testing::PrintToString(bytes);
        EXPECT_EQ(sheet.bom, bom) << testing::PrintToString(bytes);
        EXPECT_EQ(sheet.utf16_unmarked, bytes.substr(0, 2) == "R\0"s || bytes.substr(0, 2) == "\0R"s);
    }
}

TEST(TextEncoding, CodePagesThroughIconvStrictOrWithReplacements)
{
    // Python: "Айсберг".encode("cp1251"), "日本\\".encode("cp932"); b"\x98" is undefined in Windows-1251.
    std::size_t bad_at = 99;
    EXPECT_EQ(charset_to_utf8("\xC0\xE9\xF1\xE1\xE5\xF0\xE3", "CP1251", bad_at), "\u0410\u0439\u0441\u0431\u0435\u0440\u0433");
    EXPECT_EQ(charset_to_utf8("ab\x98", "CP1251", bad_at), std::nullopt);
    EXPECT_EQ(bad_at, 2u);
    EXPECT_EQ(charset_to_utf8("ab", "NO-SUCH-CODE-PAGE", bad_at), std::nullopt);
    EXPECT_FALSE(charset_is_known("NO-SUCH-CODE-PAGE"));
    EXPECT_EQ(charset_to_utf8_lossy("a\x98\tb\xC0", "CP1251"), "a" + fffd + fffd + "b\u0410");
    EXPECT_EQ(charset_to_utf8_lossy("a\x93", "CP932"), "a" + fffd); // a lead byte cut by the end
    EXPECT_EQ(utf8_to_charset("\u65E5\u672C\\", "CP932"), "\x93\xFA\x96\x7B\\");
    EXPECT_EQ(utf8_to_charset("\uD55C", "CP932"), std::nullopt); // Hangul is no JIS character
}

TEST(TextEncoding, TextsBecomeLatin1WithTypographicMarksFoldedAndOtherCharactersMarked)
{
    using E = text_encoding;
    const std::tuple<std::string, E, std::string, bool, std::string> rows[] = {
        // Latin-1 letters and the no-break space are kept.
        {"M\xC3\xA9tamorphoses\xC2\xA0\xC3\xBF", E::utf8, "M\xE9tamorphoses\xA0\xFF", false, ""},
        {"Caf\xE9\tx", E::windows_1252, "Caf\xE9\tx", false, ""},
        // Quotes, primes, dashes, the minus, the ellipsis and the typographic spaces.
        {"Don\u2019t \u2018a\u2019 \u201Ab\u201B \u2032\u2035 \u201Cc\u201D \u201Ed\u201F \u2033\u2036", E::utf8,
         "Don't 'a' 'b' '' \"c\" \"d\" \"\"", true, ""},
        {"1\u20102\u20113\u20124\u20135\u20146\u20157\u22128\u2026", E::utf8, "1-2-3-4-5-6-7-8...", true, ""},
        {"a\u2000b\u200Ac\u202Fd\u200Be", E::utf8, "a b c d?e", true, "\u200B"},
        {"\x93" "Caf\xE9\x94 \x96 \x97 \x85 \x91x\x92 \x82\x84", E::windows_1252, "\"Caf\xE9\" - - ... 'x' '\"", true, ""},
        // Everything else outside Latin-1, from U+0100 on, is listed in order; a C1 control is listed as U+FFFD.
        {"\u041F\u0440\u0438 \u0100\u20AC\u2122\u0152 \u6771\u4EAC \U0001F600\xC2\x85", E::utf8, "??? ???? ?? ??", false,
         "\u041F\u0440\u0438\u0100\u20AC\u2122\u0152\u6771\u4EAC\U0001F600" + fffd},
        {"\x80\x99\x8C\x95 \x81\x8D\x8F\x90\x9D", E::windows_1252, "???? ?????", false,
         "\u20AC\u2122\u0152\u2022" + repeat(fffd, 5)},
        // Invalid UTF-8: a cut sequence, an encoded surrogate, past U+10FFFF, overlong forms, a cut end.
        {"a\xE2\x82" "b\xED\xA0\x80" "c\xF4\x90\x80\x80" "d\xC0\xAF\xE0\x80\xAF" "e\xF0\x9F\x98", E::utf8,
         "a?b???c????d?????e?", false, repeat(fffd, 14)},
    };
    for (const auto &[text, from, latin1, folded, unrepresentable] : rows) {
        const latin1_text out = to_latin1(text, from);
        EXPECT_EQ(out.text, latin1) << testing::PrintToString(text);
        EXPECT_EQ(out.folded, folded) << testing::PrintToString(text);
        EXPECT_EQ(out.unrepresentable, unrepresentable) << testing::PrintToString(text);
    }
}

TEST(TextEncoding, Latin1AndWindows1252BecomeUtf8WithControlsAndUndefinedBytesReplaced)
{
    std::string all;
    for (int byte = 0; byte < 256; ++byte)
        all += static_cast<char>(byte);
    const std::string latin1_high = "\u00A0¡¢£¤¥¦§¨©ª«¬\u00AD®¯°±²³´µ¶·¸¹º»¼½¾¿ÀÁÂÃÄÅÆÇÈÉÊËÌÍÎÏÐÑÒÓÔÕÖ×ØÙÚÛÜÝÞßàáâãäåæçèéêëìíîïðñòóôõö÷øùúûüýþÿ";
    const std::string ascii = all.substr(0x20, 0x5F); // blank to tilde

    EXPECT_EQ(latin1_to_utf8(all), repeat(fffd, 0x20) + ascii + repeat(fffd, 0x21) + latin1_high);
    EXPECT_EQ(windows1252_to_utf8(all.substr(0x20)),
              ascii + "\x7F€�‚ƒ„…†‡ˆ‰Š‹Œ�Ž��‘’“”•–—˜™š›œ�žŸ" + latin1_high);
    EXPECT_EQ(windows1252_to_utf8("a\tb"), "a\tb");
    EXPECT_TRUE(utf8_is_valid(latin1_to_utf8(all)));
    EXPECT_TRUE(utf8_is_valid(windows1252_to_utf8(all)));
}

} // namespace
