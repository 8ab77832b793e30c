// RIFF/WAVE reader. Walks a WAVE (or RF64) file's chunk tree once, records the
// audio format, where the audio data lies, and the optional Broadcast Wave (bext),
// cue point, XTOC and axml chunks, and leaves the file at the first audio byte.
// Structural faults are fatal: wave_err prints "Wave parser error (offset N): ..."
// and throws fatal_error, which ends the run with status 1. What the walk forgave
// (unfilled sizes of a file written to a pipe, metadata it could not read) is
// kept in `warnings` for the caller to show.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tolk_utils.h"

/// Format codes of the fmt chunk.
enum : std::uint16_t {
    WAVE_FORMAT_PCM = 0x0001,
    WAVE_FORMAT_IEEE_FLOAT = 0x0003,
    WAVE_FORMAT_EXTENSIBLE = 0xFFFE,
};

/// One entry of the cue chunk: 24 bytes in the file.
struct cue_point_t {
    std::uint32_t id = 0;
    std::uint32_t position = 0;
    char chunk_id[4] = {}; ///< four characters as read, not terminated
    std::uint32_t chunk_start = 0;
    std::uint32_t block_start = 0;
    std::uint32_t sample_offset = 0;
};

/// A chunk header while walking: offsets are unsigned 32-bit, as in RIFF itself.
struct chunk_t {
    char id[5] = {};
    std::uint32_t size = 0;
    std::uint32_t start = 0; ///< offset of the first byte after the 8-byte header
    std::uint32_t end = 0;   ///< start + size
    char type[5] = {};       ///< form or list type of RIFF and LIST chunks, else empty
};

struct wave_t {
    file_ptr fp; ///< the open file; positioned at audio_start after wave_open
    std::uint16_t format_tag = 0; ///< 0 until a fmt chunk was read
    std::uint16_t channels = 0;
    std::uint32_t sample_rate = 0;
    std::uint32_t byte_rate = 0;
    std::uint16_t block_align = 0;
    std::uint16_t bits_per_sample = 0; ///< read only for PCM and Wave Format Extensible
    /// Format code that an extensible file's subformat GUID carries (PCM 1, float 3), 0 without one.
    std::uint16_t subformat = 0;
    char description[257] = {};
    char originator[33] = {};
    char originator_reference[33] = {};
    char origination_date[11] = {};
    char origination_time[9] = {};
    std::int32_t time_reference_low = 0;
    std::int32_t time_reference_high = 0;
    std::int16_t bext_version = 0;
    std::uint8_t umid[64] = {};
    std::uint32_t num_cue_points = 0; ///< the count the cue chunk states
    std::vector<cue_point_t> cue_points;
    std::uint32_t audio_start = 0; ///< 0 until a data chunk was read
    std::uint32_t audio_end = 0;
    std::uint32_t audio_length = 0;
    std::uint32_t riff_size = 0;   ///< the size field of the RIFF chunk that holds the WAVE form
    std::uint64_t riff_end = 0;    ///< where that size field says the RIFF chunk ends
    std::uint64_t ds64_data_size = 0; ///< RF64: the data chunk's size from the ds64 chunk
    std::vector<std::uint8_t> xtoc;
    std::uint64_t xtoc_size = 0;
    std::vector<char> axml; ///< contents followed by a terminating zero byte
    std::uint64_t axml_size = 0;
    int is_wave = 0;
    int is_rf64 = 0;   ///< the form came in an RF64 (or BW64) chunk, whose sizes the ds64 chunk holds
    int has_ds64 = 0;
    int streamed = 0;  ///< the data chunk's size was never filled in: the audio runs to the end of the file
    std::vector<std::string> warnings; ///< what the walk forgave, one sentence each
    int has_bext = 0;
    int has_cue = 0;
    int has_xtoc = 0;
    int has_axml = 0;
};

/// Opens and walks a WAVE file. 0 on success (file at audio_start); -1 when it
/// cannot be opened (errno tells why). Structural faults throw fatal_error.
int wave_open(const char *path, wave_t *w);
/// Walks an already open stream from its start; the wave object takes it over. 0 on success;
/// structural faults throw fatal_error. Lets tests and fuzzers parse without the disk.
int wave_open_stream(file_ptr fp, wave_t *w);
/// Closes the file; the result of the close (0 also when no file was open).
int wave_close(wave_t *w);
/// Frees the cue points, XTOC and axml data and clears their flags; the file stays open.
void wave_delete(wave_t *w);
/// Prints "Wave parser error (offset N): " and the message to standard error and throws fatal_error;
/// N is where the walk stopped, or the file's end when the walk was sent past it.
[[noreturn]] void wave_err(std::FILE *fp, const char *format, ...) __attribute__((format(printf, 2, 3)));

/// Deepest nesting of RIFF and LIST containers that the walk follows.
constexpr int WAVE_MAX_DEPTH = 16;

/// Walks the chunks inside `parent` (the whole file when null), which lies inside
/// `depth` containers; a container deeper than WAVE_MAX_DEPTH is a fatal fault.
void read_subchunks(std::FILE *fp, const chunk_t *parent, wave_t *w, int depth = 0);
/// 0 when a chunk header was read, -2 when there is no further chunk (fewer than 4 bytes
/// left in the file or the parent). An `end` beyond the 32-bit offset range is held at
/// 0xFFFFFFFF, so the walk only moves forward. A top-level RIFF or RF64 chunk of size 0
/// (never filled in) is a container too.
int chunk_open(std::FILE *fp, chunk_t *c, const chunk_t *parent);
/// Positions the file after the chunk and its pad byte, or leaves it where it is when the
/// walk inside a container has already gone past that: the walk only moves forward.
void chunk_close(std::FILE *fp, const chunk_t *c);
void chunk_read_fmt(std::FILE *fp, const chunk_t *c, wave_t *w);
void chunk_read_ds64(std::FILE *fp, const chunk_t *c, wave_t *w);
void chunk_read_data(std::FILE *fp, const chunk_t *c, wave_t *w);
void chunk_read_bext(std::FILE *fp, const chunk_t *c, wave_t *w);
void chunk_read_cue(std::FILE *fp, const chunk_t *c, wave_t *w);
void chunk_read_XTOC(std::FILE *fp, const chunk_t *c, wave_t *w);
void chunk_read_axml(std::FILE *fp, const chunk_t *c, wave_t *w);

/// Little-endian reads whatever the host byte order; 1 item read, or 0 (destination unchanged).
std::size_t fread_uint32_le(std::uint32_t *dst, std::FILE *fp);
std::size_t fread_int32_le(std::int32_t *dst, std::FILE *fp);
std::size_t fread_uint16_le(std::uint16_t *dst, std::FILE *fp);
std::size_t fread_int16_le(std::int16_t *dst, std::FILE *fp);

// ---- Summary ----

/// "Linear PCM, fixed point", "Linear PCM, floating point", "Wave Format Extensible" or "".
const char *wave_get_format_name(const wave_t *w);
/// Play time of `bytes` of audio as "hh:mm:ss.mmm" in `dst` (13 bytes).
char *wave_format_time(const wave_t *w, std::uint64_t bytes, char *dst);
/// A labelled report of the file's format, audio, bext, cue points and XTOC on standard output.
void wave_summary(const wave_t *w);
