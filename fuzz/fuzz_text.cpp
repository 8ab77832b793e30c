// Fuzz target: the small text checks that every cue sheet line meets (disc
// times, catalog numbers, ISRCs) and the strict line reader of the checksum
// files, each with invariants that must hold for any input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "pqlist.h"
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::silence_output();
    const std::string text(reinterpret_cast<const char *>(data), size);
    check_time(text.c_str());
    check_ean(text.c_str());
    check_isrc(text.c_str());
    check_lines(data, size, 100);
    check_lines(data, size, 1);
    return 0;
}
