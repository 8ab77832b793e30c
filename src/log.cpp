#include "log.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

std::int32_t verbosity_level = 1;
std::vector<std::string> *error_sink = nullptr;

/// The length of the UTF-8 sequence at the start of `text` when it is valid and encodes no
/// control character (C1: U+0080 to U+009F); 0 otherwise.
std::size_t printable_sequence(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t n = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < n)
        return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are no UTF-8.
    const bool overlong = (n == 3 && code < 0x800) || (n == 4 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF || code < 0xA0)
        return 0;
    return n;
}

bool shown(int level) { return level <= verbosity_level; }

/// Standard output is buffered when redirected, standard error is not: what was printed
/// before a diagnostic must reach its file before the diagnostic does.
void to_stderr(const char *prefix, const char *format, va_list ap)
{
    std::fflush(stdout);
    std::fputs(prefix, stderr);
    std::vfprintf(stderr, format, ap);
}

} // namespace

void log_set_verbose(int level) { verbosity_level = level; }

int log_shown(int level) { return shown(level) ? 1 : 0; }

void log_warn(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    to_stderr("Warning: ", format, ap);
    va_end(ap);
}

void log_err(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    if (error_sink == nullptr) {
        to_stderr("Error: ", format, ap);
    } else {
        std::array<char, 1024> text{};
        std::vsnprintf(text.data(), text.size(), format, ap);
        std::fflush(stdout);
        std::fprintf(stderr, "Error: %s", text.data());
        std::string message = text.data();
        while (!message.empty() && message.back() == '\n')
            message.pop_back();
        error_sink->push_back(std::move(message));
    }
    va_end(ap);
}

void log_plain(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    to_stderr("", format, ap);
    va_end(ap);
}

void log_vplain(const char *format, va_list ap) { to_stderr("", format, ap); }

void log_errno(const char *what)
{
    const int saved = errno;
    if (what != nullptr && *what != '\0')
        log_plain("%s: %s\n", what, std::strerror(saved));
    else
        log_plain("%s\n", std::strerror(saved));
}

void log_vlocated(const char *kind, const char *file, int line, const char *format, va_list ap)
{
    std::fflush(stdout);
    // The file's name comes from the command line or a cue sheet: its control characters are escaped.
    const std::string name = log_printable(file != nullptr ? file : "");
    if (line >= 1)
        std::fprintf(stderr, "%s:%d: %s: ", name.c_str(), line, kind);
    else
        std::fprintf(stderr, "%s: %s: ", name.c_str(), kind);
    std::vfprintf(stderr, format, ap);
    std::fputc('\n', stderr);
}

void log_located(const char *kind, const char *file, int line, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vlocated(kind, file, line, format, ap);
    va_end(ap);
}

void log_collect_errors(std::vector<std::string> *sink) { error_sink = sink; }

std::string log_printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        if (const std::size_t n = c >= 0x80 ? printable_sequence(text.substr(i)) : 0; n > 0) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        std::array<char, 5> escape{};
        std::snprintf(escape.data(), escape.size(), "\\x%02x", c);
        out += escape.data();
        ++i;
    }
    return out;
}

void log_msg(int level, const char *format, ...)
{
    if (!shown(level))
        return;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stdout, format, ap);
    va_end(ap);
}

void log_char(int level, int c)
{
    if (shown(level))
        std::fputc(c, stdout);
}

void log_flush(int level)
{
    if (shown(level))
        std::fflush(stdout);
}

void log_data(int level, const void *data, std::size_t len)
{
    if (!shown(level) || len == 0)
        return;
    const auto *bytes = static_cast<const unsigned char *>(data);
    char text[17] = {};
    std::size_t col = 0;
    for (std::size_t i = 0; i < len; ++i) {
        if (col == 0) {
            std::printf("%04zu  ", i);
            text[0] = '\0';
        }
        const unsigned char b = bytes[i];
        std::printf("%02x ", b);
        text[col] = (b >= 0x20 && b <= 0x7e) ? static_cast<char>(b) : '.';
        text[col + 1] = '\0';
        if (col == 7)
            std::fputc(' ', stdout);
        if (col == 15) {
            std::printf(" |%s|\n", text);
            col = 0;
        } else {
            ++col;
        }
    }
    if (col == 0)
        return;
    // The last line stops short: pad the hex columns so the text column lines up.
    for (; col < 16; ++col) {
        std::fputs("   ", stdout);
        if (col == 7)
            std::fputc(' ', stdout);
    }
    std::printf(" |%s|\n", text);
}
