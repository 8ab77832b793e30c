#include "tolk_utils.h"

#include <array>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstring>

file_ptr tolk_fopen(const char *path, const char *mode)
{
    return file_ptr(std::fopen(path, mode));
}

bool close_checked(file_ptr &f)
{
    std::FILE *fp = f.release();
    if (fp == nullptr)
        return false;
    bool ok = std::fflush(fp) == 0;
    int saved = errno;
    if (std::ferror(fp)) {
        ok = false;
        // A write error noted earlier leaves errno as the failing call set it;
        // if nothing better is known, say that the write went wrong.
        if (saved == 0)
            saved = EIO;
    }
    if (fp != stdin && fp != stdout && fp != stderr) {
        if (std::fclose(fp) != 0 && ok) {
            ok = false;
            saved = errno;
        }
    }
    if (!ok)
        errno = saved;
    return ok;
}

int tolk_str_ishex(const char *s)
{
    for (; *s != '\0'; ++s)
        if (!std::isxdigit(static_cast<unsigned char>(*s)))
            return 0;
    return 1;
}

void tolk_strrtrim(char *s, const char *set)
{
    std::size_t n = std::strlen(s);
    while (n > 0 && std::strchr(set, s[n - 1]) != nullptr)
        s[--n] = '\0';
}

int tolk_stricmp(const char *a, const char *b)
{
    const auto *p = reinterpret_cast<const unsigned char *>(a);
    const auto *q = reinterpret_cast<const unsigned char *>(b);
    for (;; ++p, ++q) {
        const int ca = std::tolower(*p);
        const int cb = std::tolower(*q);
        if (ca == '\0' || ca != cb)
            return ca - cb;
    }
}

char *tolk_strcpy(char *dst, const char *src, std::size_t size)
{
    assert(size >= 1);
    std::size_t i = 0;
    for (; i + 1 < size && src[i] != '\0'; ++i)
        dst[i] = src[i];
    dst[i] = '\0';
    return dst;
}

std::string tolk_strdup(const char *s) { return std::string(s); }

std::string tolk_strdup2(const char *a, const char *b)
{
    std::string s(a);
    s += b;
    return s;
}

int tolk_freadln(char *buf, int max, std::FILE *fp)
{
    // A stream in error gives no more lines either: reading on would loop.
    if (std::feof(fp) || std::ferror(fp)) {
        buf[0] = '\0';
        return -1;
    }
    int stored = 0;
    bool overlong = false;
    for (;;) {
        const int c = std::getc(fp);
        if (c == EOF || c == '\n')
            break;
        if (c == '\r') {
            const int next = std::getc(fp);
            if (next != '\n' && next != EOF)
                std::ungetc(next, fp);
            break;
        }
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            buf[stored] = '\0';
            return -2;
        }
        if (stored < max)
            buf[stored++] = static_cast<char>(c);
        else
            overlong = true;
    }
    buf[stored] = '\0';
    return overlong ? 1 : 0;
}

std::optional<std::string> tolk_path_join(const char *dir, const char *name)
{
    if (dir == nullptr || name == nullptr)
        return std::nullopt;
    if (*dir == '\0')
        return std::string(name);
    if (*name == '\0')
        return std::string(dir);
    std::string path(dir);
    if (path.back() != '/')
        path += '/';
    path += name;
    return path;
}

std::string tolk_path_get_dir(const char *path)
{
    // Signed index: an empty path or one of slashes only walks off the front
    // and yields the empty text.
    auto i = static_cast<std::int32_t>(std::strlen(path)) - 1;
    while (i >= 0 && path[i] == '/')
        --i;
    while (i >= 0 && path[i] != '/')
        --i;
    return std::string(path, static_cast<std::size_t>(i + 1));
}

const char *tolk_basename(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

char *tolk_path_strip_ext(char *path)
{
    char *base = const_cast<char *>(tolk_basename(path));
    char *dot = std::strrchr(base, '.');
    if (dot != nullptr)
        *dot = '\0';
    return path;
}

int tolk_path_is_abs(const char *path)
{
    if (path == nullptr || path[0] == '\0')
        return 0;
    if (path[0] == '/')
        return 1;
    if (std::strlen(path) < 3)
        return 0;
    if (path[0] == '\\' && path[1] == '\\')
        return 1;
    const unsigned char drive = static_cast<unsigned char>(path[0]);
    const bool letter = (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
    return (letter && path[1] == ':' && path[2] == '\\') ? 1 : 0;
}

std::int64_t tolk_filesize(const char *name)
{
    file_ptr fp = tolk_fopen(name, "rb");
    if (!fp)
        return -1;
    if (std::fseek(fp.get(), 0, SEEK_END) != 0)
        return -1;
    const long pos = std::ftell(fp.get());
    return pos < 0 ? -1 : pos;
}

int copy_data(std::FILE *in, std::FILE *out, std::uint64_t count)
{
    std::array<unsigned char, 8192> buffer{};
    while (count > 0) {
        const std::size_t n = count < buffer.size() ? static_cast<std::size_t>(count) : buffer.size();
        if (in != nullptr && std::fread(buffer.data(), 1, n, in) != n)
            return 1;
        if (std::fwrite(buffer.data(), 1, n, out) != n)
            return 1;
        count -= n;
    }
    return 0;
}

int tolk_fcopy(std::FILE *in, std::FILE *out)
{
    std::array<unsigned char, 8192> buffer;
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
        if (n == 0)
            return std::ferror(in) ? 1 : 0;
        if (std::fwrite(buffer.data(), 1, n, out) != n)
            return 1;
    }
}

char *tolk_format_time(char *dst, double seconds)
{
    if (!(seconds >= 0.0) || seconds > 359999.0) {
        dst[0] = '\0';
        return dst;
    }
    const int whole = static_cast<int>(seconds);
    const int millis = static_cast<int>((seconds - whole) * 1000.0);
    // At most 99 hours, so the text always fits its 13 bytes.
    std::snprintf(dst, 13, "%02u:%02u:%02u.%03u", static_cast<unsigned>(whole / 3600) % 100u,
                  static_cast<unsigned>(whole / 60) % 60u, static_cast<unsigned>(whole) % 60u,
                  static_cast<unsigned>(millis) % 1000u);
    return dst;
}
