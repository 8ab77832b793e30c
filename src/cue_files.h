// The files a cue sheet names, and the record of the sheet they go into: the sheet read
// whole, its audio data files and its binary CD-Text file found, opened and measured.
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
#include "pqlist.h"
#include "tolk_utils.h"

/// Kinds of audio data file that a FILE command names.
enum : int {
    CUE_FILETYPE_BINARY = 1,   ///< raw 16-bit stereo samples, little-endian
    CUE_FILETYPE_WAVE = 2,     ///< RIFF/WAVE file
    CUE_FILETYPE_MOTOROLA = 3, ///< raw 16-bit stereo samples, big-endian
};

/// Audio is 16-bit stereo: a sample frame is 4 bytes.
constexpr long cue_sample_frame_bytes = 4;

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

/// "file:line: error: message" (or "file: error: " for a line below 1) on standard error,
/// then throws fatal_error.
[[noreturn]] void cue_err(const char *file, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));
/// The same as a warning, naming only the last path component; parsing goes on.
void cue_warn(const char *file, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));

/// Opens an input file for binary reading; a directory fails with errno EISDIR.
file_ptr open_input(const char *path);
/// Opens a file that the cue sheet names: a regular file only (errno ESPIPE for a FIFO or
/// a device, EISDIR for a directory).
file_ptr open_named_file(const char *path);
/// The whole file from its current place, or nullopt (errno set) when it cannot be read;
/// EFBIG past the 4 MiB that no cue sheet comes near.
std::optional<std::string> read_sheet(std::FILE *fp);
/// A name from the cue sheet resolved against the folder of the sheet `cuefile`.
std::string resolve(const std::string &cuefile, const char *name);
/// The name under which the file `name` of the sheet `cuefile` is found; `charset` is the code
/// page the sheet was read in, empty for UTF-8.
std::string locate(const std::string &cuefile, const std::string &charset, const std::string &name);

/// Finds, opens and measures one audio data file of the sheet, of a CUE_FILETYPE_ kind,
/// and adds it to the sheet's files.
void evaluate_datafile(cuesheet_t *cue, const char *name, int filetype);
/// Finds the binary CD-Text file and checks its track range against the cue sheet.
void evaluate_cdtextfile(cuesheet_t *cue, const char *name);
