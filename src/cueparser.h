// Cue sheet input: the parser that turns a cue sheet into a PQ list, and the
// evaluation of its audio data files and binary CD-Text file.
// Faults in any input file are fatal: cue_err prints one located diagnostic
// ("file:line: error: ...") and throws fatal_error, which ends the run with status 1.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio_input.h"
#include "image_layout.h"
#include "parallel_digest.h"
#include "pqlist.h"
#include "tolk_utils.h"

/// Kinds of audio data file that a FILE command names.
enum : int {
    CUE_FILETYPE_BINARY = 1,   ///< raw 16-bit stereo samples, little-endian
    CUE_FILETYPE_WAVE = 2,     ///< RIFF/WAVE file
    CUE_FILETYPE_MOTOROLA = 3, ///< raw 16-bit stereo samples, big-endian
};

/// One audio data file of the sheet.
struct cue_datafile_t {
    std::string path;  ///< resolved against the cue sheet's folder
    int filetype = 0;
    audio_input input; ///< the file, at its first audio byte
    long size = 0;     ///< bytes of audio it gives
    std::int64_t disk_size = 0; ///< its size on disk when it was measured
    long start = 0;    ///< where its audio begins in the image
    long end = 0;      ///< where its audio ends in the image (silence within it counted)
};

/// The parsed cue sheet. Complete and consistent once cue_open returns.
struct cuesheet_t {
    /// Set before cue_open: CD-Text will be written. Texts that ISO 8859-1 cannot hold then
    /// go into MS-JIS when they are Japanese and are an error otherwise, rather than a warning;
    /// a CDTEXTFILE that cannot be read is an error rather than a warning.
    bool cdtext_from_texts = false;
    /// Set before cue_open: the code page the sheet is in (any name iconv knows), or null to detect it.
    const char *charset = nullptr;
    std::optional<std::string> cuefile;    ///< as passed to cue_open ("-" for standard input)
    std::unique_ptr<PQlist> pq;            ///< the disc
    std::optional<std::string> cdtextfile; ///< resolved path of the CDTEXTFILE, if any
    long cdtext_header = 0;                ///< bytes before its packs (a header), which are not copied
    std::vector<cue_datafile_t> files;     ///< the audio data files, in the order of the sheet
    std::vector<image_piece_t> image;      ///< IMAGE.DAT piece by piece: silence or a file's next bytes
    long pregap_size = 0;  ///< silence before the audio in the image: 0 or 352800 bytes
    long audio_size = 0;   ///< bytes of audio taken from the data files
    long padding_size = 0; ///< silence after the audio up to the sector boundary
};

/// Reads the cue sheet (path "-" reads standard input), its CD-Text file and its audio
/// data file into `cue`. Returns only when all are accepted; any fault throws fatal_error
/// after its diagnostic.
void cue_open(const char *path, cuesheet_t *cue);
/// Releases what cue_open filled.
void cue_close(cuesheet_t *cue);

// ---- Shared by the cue sheet's evaluations, and by the tests ----

/// "file:line: error: message" (or "file: error: " for a line below 1) on standard error,
/// then throws fatal_error.
[[noreturn]] void cue_err(const char *file, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));
/// The same as a warning, naming only the last path component; parsing goes on.
void cue_warn(const char *file, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));

/// Opens an input file for binary reading; a directory fails with errno EISDIR.
file_ptr open_input(const char *path);
/// The whole file from its current place, or nullopt (errno set) when it cannot be read;
/// EFBIG past the 4 MiB that no cue sheet comes near.
std::optional<std::string> read_sheet(std::FILE *fp);
/// Reads one line into `buf` (of `size` bytes): 1 for a line, 0 at the end of the input,
/// -1 for a line too long for the buffer (the rest of it is skipped).
int smart_fgets(char *buf, int size, std::FILE *fp);
/// The next token of the line (`text`, or the cursor's place when null), or null at its end.
/// With `quoting` a token that opens with a double quote runs to the line's last double quote.
char *next_token(char *text, const char *separators, int quoting, char **cursor);
/// 1 when every character is a decimal digit (the empty text too), else 0.
int is_number(const char *text);

/// Finds, opens and measures one audio data file of the sheet, of a CUE_FILETYPE_ kind,
/// and adds it to the sheet's files.
void evaluate_datafile(cuesheet_t *cue, const char *name, int filetype);
/// Finds the binary CD-Text file and checks its track range against the cue sheet.
void evaluate_cdtextfile(cuesheet_t *cue, const char *name);
