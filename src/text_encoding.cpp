#include "text_encoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <memory>

namespace {

/// U+FFFD, the character that stands for one that was lost.
constexpr char32_t replacement = 0xFFFD;

unsigned byte_at(std::string_view text, std::size_t i) { return static_cast<unsigned char>(text[i]); }

/// Latin-1 keeps its two control ranges, C0 with DEL and C1, outside any text a player shows.
bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

void append_utf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

/// The code point that starts at text[pos], or -1 for an invalid sequence. `pos` moves past
/// what was taken: a whole character, or an invalid sequence's longest valid start (at least
/// its first byte), so that each invalid part counts once, as Unicode recommends.
long next_code_point(std::string_view text, std::size_t &pos)
{
    const unsigned lead = byte_at(text, pos++);
    if (lead < 0x80)
        return static_cast<long>(lead);
    // The second byte's range shuts out overlong forms (E0, F0), surrogates (ED)
    // and code points past U+10FFFF (F4); later bytes are always 80-BF.
    int more = 0;
    unsigned low = 0x80, high = 0xBF;
    long c = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        c = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3;
        c = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return -1; // a continuation byte, C0, C1 or F5-FF
    }
    for (; more > 0; --more) {
        if (pos >= text.size())
            return -1;
        const unsigned next = byte_at(text, pos);
        if (next < low || next > high)
            return -1;
        c = (c << 6) | (next & 0x3F);
        ++pos;
        low = 0x80;
        high = 0xBF;
    }
    return c;
}

/// Windows-1252's characters for the bytes 80-9F; its five undefined bytes are U+FFFD.
constexpr char16_t windows1252_high[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, // 88-8F
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178, // 98-9F
};

char32_t windows1252_code_point(unsigned byte)
{
    return byte >= 0x80 && byte <= 0x9F ? windows1252_high[byte - 0x80] : byte;
}

/// Typographic marks that Latin-1 lacks, and the ASCII a typewriter would have used.
struct ascii_fold {
    char32_t mark;
    const char *ascii;
};
constexpr ascii_fold ascii_folds[] = {
    {0x2018, "'"}, {0x2019, "'"}, {0x201A, "'"}, {0x201B, "'"},   // single quotes
    {0x2032, "'"}, {0x2035, "'"},                                 // prime, reversed prime
    {0x201C, "\""}, {0x201D, "\""}, {0x201E, "\""}, {0x201F, "\""}, // double quotes
    {0x2033, "\""}, {0x2036, "\""},                               // double primes
    {0x2010, "-"}, {0x2011, "-"}, {0x2012, "-"}, {0x2013, "-"},   // hyphens, figure and en dash
    {0x2014, "-"}, {0x2015, "-"}, {0x2212, "-"},                  // em dash, bar, minus
    {0x2026, "..."},                                              // ellipsis
    {0x202F, " "},                                                // narrow no-break space
};

/// The ASCII form of a typographic mark, or null when `c` is none.
const char *ascii_form(char32_t c)
{
    if (c >= 0x2000 && c <= 0x200A) // the spaces from en quad to hair space
        return " ";
    for (const auto &fold : ascii_folds)
        if (fold.mark == c)
            return fold.ascii;
    return nullptr;
}

void put_latin1(latin1_text &out, char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        out.text += static_cast<char>(c);
    } else if (const char *ascii = ascii_form(c)) {
        out.text += ascii;
        out.folded = true;
    } else {
        out.text += '?';
        // A C1 control would be invisible in the caller's message.
        append_utf8(out.unrepresentable, is_control(c) ? replacement : c);
    }
}

/// UTF-16 without a byte-order mark, as some programs write a sheet, is told by its NUL
/// bytes: in the first lines, commands and numbers in ASCII, every second byte is NUL,
/// the high byte of each unit. 0 for none, 1 for little-endian, 2 for big-endian.
int unmarked_utf16_order(std::string_view bytes)
{
    const std::size_t units = std::min<std::size_t>(bytes.size(), 160) / 2;
    if (units < 4)
        return 0;
    std::size_t low_nul = 0, high_nul = 0;
    for (std::size_t i = 0; i < units; ++i) {
        low_nul += bytes[2 * i] == '\0' ? 1 : 0;
        high_nul += bytes[2 * i + 1] == '\0' ? 1 : 0;
    }
    // Texts in other scripts have no NUL byte in their units; ASCII has one in each.
    if (high_nul * 2 >= units && low_nul * 4 <= high_nul)
        return 1;
    if (low_nul * 2 >= units && high_nul * 4 <= low_nul)
        return 2;
    return 0;
}

} // namespace

// A surrogate pair is one character; an unpaired surrogate and an odd last byte are U+FFFD each.
std::string utf16_to_utf8(std::string_view bytes, bool little_endian)
{
    const std::size_t units = bytes.size() / 2;
    const auto unit = [&](std::size_t i) -> char32_t {
        const unsigned first = byte_at(bytes, 2 * i), second = byte_at(bytes, 2 * i + 1);
        return little_endian ? second << 8 | first : first << 8 | second;
    };
    const auto is_high = [](char32_t u) { return u >= 0xD800 && u <= 0xDBFF; };
    const auto is_low = [](char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; };
    std::string out;
    out.reserve(units * 3 + 3);
    for (std::size_t i = 0; i < units; ++i) {
        char32_t c = unit(i);
        if (is_high(c) && i + 1 < units && is_low(unit(i + 1)))
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(++i) - 0xDC00);
        else if (is_high(c) || is_low(c))
            c = replacement;
        append_utf8(out, c);
    }
    if (bytes.size() % 2 != 0)
        append_utf8(out, replacement);
    return out;
}

decoded_sheet decode_cue_sheet(std::string_view bytes)
{
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
        return {std::string(bytes.substr(3)), text_encoding::utf8, byte_order_mark::utf8};
    if (bytes.substr(0, 2) == "\xFF\xFE")
        return {utf16_to_utf8(bytes.substr(2), true), text_encoding::utf8, byte_order_mark::utf16le};
    if (bytes.substr(0, 2) == "\xFE\xFF")
        return {utf16_to_utf8(bytes.substr(2), false), text_encoding::utf8, byte_order_mark::utf16be};
    if (const int order = unmarked_utf16_order(bytes); order != 0)
        return {utf16_to_utf8(bytes, order == 1), text_encoding::utf8,
                order == 1 ? byte_order_mark::utf16le : byte_order_mark::utf16be, true};
    // Windows-1252 text is hardly ever valid UTF-8 once it holds a byte from 80 up: such a
    // byte would have to be followed by just the right continuation bytes.
    const bool multibyte =
        std::any_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    const bool utf8 = multibyte && utf8_is_valid(bytes);
    return {std::string(bytes), utf8 ? text_encoding::utf8 : text_encoding::windows_1252, byte_order_mark::none};
}

latin1_text to_latin1(std::string_view text, text_encoding from)
{
    latin1_text out;
    out.text.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        if (from == text_encoding::utf8) {
            const long c = next_code_point(text, pos);
            put_latin1(out, c < 0 ? replacement : static_cast<char32_t>(c));
        } else {
            put_latin1(out, windows1252_code_point(byte_at(text, pos++)));
        }
    }
    return out;
}

std::string latin1_to_utf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t c = byte_at(text, i);
        append_utf8(out, is_control(c) ? replacement : c);
    }
    return out;
}

std::string windows1252_to_utf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (std::size_t i = 0; i < text.size(); ++i)
        append_utf8(out, windows1252_code_point(byte_at(text, i)));
    return out;
}

std::u32string utf8_code_points(std::string_view text)
{
    std::u32string out;
    for (std::size_t pos = 0; pos < text.size();) {
        const long c = next_code_point(text, pos);
        out += c < 0 ? replacement : static_cast<char32_t>(c);
    }
    return out;
}

std::string code_points_to_utf8(std::u32string_view text)
{
    std::string out;
    for (const char32_t c : text)
        append_utf8(out, c);
    return out;
}

bool utf8_is_valid(std::string_view text)
{
    for (std::size_t pos = 0; pos < text.size();)
        if (next_code_point(text, pos) < 0)
            return false;
    return true;
}

// ---- Code pages through iconv ----

namespace {

struct iconv_closer {
    void operator()(void *cd) const noexcept { iconv_close(static_cast<iconv_t>(cd)); }
};
using iconv_ptr = std::unique_ptr<void, iconv_closer>;

/// A converter, or null when iconv knows one of the names not.
iconv_ptr open_iconv(const char *to, const char *from)
{
    iconv_t cd = iconv_open(to, from);
    return iconv_ptr(cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd);
}

/// Converts as far as the input allows: what was converted, and where it stopped
/// (`bytes.size()` when everything was taken).
std::string convert(void *cd, std::string_view bytes, std::size_t &stopped_at)
{
    std::string out;
    char *in = const_cast<char *>(bytes.data());
    std::size_t in_left = bytes.size();
    char block[1024];
    while (in_left > 0) {
        char *next = block;
        std::size_t room = sizeof block;
        const std::size_t r = iconv(static_cast<iconv_t>(cd), &in, &in_left, &next, &room);
        out.append(block, static_cast<std::size_t>(next - block));
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG)
            break; // EILSEQ, or EINVAL for a sequence cut by the end
    }
    // A stateful code page ends in its initial shift state.
    char *next = block;
    std::size_t room = sizeof block;
    if (in_left == 0 && iconv(static_cast<iconv_t>(cd), nullptr, nullptr, &next, &room) != static_cast<std::size_t>(-1))
        out.append(block, static_cast<std::size_t>(next - block));
    stopped_at = bytes.size() - in_left;
    return out;
}

} // namespace

bool charset_is_known(const char *charset) { return open_iconv("UTF-8", charset) != nullptr; }

std::optional<std::string> charset_to_utf8(std::string_view bytes, const char *charset, std::size_t &bad_at)
{
    bad_at = 0;
    const iconv_ptr cd = open_iconv("UTF-8", charset);
    if (!cd)
        return std::nullopt;
    std::size_t stopped = 0;
    std::string out = convert(cd.get(), bytes, stopped);
    if (stopped != bytes.size()) {
        bad_at = stopped;
        return std::nullopt;
    }
    // glibc's own UTF-8 takes sequences past U+10FFFF, which are no characters.
    if (!utf8_is_valid(out)) {
        bad_at = bytes.empty() ? 0 : bytes.size() - 1;
        return std::nullopt;
    }
    return out;
}

std::string charset_to_utf8_lossy(std::string_view bytes, const char *charset)
{
    const iconv_ptr cd = open_iconv("UTF-8", charset);
    std::string out;
    while (!bytes.empty()) {
        std::size_t stopped = 0;
        if (cd)
            out += convert(cd.get(), bytes, stopped);
        if (stopped == bytes.size())
            break;
        append_utf8(out, replacement);
        bytes.remove_prefix(stopped + 1);
        if (cd)
            iconv(static_cast<iconv_t>(cd.get()), nullptr, nullptr, nullptr, nullptr);
    }
    // A control character could end a line of a cue sheet or break a listing.
    std::string clean;
    for (std::size_t pos = 0; pos < out.size();) {
        const std::size_t start = pos;
        const long c = next_code_point(out, pos);
        if (c < 0 || is_control(static_cast<char32_t>(c)))
            append_utf8(clean, replacement);
        else
            clean.append(out, start, pos - start);
    }
    return clean;
}

std::optional<std::string> utf8_to_charset(std::string_view utf8, const char *charset)
{
    const iconv_ptr cd = open_iconv(charset, "UTF-8");
    if (!cd)
        return std::nullopt;
    std::size_t stopped = 0;
    std::string out = convert(cd.get(), utf8, stopped);
    if (stopped != utf8.size())
        return std::nullopt;
    return out;
}
