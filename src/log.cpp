#include "log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

std::int32_t verbosity_level = 1;

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
    to_stderr("Error: ", format, ap);
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
    if (line >= 1)
        std::fprintf(stderr, "%s:%d: %s: ", file, line, kind);
    else
        std::fprintf(stderr, "%s: %s: ", file, kind);
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
