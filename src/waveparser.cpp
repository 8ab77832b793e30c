#include "waveparser.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>

#include "log.h"

// Offsets up to 4 GiB and seeks just past it are held in a long.
static_assert(sizeof(long) >= 8, "the chunk walk needs 64-bit file offsets");

namespace {

/// RIFF offsets and sizes are unsigned 32-bit numbers: nothing past this offset can be addressed.
constexpr std::uint64_t riff_offset_max = 0xFFFFFFFFu;

/// Every chunk starts with a 4-character identifier and a 32-bit size.
constexpr long chunk_header_size = 8;

std::uint16_t le16(const unsigned char *b) { return static_cast<std::uint16_t>(b[0] | (b[1] << 8)); }

std::uint32_t le32(const unsigned char *b)
{
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

std::uint64_t le64(const unsigned char *b) { return le32(b) | (std::uint64_t{le32(b + 4)} << 32); }

/// Size fields that writers leave when they cannot go back to fill them in (a pipe):
/// ffmpeg writes 0xFFFFFFFF (older versions 0), sox 0x7FFFF000.
constexpr std::uint32_t size_unknown = 0xFFFFFFFFu;
constexpr std::uint32_t size_unknown_sox = 0x7FFFF000u;

/// The tail shared by the subformat GUIDs of Wave Format Extensible:
/// {XXXXXXXX-0000-0010-8000-00AA00389B71}, where the first 32 bits are the format code.
constexpr unsigned char subformat_guid_tail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                                   0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

/// A forms-holding chunk at the top level: RIFF, or RF64 (and its twin BW64) for files over 4 GiB.
bool is_form_id(const char *id)
{
    return std::memcmp(id, "RIFF", 4) == 0 || std::memcmp(id, "RF64", 4) == 0 || std::memcmp(id, "BW64", 4) == 0;
}

/// Keeps a warning about what the walk forgave, for the caller to show.
void note(wave_t *w, const char *format, ...) __attribute__((format(printf, 2, 3)));
void note(wave_t *w, const char *format, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    w->warnings.emplace_back(text);
}

bool read_bytes(std::FILE *fp, void *dst, std::size_t n) { return std::fread(dst, 1, n, fp) == n; }

bool is_id(const char *id, const char *want) { return std::memcmp(id, want, 4) == 0; }

/// The walk repositions after every chunk, so a stream without positions (a pipe) cannot be read.
[[noreturn]] void seek_failed(std::FILE *fp) { wave_err(fp, "Cannot seek in wave file: %s", std::strerror(errno)); }

long tell(std::FILE *fp)
{
    const long pos = std::ftell(fp);
    if (pos < 0)
        seek_failed(fp);
    return pos;
}

void seek(std::FILE *fp, long offset, int whence)
{
    if (std::fseek(fp, offset, whence) != 0)
        seek_failed(fp);
}

/// Bytes from the current offset to the end of the file; the offset is kept.
std::uint64_t bytes_left(std::FILE *fp)
{
    const long here = tell(fp);
    seek(fp, 0, SEEK_END);
    const long end = tell(fp);
    seek(fp, here, SEEK_SET);
    return end > here ? static_cast<std::uint64_t>(end - here) : 0;
}

enum class read_result { ok, no_memory, short_read };

/// Reads `size` bytes of chunk contents into `buf`, followed by `extra` zero bytes.
/// A size that the rest of the file cannot hold is a short read before anything is
/// allocated, so a hostile size field never costs memory. `why` names a short read's cause.
template <typename Byte>
read_result read_contents(std::FILE *fp, std::uint32_t size, std::vector<Byte> &buf, std::size_t extra,
                          const char *&why)
{
    why = "Unexpected end of file";
    if (bytes_left(fp) < size)
        return read_result::short_read;
    try {
        buf.assign(std::size_t{size} + extra, Byte{0});
    } catch (const std::bad_alloc &) {
        return read_result::no_memory;
    }
    std::clearerr(fp);
    if (std::fread(buf.data(), 1, size, fp) < size) {
        if (std::ferror(fp))
            why = std::strerror(errno);
        return read_result::short_read;
    }
    return read_result::ok;
}

/// Copies a fixed-width bext text and terminates it: an unterminated field keeps all its bytes.
void copy_text(char *dst, const unsigned char *src, std::size_t width)
{
    std::memcpy(dst, src, width);
    dst[width] = '\0';
}

} // namespace

// ---- Little-endian reads ----

std::size_t fread_uint32_le(std::uint32_t *dst, std::FILE *fp)
{
    unsigned char b[4];
    if (!read_bytes(fp, b, sizeof b))
        return 0;
    *dst = le32(b);
    return 1;
}

std::size_t fread_int32_le(std::int32_t *dst, std::FILE *fp)
{
    std::uint32_t v;
    if (fread_uint32_le(&v, fp) != 1)
        return 0;
    *dst = static_cast<std::int32_t>(v);
    return 1;
}

std::size_t fread_uint16_le(std::uint16_t *dst, std::FILE *fp)
{
    unsigned char b[2];
    if (!read_bytes(fp, b, sizeof b))
        return 0;
    *dst = le16(b);
    return 1;
}

std::size_t fread_int16_le(std::int16_t *dst, std::FILE *fp)
{
    std::uint16_t v;
    if (fread_uint16_le(&v, fp) != 1)
        return 0;
    *dst = static_cast<std::int16_t>(v);
    return 1;
}

// ---- Diagnostics ----

void wave_err(std::FILE *fp, const char *format, ...)
{
    // A size field can send the walk past the end of the file; the offset shown is
    // never one that the file does not have.
    long at = std::ftell(fp);
    struct stat st;
    if (at > 0 && fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode) && at > st.st_size)
        at = static_cast<long>(st.st_size);
    log_plain("Wave parser error (offset %ld): ", at);
    va_list ap;
    va_start(ap, format);
    log_vplain(format, ap);
    va_end(ap);
    log_plain("\n");
    throw fatal_error{1};
}

// ---- Chunk walk ----

int chunk_open(std::FILE *fp, chunk_t *c, const chunk_t *parent)
{
    std::memset(c->id, 0, sizeof c->id);
    std::memset(c->type, 0, sizeof c->type);

    const auto pos = static_cast<std::uint64_t>(tell(fp));
    // A further header must fit inside the parent, and the contents must start at
    // an offset that RIFF can express.
    if (parent != nullptr && parent->end < pos + chunk_header_size)
        return -2;
    if (pos + chunk_header_size > riff_offset_max)
        return -2;

    // Fewer than 4 bytes after the last chunk: the normal end, inside a container too,
    // as a container whose size was never filled in ends where the file does.
    char id[4];
    if (!read_bytes(fp, id, sizeof id))
        return -2;
    std::memcpy(c->id, id, sizeof id);
    if (fread_uint32_le(&c->size, fp) != 1)
        wave_err(fp, "Unexpected end of file while reading chunk size.");

    c->start = static_cast<std::uint32_t>(pos + chunk_header_size);
    // A size that runs past 4 GiB would wrap the 32-bit end back before the chunk
    // and the walk would go round for ever; the end is held at the last offset instead.
    c->end = static_cast<std::uint32_t>(std::min(std::uint64_t{c->start} + c->size, riff_offset_max));

    // Containers begin with a 4-character form or list type. A container too small
    // to hold it is taken as empty: its type would be read from the next chunk. A RIFF
    // size of 0 was never filled in (a file written to a pipe): its type follows.
    const bool form = parent == nullptr && is_form_id(c->id);
    if ((is_id(c->id, "RIFF") || is_id(c->id, "LIST") || form) && (c->size >= 4 || (form && c->size == 0))) {
        if (!read_bytes(fp, c->type, 4))
            wave_err(fp, "Unexpected end of file while reading container chunk type.");
    }
    return 0;
}

void chunk_close(std::FILE *fp, const chunk_t *c)
{
    // Chunks start at even offsets: an odd-sized chunk is followed by one pad byte.
    const std::uint64_t next = std::uint64_t{c->end} + (c->end & 1u);
    // A container whose last child claimed more than the container holds leaves the walk
    // past the container's end. Going back would walk those bytes again as the next
    // chunks, once per level of nesting: a data chunk would be met twice, and every cue
    // point in them counted again. The walk goes on from where it is instead.
    if (static_cast<std::uint64_t>(tell(fp)) > next)
        return;
    seek(fp, static_cast<long>(next), SEEK_SET);
}

void read_subchunks(std::FILE *fp, const chunk_t *parent, wave_t *w, int depth)
{
    chunk_t c;
    while (chunk_open(fp, &c, parent) == 0) {
        if (c.type[0] != '\0') {
            if (parent == nullptr && is_form_id(c.id) && is_id(c.type, "WAVE") && !w->is_wave) {
                w->is_wave = 1;
                w->is_rf64 = is_id(c.id, "RIFF") ? 0 : 1;
                w->riff_size = c.size;
                w->riff_end = std::uint64_t{c.start} + c.size;
                // The form is walked to the end of the file, whatever its size says: a file
                // written to a pipe leaves it unfilled (0, 0xFFFFFFFF) or too small, RF64
                // keeps it in the ds64 chunk, and chunks after it are the file's chunks too.
                c.end = static_cast<std::uint32_t>(riff_offset_max);
            }
            // Every container level is one recursion: a bound keeps a hostile file off the stack's end.
            if (depth >= WAVE_MAX_DEPTH)
                wave_err(fp, "Container chunks nested deeper than %d levels.", WAVE_MAX_DEPTH);
            read_subchunks(fp, &c, w, depth + 1);
        } else if (is_id(c.id, "fmt ")) {
            chunk_read_fmt(fp, &c, w);
        } else if (is_id(c.id, "ds64")) {
            chunk_read_ds64(fp, &c, w);
        } else if (is_id(c.id, "data")) {
            chunk_read_data(fp, &c, w);
            // A data chunk whose size was never filled in, or that RF64 sizes, ends where its audio does.
            c.end = w->audio_end;
        } else if (is_id(c.id, "bext")) {
            chunk_read_bext(fp, &c, w);
        } else if (is_id(c.id, "cue ")) {
            chunk_read_cue(fp, &c, w);
        } else if (is_id(c.id, "XTOC")) {
            chunk_read_XTOC(fp, &c, w);
        } else if (is_id(c.id, "axml")) {
            chunk_read_axml(fp, &c, w);
        }
        chunk_close(fp, &c);
    }
}

// ---- Chunk readers ----

void chunk_read_fmt(std::FILE *fp, const chunk_t *c, wave_t *w)
{
    if (w->format_tag != 0)
        wave_err(fp, "Only one format chunk allowed within wave file.");
    // fmt: format tag 2, channels 2, sample rate 4, byte rate 4, block align 2 bytes;
    // PCM adds the sample width (2 bytes), other formats an extension that is not read.
    if (c->size < 14)
        wave_err(fp, "Format chunk too short!");
    std::array<unsigned char, 14> b;
    if (!read_bytes(fp, b.data(), b.size()))
        wave_err(fp, "Format chunk too short!");
    w->format_tag = le16(&b[0]);
    w->channels = le16(&b[2]);
    w->sample_rate = le32(&b[4]);
    w->byte_rate = le32(&b[8]);
    w->block_align = le16(&b[12]);

    if (w->format_tag == WAVE_FORMAT_PCM) {
        if (c->size < 16 || fread_uint16_le(&w->bits_per_sample, fp) != 1)
            wave_err(fp, "Format chunk too short, 16 bytes expected.");
    } else if (w->format_tag == WAVE_FORMAT_EXTENSIBLE && c->size >= 16) {
        if (fread_uint16_le(&w->bits_per_sample, fp) != 1)
            wave_err(fp, "Format chunk too short!");
        // The extension: its size (22), the valid bits, the channel mask, and the
        // subformat GUID, which names the real format. Without it the format is unknown.
        std::array<unsigned char, 24> x;
        if (c->size >= 40 && read_bytes(fp, x.data(), x.size()) && le16(&x[0]) >= 22 && le16(&x[10]) == 0 &&
            std::memcmp(&x[12], subformat_guid_tail, sizeof subformat_guid_tail) == 0)
            w->subformat = le16(&x[8]);
    }
}

void chunk_read_ds64(std::FILE *fp, const chunk_t *c, wave_t *w)
{
    // ds64: the RIFF size, the data size and the sample count, 64 bits each, low word
    // first, then a table of other large chunks. Only RF64 takes its sizes from here;
    // without it the data chunk's size counts as never filled in.
    if (!w->is_rf64 || w->has_ds64)
        return;
    std::array<unsigned char, 24> b;
    if (c->size < b.size() || !read_bytes(fp, b.data(), b.size())) {
        note(w, "ds64 chunk too short (%lu bytes, 28 expected): the sizes it holds are not used",
             static_cast<unsigned long>(c->size));
        return;
    }
    w->ds64_data_size = le64(&b[8]);
    w->has_ds64 = 1;
}

void chunk_read_data(std::FILE *fp, const chunk_t *c, wave_t *w)
{
    if (w->audio_start != 0)
        wave_err(fp, "This parser supports only one data chunk within wave file.");
    std::uint64_t length = c->size;
    const std::uint64_t left = bytes_left(fp);
    if (c->size == size_unknown && w->has_ds64) {
        length = w->ds64_data_size;
        // Offsets here are 32-bit; a CD holds less than a quarter of that.
        if (length > riff_offset_max - c->start)
            wave_err(fp, "RF64 data chunk of %llu bytes: korvel reads up to 4 GiB of audio, a CD holds less than 1 GiB.",
                     static_cast<unsigned long long>(length));
    } else if ((c->size == 0 && left > 0) ||
               ((c->size == size_unknown || c->size == size_unknown_sox) && left < c->size)) {
        // A file written to a pipe, whose sizes were never filled in: a streamed file has
        // no chunk after its data, so the audio is the rest of the file.
        length = std::min(left, riff_offset_max - c->start);
        w->streamed = 1;
    }
    w->audio_start = c->start;
    w->audio_length = static_cast<std::uint32_t>(length);
    w->audio_end = static_cast<std::uint32_t>(std::min(c->start + length, riff_offset_max));
}

void chunk_read_bext(std::FILE *fp, const chunk_t *c, wave_t *w)
{
    // Broadcast Wave: 602 bytes of fixed fields and reserve, then the coding history;
    // the fields read here fill the first 412 bytes. korvel does not need them: a
    // chunk too short for them is skipped, and the audio is read.
    std::array<unsigned char, 412> b;
    if (c->size < 600 || !read_bytes(fp, b.data(), b.size())) {
        note(w, "bext chunk too short (%lu bytes, 602 expected): its Broadcast Wave fields are skipped",
             static_cast<unsigned long>(c->size));
        return;
    }
    copy_text(w->description, &b[0], 256);
    copy_text(w->originator, &b[256], 32);
    copy_text(w->originator_reference, &b[288], 32);
    copy_text(w->origination_date, &b[320], 10);
    copy_text(w->origination_time, &b[330], 8);
    w->time_reference_low = static_cast<std::int32_t>(le32(&b[338]));
    w->time_reference_high = static_cast<std::int32_t>(le32(&b[342]));
    w->bext_version = static_cast<std::int16_t>(le16(&b[346]));
    std::memcpy(w->umid, &b[348], sizeof w->umid);
    w->has_bext = 1;
}

void chunk_read_cue(std::FILE *fp, const chunk_t *c, wave_t *w)
{
    // cue: a 32-bit count, then 24 bytes a point: id, position, chunk id,
    // chunk start, block start, sample offset.
    // korvel does not need the points: a chunk that cannot hold them is skipped.
    constexpr std::size_t point_size = 24;
    std::uint32_t count = 0;
    if (c->size < 4 || fread_uint32_le(&count, fp) != 1) {
        note(w, "cue chunk too short (%lu bytes): its cue points are skipped", static_cast<unsigned long>(c->size));
        return;
    }
    const std::uint64_t needed = std::uint64_t{count} * point_size;
    // The points must lie in the chunk and in the file: a count that the file does
    // not back is skipped before anything is allocated for it.
    if (c->size - 4u < needed || bytes_left(fp) < needed) {
        note(w, "cue chunk states %lu cue points, which its %lu bytes do not hold: its cue points are skipped",
             static_cast<unsigned long>(count), static_cast<unsigned long>(c->size));
        return;
    }
    w->num_cue_points = count;

    try {
        w->cue_points.reserve(w->cue_points.size() + count);
    } catch (const std::bad_alloc &) {
        log_plain("failed to allocate memory for cue point\n");
        return;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        std::array<unsigned char, point_size> b;
        if (!read_bytes(fp, b.data(), b.size()))
            wave_err(fp, "cue chunk too short!"); // the file shrank or failed after it was measured
        cue_point_t p;
        p.id = le32(&b[0]);
        p.position = le32(&b[4]);
        std::memcpy(p.chunk_id, &b[8], sizeof p.chunk_id);
        p.chunk_start = le32(&b[12]);
        p.block_start = le32(&b[16]);
        p.sample_offset = le32(&b[20]);
        w->cue_points.push_back(p);
        w->has_cue = 1;
    }
}

void chunk_read_XTOC(std::FILE *fp, const chunk_t *c, wave_t *w)
{
    std::vector<std::uint8_t> buf;
    const char *why = nullptr;
    switch (read_contents(fp, c->size, buf, 0, why)) {
    case read_result::no_memory:
        log_plain("failed to allocate memory for XTOC chunk\n");
        return;
    case read_result::short_read:
        log_plain("failed to read XTOC chunk: %s\n", why);
        return;
    case read_result::ok:
        break;
    }
    w->xtoc = std::move(buf);
    w->xtoc_size = c->size;
    w->has_xtoc = 1;
}

void chunk_read_axml(std::FILE *fp, const chunk_t *c, wave_t *w)
{
    std::vector<char> buf;
    const char *why = nullptr;
    // One zero byte more, so that the XML is a terminated text.
    switch (read_contents(fp, c->size, buf, 1, why)) {
    case read_result::no_memory:
        log_plain("failed to allocate memory for axml chunk\n");
        return;
    case read_result::short_read:
        log_plain("failed to read axml chunk: %s\n", why);
        return;
    case read_result::ok:
        break;
    }
    w->axml = std::move(buf);
    w->axml_size = c->size;
    w->has_axml = 1;
}

// ---- Opening and releasing ----

int wave_open(const char *path, wave_t *w)
{
    *w = wave_t{};
    file_ptr fp = tolk_fopen(path, "rb");
    if (!fp)
        return -1;
    return wave_open_stream(std::move(fp), w);
}

int wave_open_stream(file_ptr fp, wave_t *w)
{
    assert(fp != nullptr);
    *w = wave_t{};
    w->fp = std::move(fp);
    std::FILE *f = w->fp.get();

    seek(f, 0, SEEK_SET);
    read_subchunks(f, nullptr, w);
    if (!w->is_wave)
        wave_err(f, "not a Microsoft WAVE file.\n");
    if (w->format_tag == 0)
        wave_err(f, "format chunk not found.\n");
    if (w->audio_start == 0)
        wave_err(f, "data chunk not found.\n");
    if (w->streamed) {
        note(w, "the data chunk's size was never filled in (a file written to a pipe): the audio runs to the end of "
                "the file, %lu bytes", static_cast<unsigned long>(w->audio_length));
    } else if (!w->is_rf64 && (w->riff_size == 0 || w->riff_size == size_unknown || w->riff_end < w->audio_end)) {
        note(w, "the RIFF chunk's size (%lu) does not cover the data chunk (a file written to a pipe): the audio is "
                "read as the data chunk states", static_cast<unsigned long>(w->riff_size));
    }
    seek(f, static_cast<long>(w->audio_start), SEEK_SET);
    return 0;
}

int wave_close(wave_t *w)
{
    std::FILE *f = w->fp.release();
    // Like file_ptr itself, never close a standard stream that was handed in.
    if (f == nullptr || f == stdin || f == stdout || f == stderr)
        return 0;
    return std::fclose(f);
}

void wave_delete(wave_t *w)
{
    // Swapping with empty vectors hands their memory back; clear() would keep it.
    std::vector<cue_point_t>().swap(w->cue_points);
    std::vector<std::uint8_t>().swap(w->xtoc);
    std::vector<char>().swap(w->axml);
    w->xtoc_size = 0;
    w->axml_size = 0;
    w->has_cue = 0;
    w->has_xtoc = 0;
    w->has_axml = 0;
}

// ---- Summary ----

const char *wave_get_format_name(const wave_t *w)
{
    switch (w->format_tag) {
    case WAVE_FORMAT_PCM:
        return "Linear PCM, fixed point";
    case WAVE_FORMAT_IEEE_FLOAT:
        return "Linear PCM, floating point";
    case WAVE_FORMAT_EXTENSIBLE:
        return "Wave Format Extensible";
    default:
        return "";
    }
}

namespace {

/// Bytes that one sample of one channel occupies in the data chunk; 0 when the file does not tell.
unsigned bytes_per_sample(const wave_t *w)
{
    if (w->format_tag == WAVE_FORMAT_IEEE_FLOAT)
        return 4;
    if (w->bits_per_sample != 0 && w->bits_per_sample % 8 == 0)
        return w->bits_per_sample / 8u;
    // 20-bit samples sit in 3 bytes, and formats other than PCM carry no width
    // here: the block alignment states what a sample frame occupies.
    return w->channels != 0 ? w->block_align / w->channels : 0u;
}

} // namespace

char *wave_format_time(const wave_t *w, std::uint64_t bytes, char *dst)
{
    const double bytes_per_second = static_cast<double>(w->sample_rate) * w->channels * bytes_per_sample(w);
    if (bytes_per_second <= 0.0) {
        dst[0] = '\0'; // no rate, no channels or no sample size: the file states no play time
        return dst;
    }
    return tolk_format_time(dst, static_cast<double>(bytes) / bytes_per_second);
}

void wave_summary(const wave_t *w)
{
    static const char rule[] = "------------------------------------\n";
    char time[13];
    std::printf("%-20s: %s (%02Xh)\n", "Format", wave_get_format_name(w), static_cast<unsigned>(w->format_tag));
    std::printf("%-20s: %d\n", "Channels", static_cast<int>(w->channels));
    std::printf("%-20s: %ld\n", "Samples per sec", static_cast<long>(w->sample_rate));
    std::printf("%-20s: %d\n", "Bits per sample", static_cast<int>(w->bits_per_sample));
    std::printf("%-20s: %lu (%s)\n", "Audio length", static_cast<unsigned long>(w->audio_length),
                wave_format_time(w, w->audio_length, time));
    std::printf("%-20s: %lu\n", "Audio start (offset)", static_cast<unsigned long>(w->audio_start));
    std::printf("%-20s: %lu\n", "Audio end (offset)", static_cast<unsigned long>(w->audio_end));

    if (w->has_bext) {
        std::printf("\nBroadcast Wave Extension (version %hd)\n", w->bext_version);
        std::fputs(rule, stdout);
        std::printf("%-20s: %s\n", "Description", w->description);
        std::printf("%-20s: %s\n", "Originator", w->originator);
        std::printf("%-20s: %s\n", "Originator reference", w->originator_reference);
        std::printf("%-20s: %s\n", "Origination date", w->origination_date);
        std::printf("%-20s: %s\n", "Origination time", w->origination_time);
    }

    if (w->has_cue) {
        std::printf("\nCue Points (%ld)\n", static_cast<long>(w->num_cue_points));
        std::fputs(rule, stdout);
        for (const cue_point_t &p : w->cue_points)
            std::printf("%lu Chunk: %-4.4s  Offset: %d\n", static_cast<unsigned long>(p.id), p.chunk_id,
                        static_cast<int>(static_cast<std::int32_t>(p.sample_offset)));
    }

    if (w->has_xtoc) {
        // Pyramix stores its table of contents as UTF-16LE text.
        std::fputs("\nPyaramix Table of Contents (XTOC):\n", stdout);
        for (std::size_t i = 0; i + 1 < w->xtoc.size(); i += 2)
            std::printf("%lc", static_cast<wint_t>(w->xtoc[i] | (w->xtoc[i + 1] << 8)));
        std::fputc('\n', stdout);
    }
}
