// Small shared helpers: string checks and edits, strict line reading,
// slash-separated paths, plain file copies and an owning FILE* handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

/// Closes a stream that a file_ptr owns. Standard streams are never closed.
struct file_closer {
    void operator()(std::FILE *f) const noexcept
    {
        if (f != nullptr && f != stdin && f != stdout && f != stderr)
            std::fclose(f);
    }
};
/// An open stream that closes itself.
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

/// Opens a file like fopen; null on failure with errno set.
file_ptr tolk_fopen(const char *path, const char *mode);

/// Flushes and closes a stream we wrote: false when any write or the close
/// failed (errno tells why). The handle is empty afterwards either way.
[[nodiscard]] bool close_checked(file_ptr &f);

/// 1 when every character is a hexadecimal digit (the empty text too), else 0.
int tolk_str_ishex(const char *s);

/// Removes trailing characters that occur in `set`, in place.
void tolk_strrtrim(char *s, const char *set);

/// Case-insensitive compare: the lowered byte of `a` minus that of `b` at the first difference.
int tolk_stricmp(const char *a, const char *b);

/// Copies at most size - 1 characters and always terminates; size must be at least 1.
char *tolk_strcpy(char *dst, const char *src, std::size_t size);

/// A copy of the text.
std::string tolk_strdup(const char *s);

/// The first text followed by the second.
std::string tolk_strdup2(const char *a, const char *b);

/// Reads one line (LF, CR or CR LF ends it) into `buf`, which holds max + 1 bytes.
/// Returns 0 for a line, 1 for a line longer than max (its first max bytes are kept
/// and the rest dropped), -1 when the stream's end-of-file was already reached,
/// -2 for a control character other than tab, CR and LF (the rest stays unread).
int tolk_freadln(char *buf, int max, std::FILE *fp);

/// `dir` and `name` joined with one slash; an empty side gives the other; nullopt when either is null.
std::optional<std::string> tolk_path_join(const char *dir, const char *name);

/// Everything before the last path component, up to and including its slash ("" when there is none).
std::string tolk_path_get_dir(const char *path);

/// The part after the last slash, pointing into `path`.
const char *tolk_basename(const char *path);

/// Cuts the extension of the last path component, in place; returns `path`.
char *tolk_path_strip_ext(char *path);

/// 1 for "/x", "\\\\host" and "C:\\x" forms, else 0.
int tolk_path_is_abs(const char *path);

/// Size of the file in bytes, or -1 when it cannot be opened or positioned.
std::int64_t tolk_filesize(const char *name);

/// Copies `count` bytes from `in` (or writes that many zero bytes when `in` is null)
/// in blocks of 8 KiB. 0 on success, 1 on a short read or write.
int copy_data(std::FILE *in, std::FILE *out, std::uint64_t count);

/// Copies `in` to its end into `out`. 0 on success, 1 on a read error or short write.
int tolk_fcopy(std::FILE *in, std::FILE *out);

/// "hh:mm:ss.mmm" for 0 to 359,999 seconds, else the empty text; `dst` holds 13 bytes.
char *tolk_format_time(char *dst, double seconds);
