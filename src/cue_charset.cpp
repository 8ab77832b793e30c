#include "cue_charset.h"

#include <uchardet/uchardet.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr const char *how_to_choose = "; if its texts are wrong, name its code page with --cue-charset=NAME";

struct uchardet_deleter {
    void operator()(uchardet_t d) const noexcept { uchardet_delete(d); }
};

/// uchardet's name for the code page of the sheet; empty when it has no guess. It is given the
/// lines that hold bytes beyond ASCII: the commands, the same in every code page, would only
/// outweigh the texts (a short Korean sheet is taken for Windows-1252 more often with them).
std::string detect(std::string_view sheet)
{
    std::string bytes;
    for (std::size_t start = 0; start < sheet.size();) {
        std::size_t end = sheet.find_first_of("\r\n", start);
        end = end == std::string_view::npos ? sheet.size() : end + 1;
        const std::string_view line = sheet.substr(start, end - start);
        if (std::any_of(line.begin(), line.end(), [](char c) { return (c & 0x80) != 0; }))
            bytes.append(line);
        start = end;
    }
    std::unique_ptr<std::remove_pointer_t<uchardet_t>, uchardet_deleter> detector(uchardet_new());
    if (!detector)
        return "";
    if (uchardet_handle_data(detector.get(), bytes.data(), bytes.size()) != 0)
        return "";
    uchardet_data_end(detector.get());
    const char *guess = uchardet_get_charset(detector.get());
    return guess != nullptr ? guess : "";
}

/// The line (from 1) that holds byte `offset`; a line ends at LF, CR LF or a lone CR.
int line_of(std::string_view bytes, std::size_t offset)
{
    int line = 1;
    for (std::size_t i = 0; i < offset && i < bytes.size(); ++i)
        if (bytes[i] == '\n' || (bytes[i] == '\r' && (i + 1 >= bytes.size() || bytes[i + 1] != '\n')))
            ++line;
    return line;
}

std::string printf_text(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string printf_text(const char *fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

std::string upper(std::string name)
{
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
    return name;
}

cue_sheet_text as_windows_1252(std::string_view bytes, std::string warning)
{
    return {windows1252_to_utf8(bytes), "CP1252", true, std::move(warning), "", 0};
}

/// The sheet in the code page the user named.
cue_sheet_text decode_as_given(std::string_view bytes, const char *charset)
{
    cue_sheet_text sheet;
    sheet.charset = charset;
    // Korvel's own table reads the five bytes that Windows-1252 leaves undefined, as before.
    const std::string name = upper(charset);
    if (name == "CP1252" || name == "WINDOWS-1252")
        return as_windows_1252(bytes, "");
    if (!charset_is_known(charset)) {
        sheet.error = printf_text("iconv does not know the character set '%s' of --cue-charset", charset);
        return sheet;
    }
    std::size_t bad_at = 0;
    if (auto text = charset_to_utf8(bytes, charset, bad_at)) {
        sheet.text = std::move(*text);
        return sheet;
    }
    sheet.error_line = line_of(bytes, bad_at);
    sheet.error = printf_text("cue sheet does not decode as %s: this line holds bytes that are no characters there", charset);
    return sheet;
}

/// The sheet in the code page uchardet sees in it, among those rippers write.
cue_sheet_text decode_detected(std::string_view bytes)
{
    const std::string guess = detect(bytes);
    const std::string charset = cue_charset_for_guess(guess);
    if (charset == "CP1252") {
        const bool western = guess == "ASCII" || guess == "ISO-8859-1" || guess == "WINDOWS-1252";
        if (guess.empty())
            return as_windows_1252(bytes, printf_text("cue sheet is not UTF-8, and its code page could not be "
                                                      "detected: read as Windows-1252%s",
                                                      how_to_choose));
        return as_windows_1252(bytes, western ? "" : printf_text("cue sheet is not UTF-8, and its code page was detected "
                                                            "as %s, which rippers do not write: read as Windows-1252%s",
                                                            guess.c_str(), how_to_choose));
    }
    if (!charset_is_known(charset.c_str()))
        return as_windows_1252(bytes, printf_text("cue sheet is not UTF-8, and its code page was detected as %s, which "
                                             "iconv does not know: read as Windows-1252%s",
                                             guess.c_str(), how_to_choose));
    std::size_t bad_at = 0;
    auto text = charset_to_utf8(bytes, charset.c_str(), bad_at);
    if (!text)
        return as_windows_1252(bytes, printf_text("cue sheet is not UTF-8, and line %d does not decode in %s, the code page "
                                             "detected: read as Windows-1252%s",
                                             line_of(bytes, bad_at), charset.c_str(), how_to_choose));
    // Where the code page detected reads the sheet as Windows-1252 does, the choice changes nothing.
    if (*text == windows1252_to_utf8(bytes))
        return as_windows_1252(bytes, "");
    cue_sheet_text sheet;
    sheet.text = std::move(*text);
    sheet.charset = charset;
    const std::string detected = charset == guess ? "the code page detected" : "the code page detected (" + guess + ")";
    sheet.warning = printf_text("cue sheet is not UTF-8: read as %s, %s", charset.c_str(), detected.c_str()) + how_to_choose +
                    " (--cue-charset=CP1252 reads it as Windows-1252)";
    return sheet;
}

} // namespace

std::string cue_charset_for_guess(const std::string &guess)
{
    const std::string name = upper(guess);
    // uchardet's names for the code pages that Windows writes under another name.
    static const std::pair<const char *, const char *> ripper_pages[] = {
        {"", "CP1252"}, {"ASCII", "CP1252"}, {"ISO-8859-1", "CP1252"}, {"WINDOWS-1252", "CP1252"},
        {"CP1252", "CP1252"},
        // Western sheets with few accented letters come out as these Latin code pages.
        {"ISO-8859-3", "CP1252"}, {"ISO-8859-10", "CP1252"}, {"ISO-8859-14", "CP1252"}, {"IBM852", "CP1252"},
        {"MAC-CENTRALEUROPE", "CP1252"},
        // The ISO parts detected for sheets that Windows wrote in its own code pages.
        {"ISO-8859-16", "CP1250"}, {"ISO-8859-13", "CP1257"}, {"ISO-8859-9", "CP1254"},
        // Microsoft's supersets of the East Asian standards (Shift-JIS keeps the backslash).
        {"SHIFT_JIS", "CP932"}, {"GB2312", "GB18030"}, {"GBK", "GB18030"}, {"EUC-KR", "CP949"}, {"UHC", "CP949"},
        {"BIG5", "CP950"},
    };
    for (const auto &[from, to] : ripper_pages)
        if (name == from)
            return to;
    return guess;
}

cue_sheet_text cue_sheet_decode(std::string_view bytes, const char *charset)
{
    decoded_sheet sheet = decode_cue_sheet(bytes);
    const bool marked = sheet.bom != byte_order_mark::none && !sheet.utf16_unmarked;
    if (marked || (charset == nullptr && sheet.encoding == text_encoding::utf8)) {
        cue_sheet_text text;
        text.text = std::move(sheet.text);
        if (marked && charset != nullptr)
            text.warning = printf_text("cue sheet starts with a byte-order mark: --cue-charset=%s is not used", charset);
        return text;
    }
    if (charset != nullptr)
        return decode_as_given(bytes, charset);
    // Plain ASCII reads the same in every code page.
    if (std::none_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; }))
        return as_windows_1252(bytes, "");
    return decode_detected(bytes);
}
