#include "cue_files.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "cdtext_pack.h"
#include "cdtext_reader.h"
#include "cue_dialect.h"
#include "log.h"
#include "text_encoding.h"

namespace {

/// The most a binary CD-Text file can hold: 8 blocks of 256 packs of 18 bytes.
constexpr long cdtext_file_max_bytes = 8L * CDTEXT_MAX_PACKS * CDTEXT_PACK_SIZE;
/// A cue sheet of 99 tracks with every index, text and comment is some tens of kilobytes:
/// anything this large is not one (a device such as /dev/zero would never end).
constexpr std::size_t cue_sheet_max_bytes = 4 * 1024 * 1024;

} // namespace

// ---- Diagnostics ----

void cue_err(const char *file, int line, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vlocated("error", file, line, format, ap);
    va_end(ap);
    throw fatal_error(1);
}

void cue_warn(const char *file, int line, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vlocated("warning", tolk_basename(file), line, format, ap);
    va_end(ap);
}

// ---- Opening and reading ----

// A directory is refused as the open would be for a file that does not exist (errno
// EISDIR), so that it gets a clear message.
file_ptr open_input(const char *path)
{
    file_ptr fp = tolk_fopen(path, "rb");
    if (!fp)
        return fp;
    struct stat st;
    if (fstat(fileno(fp.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
        fp.reset();
        errno = EISDIR;
    }
    return fp;
}

/// Opens a file that the cue sheet names, which korvel measures, seeks in and reads
/// more than once: only a regular file will do. The name comes from the cue sheet, so
/// it is checked before the open: a FIFO would block the open itself, and a device such
/// as /dev/zero never ends and keeps its position at 0 (errno ESPIPE for both).
file_ptr open_named_file(const char *path)
{
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        errno = ESPIPE;
        return nullptr;
    }
    return open_input(path);
}

std::optional<std::string> read_sheet(std::FILE *fp)
{
    std::string bytes;
    std::array<char, 65536> block;
    std::size_t n;
    while ((n = std::fread(block.data(), 1, block.size(), fp)) > 0) {
        bytes.append(block.data(), n);
        if (bytes.size() > cue_sheet_max_bytes) {
            errno = EFBIG;
            return std::nullopt;
        }
    }
    if (std::ferror(fp))
        return std::nullopt;
    return bytes;
}

/// A name from the cue sheet resolved against the cue sheet's directory.
std::string resolve(const std::string &cuefile, const char *name)
{
    if (tolk_path_is_abs(name))
        return name;
    const std::string dir = tolk_path_get_dir(cuefile.c_str());
    return tolk_path_join(dir.c_str(), name).value_or(name);
}

/// The name under which a file the sheet names is found: as it is written (in UTF-8, as file
/// names are on this system); in the sheet's own code page; or, for a Windows path that names
/// no file here, as the relative path it is from the sheet's folder ("Album\01.wav") and then
/// as its last component in the sheet's folder ("C:\Music\album.wav"). Otherwise as written,
/// for its evaluation to say that it is not there.
std::string locate(const std::string &cuefile, const std::string &charset, const std::string &name)
{
    const auto exists = [&](const std::string &candidate) {
        struct stat st;
        return candidate == "-" || stat(resolve(cuefile, candidate.c_str()).c_str(), &st) == 0;
    };
    if (exists(name))
        return name;
    if (!charset.empty()) {
        const std::optional<std::string> bytes = utf8_to_charset(name, charset.c_str());
        if (bytes && exists(*bytes))
            return *bytes;
    }
    for (const std::string &candidate : cue_windows_path_candidates(name)) {
        if (exists(candidate)) {
            cue_warn(name.c_str(), -1, "not found, using %s in the cue sheet's folder", candidate.c_str());
            return candidate;
        }
    }
    return name;
}

// ---- The audio data file ----

void evaluate_datafile(cuesheet_t *cue, const char *name, int filetype)
{
    cue_datafile_t file;
    file.path = std::strcmp(name, "-") == 0 || tolk_path_is_abs(name) ? std::string(name) : resolve(*cue->cuefile, name);
    file.filetype = filetype;
    const char *path = file.path.c_str();

    // Raw samples, or a WAVE file (or FLAC in its place) that must hold CD audio.
    file_ptr fp = open_named_file(path);
    if (!fp && (errno == ESPIPE || errno == EISDIR))
        cue_err(path, -1, "not a regular file: korvel reads audio from files only");
    if (!fp)
        cue_err(path, -1, "can't open file, message: %s", std::strerror(errno));
    struct stat st;
    if (fstat(fileno(fp.get()), &st) == 0)
        file.disk_size = static_cast<std::int64_t>(st.st_size);
    const audio_declared declared = filetype == CUE_FILETYPE_WAVE       ? audio_declared::wave
                                    : filetype == CUE_FILETYPE_MOTOROLA ? audio_declared::motorola
                                                                        : audio_declared::binary;
    file.input = audio_input::open(std::move(fp), path, declared);
    file.size = static_cast<long>(file.input.size());
    if (file.size % cue_sample_frame_bytes != 0)
        cue_err(path, -1, "audio stops in the middle of a sample frame, this files is broken, audio length: %ld",
                file.size);
    cue->audio_size += file.size;
    cue->files.push_back(std::move(file));
}

// ---- The CD-Text file ----

void evaluate_cdtextfile(cuesheet_t *cue, const char *name)
{
    cue->cdtextfile = resolve(*cue->cuefile, name);
    const char *path = cue->cdtextfile->c_str();

    file_ptr fp = open_named_file(path);
    // Without CD-Text to write, the file would not be used: a sheet is not refused for it.
    if (!fp && !cue->cdtext_from_texts) {
        cue_warn(path, 0, "cannot open CD text file (%s), which is not used without -t: %s", path, std::strerror(errno));
        cue->cdtextfile.reset();
        return;
    }
    if (!fp)
        cue_err(path, 0, "cannot open CD text file (%s)", path);
    // CD-Text holds at most 8 blocks of 256 packs; a larger file is not CD-Text, and its
    // length would not fit the map packet that names it.
    struct stat st;
    if (fstat(fileno(fp.get()), &st) == 0 && st.st_size > cdtext_file_max_bytes)
        cue_err(path, 0, "CD text file is too large: %lld bytes, but CD text holds at most %ld (8 blocks of %d packs)",
                static_cast<long long>(st.st_size), cdtext_file_max_bytes, CDTEXT_MAX_PACKS);
    std::array<cdtext_block_info_t, 8> blocks{};
    cue->cdtext_header = cdtext_file_header(fp.get());
    errno = 0;
    if (cue->cdtext_header != 0 && std::fseek(fp.get(), cue->cdtext_header, SEEK_SET) != 0)
        cue_err(path, 0, "file reading failed (%s)", std::strerror(errno));
    const int scanned = cdtext_scan_blocks(fp.get(), blocks.data());
    if (scanned == -1)
        cue_err(path, 0, "file reading failed (%s)",
                errno != 0 ? std::strerror(errno) : "the file ends inside a CD text pack");
    if (scanned == 1)
        cue_err(path, 0, "not a binary CD text file");
    fp.reset();

    if (blocks[0].first_track != 1)
        cue_err(path, 0, "First track number in CD text file (%d) does not match cue file (%d)\n",
                blocks[0].first_track, 1);
    const int tracks = pq_num_tracks(*cue->pq);
    if (blocks[0].last_track != tracks)
        cue_err(path, 0, "Last track number in CD text (%d) file does not match cue sheet (%d)\n",
                blocks[0].last_track, tracks);
    log_msg(1, "CD text file is: %s\n", path);
}
