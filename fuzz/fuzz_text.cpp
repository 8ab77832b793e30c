// Fuzz target: the small text checks that every cue sheet line meets (disc
// times, catalog numbers, ISRCs), the strict line reader of the checksum
// files, and the text encoding conversions, each with invariants that must
// hold for any input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "cdtext_msjis.h"
#include "cue_charset.h"
#include "fuzz_support.h"
#include "pqlist.h"
#include "text_encoding.h"
#include "tolk_utils.h"

namespace {

/// The last position a disc can have: 89:59:74.
constexpr long last_frame = 89L * 60 * 75 + 59 * 75 + 74;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

void check_time(const char *text)
{
    const long frames = str2frames(text);
    if (frames == -1)
        return;
    if (frames < 0 || frames > last_frame)
        __builtin_trap();
    // A valid time is digits and exactly two colons.
    int colons = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == ':')
            ++colons;
        else if (!is_digit(*p))
            __builtin_trap();
    }
    if (colons != 2)
        __builtin_trap();
    // Written out and read back, the position stays the same.
    char buf[9];
    frames2str(frames, buf);
    if (std::strlen(buf) != 8 || str2frames(buf) != frames)
        __builtin_trap();
}

void check_ean(const char *text)
{
    char out[14];
    std::memset(out, 'x', sizeof out);
    const int r = ean13_validate(text, out);
    if (r < 0 || r > 2)
        __builtin_trap();
    if (r == 2)
        return;
    // Twelve digits and a check digit: the completed code is valid, and a valid input is itself.
    if (std::strlen(out) != 13 || ean13_validate(out, nullptr) != 0)
        __builtin_trap();
    for (int i = 0; i < 12; ++i)
        if (out[i] != text[i])
            __builtin_trap();
    if (r == 0 && std::strcmp(out, text) != 0)
        __builtin_trap();
}

void check_isrc(const char *text)
{
    const int r = isrc_is_valid(text);
    if (r != 0 && r != 1)
        __builtin_trap();
    if (r == 0)
        return;
    // Country (2 letters), owner (3 letters or digits), year and number (7 digits).
    if (std::strlen(text) != 12 || !is_upper(text[0]) || !is_upper(text[1]))
        __builtin_trap();
    for (int i = 2; i < 5; ++i)
        if (!is_upper(text[i]) && !is_digit(text[i]))
            __builtin_trap();
    for (int i = 5; i < 12; ++i)
        if (!is_digit(text[i]))
            __builtin_trap();
}

/// Reads the whole input line by line with a line limit of `max` characters.
void check_lines(const std::uint8_t *data, std::size_t size, int max)
{
    file_ptr in = fuzz::memory_file(data, size);
    std::string buf(static_cast<std::size_t>(max) + 1, '\xAA');
    std::size_t kept = 0;
    // Every call but the last takes at least one byte, so the loop ends.
    for (std::size_t calls = 0;; ++calls) {
        if (calls > size + 1)
            __builtin_trap();
        const int r = tolk_freadln(buf.data(), max, in.get());
        if (r < -2 || r > 1)
            __builtin_trap();
        const std::size_t len = std::strlen(buf.c_str());
        if (len > static_cast<std::size_t>(max) || (r == 1 && len != static_cast<std::size_t>(max)))
            __builtin_trap();
        for (std::size_t i = 0; i < len; ++i) {
            const auto c = static_cast<unsigned char>(buf[i]);
            if ((c < 0x20 && c != '\t') || c == 0x7F)
                __builtin_trap();
        }
        kept += len;
        if (kept > size)
            __builtin_trap();
        if (r == -1) {
            if (len != 0)
                __builtin_trap();
            break;
        }
        if (r == -2)
            break; // the rest of a file that is not text stays unread
    }
}

bool has_control(const std::string &text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7F;
    });
}

std::size_t count_of(const std::string &text, char c) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), c)); }

/// Characters in valid UTF-8: the bytes that are no continuation bytes.
std::size_t utf8_length(const std::string &text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void check_sheet_decoding(const std::string &bytes)
{
    const decoded_sheet sheet = decode_cue_sheet(bytes);
    switch (sheet.bom) {
    case byte_order_mark::none: {
        const bool high = std::any_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; });
        const bool utf8 = high && utf8_is_valid(bytes);
        if (sheet.text != bytes || sheet.encoding != (utf8 ? text_encoding::utf8 : text_encoding::windows_1252))
            __builtin_trap();
        break;
    }
    case byte_order_mark::utf8:
        if (sheet.text != bytes.substr(3) || sheet.encoding != text_encoding::utf8)
            __builtin_trap();
        break;
    case byte_order_mark::utf16le:
    case byte_order_mark::utf16be:
        // Two bytes give at most three of UTF-8 (four give four); an odd last byte gives three.
        if (!utf8_is_valid(sheet.text) || sheet.encoding != text_encoding::utf8 ||
            sheet.text.size() > (bytes.size() - (sheet.utf16_unmarked ? 0 : 2)) / 2 * 3 + 3)
            __builtin_trap();
        break;
    }
}

void check_latin1(const std::string &text, text_encoding from)
{
    const latin1_text out = to_latin1(text, from);
    // UTF-8 never grows ("..." for U+2026 takes its three bytes); one Windows-1252 byte gives at most three.
    const std::size_t bound = from == text_encoding::utf8 ? text.size() : 3 * text.size();
    if (out.text.size() > bound || !utf8_is_valid(out.unrepresentable))
        __builtin_trap();
    for (const char c : out.text)
        if (static_cast<unsigned char>(c) >= 0x80 && static_cast<unsigned char>(c) <= 0x9F)
            __builtin_trap();
    // Each character that could not be held is one "?", and only those are added.
    if (count_of(out.text, '?') != count_of(text, '?') + utf8_length(out.unrepresentable))
        __builtin_trap();
    // Nothing folded or lost: the Latin-1 text reads back as the original.
    if (!out.folded && out.unrepresentable.empty() && !has_control(text)) {
        const std::string original = from == text_encoding::utf8 ? text : windows1252_to_utf8(text);
        if (latin1_to_utf8(out.text) != original)
            __builtin_trap();
    }
}

void check_to_utf8(const std::string &text)
{
    // One character per byte, valid UTF-8, and from Latin-1 no control character at all:
    // neither a C0 byte or DEL nor a C1 code point (C2 80 to C2 9F).
    const std::string latin1 = latin1_to_utf8(text), windows = windows1252_to_utf8(text);
    if (!utf8_is_valid(latin1) || !utf8_is_valid(windows) || utf8_length(latin1) != text.size() ||
        utf8_length(windows) != text.size() || latin1.size() > 3 * text.size() || windows.size() > 3 * text.size() ||
        has_control(latin1))
        __builtin_trap();
    for (std::size_t i = 0; i + 1 < latin1.size(); ++i)
        if (latin1[i] == '\xC2' && static_cast<unsigned char>(latin1[i + 1]) <= 0x9F)
            __builtin_trap();
}

} // namespace

/// A sheet in the code page detected, or in one named: UTF-8 text, or an error at a line of the sheet.
/// (A UTF-8 byte-order mark decides even for bytes that are no UTF-8: they become "?" later.)
void check_code_pages(const std::string &bytes)
{
    const bool utf8_mark = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    for (const char *charset : {static_cast<const char *>(nullptr), "CP932", "UTF-16LE"}) {
        const cue_sheet_text sheet = cue_sheet_decode(bytes, charset);
        const long lines = std::count(bytes.begin(), bytes.end(), '\n') + std::count(bytes.begin(), bytes.end(), '\r') + 1;
        if (sheet.error.empty() ? !utf8_mark && !utf8_is_valid(sheet.text)
                                : (sheet.error_line < 1 || sheet.error_line > lines))
            __builtin_trap();
    }
    // MS-JIS back to UTF-8 is always valid UTF-8, and a text MS-JIS holds comes back as itself.
    if (!utf8_is_valid(msjis_to_utf8(bytes)))
        __builtin_trap();
    if (const auto msjis = msjis_from_utf8(bytes); msjis && msjis_to_utf8(*msjis) != bytes && utf8_is_valid(bytes) &&
                                                   std::none_of(bytes.begin(), bytes.end(), [](char c) {
                                                       return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
                                                   }))
        __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::silence_output();
    const std::string text(reinterpret_cast<const char *>(data), size);
    check_time(text.c_str());
    check_ean(text.c_str());
    check_isrc(text.c_str());
    check_lines(data, size, 100);
    check_lines(data, size, 1);
    check_sheet_decoding(text);
    check_code_pages(text);
    check_latin1(text, text_encoding::utf8);
    check_latin1(text, text_encoding::windows_1252);
    check_to_utf8(text);
    return 0;
}
