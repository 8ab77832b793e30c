// Logging: the one channel through which korvel talks to its user.
// Progress and listings go to standard output, filtered by a verbosity level;
// warnings and errors go to standard error and are never filtered. Standard
// output is flushed before anything goes to standard error, so that output
// redirected to one file keeps the order a terminal shows.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

/// Sets the verbosity level; any value is taken, negative ones silence everything filtered.
void log_set_verbose(int level);

/// 1 when messages of `level` are shown at the current verbosity, else 0: for listings printed directly.
int log_shown(int level);

/// Writes "Warning: " and the formatted message to standard error.
void log_warn(const char *format, ...) __attribute__((format(printf, 1, 2)));

/// Writes "Error: " and the formatted message to standard error.
void log_err(const char *format, ...) __attribute__((format(printf, 1, 2)));

/// Writes the formatted message to standard error as it stands, without a prefix: for the
/// forms other tools use ("name: No such file or directory", "Wave parser error (offset 8): ...").
void log_plain(const char *format, ...) __attribute__((format(printf, 1, 2)));
/// The same with the arguments as a va_list.
void log_vplain(const char *format, va_list ap) __attribute__((format(printf, 1, 0)));

/// The perror form: "what: " and the text of errno, or the text alone when `what` is empty.
void log_errno(const char *what);

/// A diagnostic located in an input file: "file:line: kind: message", or "file: kind: message"
/// when line < 1; kind is "error", "warning", "hint", ... A line end is added.
void log_located(const char *kind, const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
/// The same with the arguments as a va_list.
void log_vlocated(const char *kind, const char *file, int line, const char *format, va_list ap)
    __attribute__((format(printf, 4, 0)));

/// Writes the formatted message to standard output when level <= verbosity.
void log_msg(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

/// While `sink` is set (null ends it), every message log_err prints is also appended to it,
/// without "Error: " and its line end: for a report that must list the run's errors.
void log_collect_errors(std::vector<std::string> *sink);

/// A name or text from outside (a file name, a checksum file's line, an operand) made safe to
/// print: control characters (C0, DEL and C1) and bytes that are no UTF-8 become "\x1b"-style
/// escapes, a backslash stays as it is, valid UTF-8 passes.
std::string log_printable(std::string_view text);

/// Writes one character to standard output when level <= verbosity.
void log_char(int level, int c);

/// Flushes standard output when level <= verbosity, so that a partial line shows at once.
void log_flush(int level);

/// Writes a hex dump (16 bytes a line, offset, hex, text column) when level <= verbosity.
void log_data(int level, const void *data, std::size_t len);

/// The end of a run caused by a fault in an input file. The input modules print
/// their diagnostic first and then throw this; only main and the test and fuzz
/// harnesses catch it, and main turns it into the exit status.
class fatal_error : public std::exception {
public:
    explicit fatal_error(int status = 1) noexcept : status_(status) {}
    int status() const noexcept { return status_; }
    const char *what() const noexcept override { return "fatal input error"; }

private:
    int status_;
};
