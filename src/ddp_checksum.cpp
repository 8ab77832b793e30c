#include "ddp_checksum.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>

#include "crc.h"
#include "ddp_format.h"
#include "fileset_files.h"
#include "fileset_reader.h"
#include "log.h"
#include "md5.h"
#include "parallel_digest.h"
#include "safe_output.h"
#include "tolk_utils.h"

namespace {

// A checksum file names the files of a fileset as the map does: at most as long as the map's
// file name field.
const std::size_t dsi_length = ddp_field_width(&ddp_map_packet::dsi);

constexpr std::size_t md5_digits = 32;
constexpr std::size_t crc_digits = 8;

// Files are read in blocks of this size, each fed to both digests. A multiple
// of the stream buffer's size, so that the C library reads straight into the
// block; 256 KiB keeps the number of reads small and the process small.
constexpr std::size_t read_block_size = 256 * 1024;

// Checksum files are small text files: lines of at most 100 characters, and
// nothing larger than 6,600 bytes is taken for one.
constexpr int checksum_line_max = 100;
constexpr off_t checksum_file_max_size = 6600;

struct dir_closer {
    void operator()(DIR *d) const noexcept { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

const char *list_dir(const ddp_files *list) { return list->dir ? list->dir->c_str() : ""; }

// The path of a listed file: the list's directory joined with the name.
std::string path_of(const ddp_files *list, const char *name)
{
    return tolk_path_join(list_dir(list), name).value_or(std::string(name));
}

// The system's error text for a failed call; a failure that set no error is an I/O error.
int failure_errno() { return errno != 0 ? errno : EIO; }

void report_errno(const std::string &path, int err)
{
    // perror form on standard error, as the shell tools report unreadable files.
    errno = err;
    log_errno(path.c_str());
}

std::string hex_md5(const std::uint8_t digest[16])
{
    std::string text;
    std::array<char, 3> two;
    for (int i = 0; i < 16; ++i) {
        std::snprintf(two.data(), two.size(), "%02x", digest[i]);
        text += two.data();
    }
    return text;
}

// Opens a candidate checksum file for one of the readers; null when it cannot.
file_ptr open_checksum_file(const char *path)
{
    file_ptr fp = tolk_fopen(path, "rb");
    if (!fp)
        log_msg(4, "can't open file \"%s\", message: %s\n", path, std::strerror(errno));
    return fp;
}

// The lines of a checksum file, numbered from 1. Over-long lines are reported
// and passed over; a control character or a read error ends the file.
class checksum_lines {
public:
    checksum_lines(std::FILE *fp, const char *path) : fp_(fp), path_(path) {}

    /// The next line, or null at the end.
    const char *next()
    {
        for (;;) {
            const int r = tolk_freadln(buf_.data(), checksum_line_max, fp_);
            if (r == -1)
                return nullptr;
            ++number_;
            if (std::ferror(fp_)) {
                // A failing stream never reaches its end: stop here.
                log_msg(4, "%s:%d: read error: %s\n", path_, number_, std::strerror(failure_errno()));
                return nullptr;
            }
            if (r == -2) {
                log_msg(4, "%s:%d: not a text file\n", path_, number_);
                return nullptr;
            }
            if (r == 1) {
                log_msg(4, "%s:%d: line too long\n", path_, number_);
                continue;
            }
            return buf_.data();
        }
    }

    int number() const { return number_; }

private:
    std::FILE *fp_;
    const char *path_;
    int number_ = 0;
    std::array<char, checksum_line_max + 1> buf_{};
};

constexpr std::string_view blanks = " \t";

std::string_view trim_left(std::string_view s)
{
    const auto from = s.find_first_not_of(blanks);
    return from == std::string_view::npos ? std::string_view() : s.substr(from);
}

std::string_view trim_right(std::string_view s)
{
    const auto to = s.find_last_not_of(blanks);
    return to == std::string_view::npos ? std::string_view() : s.substr(0, to + 1);
}

bool is_hex(std::string_view s)
{
    return tolk_str_ishex(std::string(s).c_str()) != 0;
}

// A name as md5sum -c takes it: "./IMAGE.DAT" is IMAGE.DAT.
std::string_view without_dot_slash(std::string_view name)
{
    while (name.starts_with("./"))
        name.remove_prefix(2);
    return name;
}

// One "name=CRC" line of a CRC section; true when a CRC was taken.
bool read_crc_line(std::vector<ddpf_line_t> &lines, const char *path, int line_no, const char *line)
{
    const std::string_view text = trim_left(line);
    const auto equal = text.find('=');
    if (equal == std::string_view::npos) {
        log_msg(4, "%s:%d: malformed line, no euqal sign found\n", path, line_no);
        return false;
    }
    const std::string name(without_dot_slash(trim_right(text.substr(0, equal))));
    if (name.size() > dsi_length) {
        log_msg(4, "%s:%d: skipping file with name longer than 17 characters\n", path, line_no);
        return false;
    }
    if (name.empty()) {
        log_msg(4, "%s:%d: no file name found before equal sign\n", path, line_no);
        return false;
    }
    // An INI-style version key that some tools write beside the checksums.
    if (name == "Version")
        return false;
    const std::string crc(trim_right(trim_left(text.substr(equal + 1))));
    if (crc.empty() || crc.size() > crc_digits) {
        log_msg(4, "%s:%d: no CRC32 found after equal sign\n", path, line_no);
        return false;
    }
    if (!is_hex(crc)) {
        log_msg(4, "%s:%d: non-hex digit found after equal sign\n", path, line_no);
        return false;
    }
    log_msg(4, "%s:%d: file=\"%s\", CRC32=%s\n", path, line_no, log_printable(name).c_str(), crc.c_str());
    lines.push_back({line_no, name, "", crc});
    return true;
}

// One "hash  name", "hash *name" or "hash - name" line; true when an MD5 was taken.
bool read_md5_line(std::vector<ddpf_line_t> &lines, const char *path, int line_no, const char *line)
{
    const std::string_view text(line);
    const auto space = text.find(' ');
    if (space == std::string_view::npos) {
        log_msg(4, "%s:%d: no space in line\n", path, line_no);
        return false;
    }
    const std::string token(text.substr(0, space));
    if (token.empty())
        return false;
    if (token.size() > md5_digits) {
        log_msg(4, "%s:%d: first token too long: %s\n", path, line_no, log_printable(token).c_str());
        return false;
    }
    if (!is_hex(token)) {
        log_msg(4, "%s:%d: first token not a hex dumber: %s\n", path, line_no, log_printable(token).c_str());
        return false;
    }
    // After the hash: a second space (text mode), "*" (binary mode) or "- ".
    const std::string_view rest = text.substr(space + 1);
    std::string_view name;
    if (rest.starts_with(' ') || rest.starts_with('*'))
        name = rest.substr(1);
    else if (rest.starts_with("- "))
        name = rest.substr(2);
    else {
        log_msg(4, "%s:%d: skipping malformed line\n", path, line_no);
        return false;
    }
    name = without_dot_slash(name);
    if (name.empty())
        return false;
    const std::string name_text(name);
    if (name.size() > dsi_length) {
        log_msg(4, "%s:%d: file name too long \"%s\"\n", path, line_no, log_printable(name_text).c_str());
        return false;
    }
    log_msg(4, "%s:%d: File=\"%s\", MD5=%s\n", path, line_no, log_printable(name_text).c_str(), token.c_str());
    lines.push_back({line_no, name_text, token, ""});
    return true;
}

// A section header "[...]" switches CRC reading on when it names CRC32.
bool is_crc_section_header(const char *line)
{
    const std::string_view text(line);
    const auto close = text.find(']');
    return close != std::string_view::npos && text.substr(1, close - 1).find("CRC32") != std::string_view::npos;
}

// Writes one checksum file under its temporary name; false after reporting a failure.
bool write_checksum_file(const ddp_files *list, staged_file &out,
                         void (*write_lines)(const ddp_files *, std::FILE *))
{
    if (out)
        write_lines(list, out.get());
    if (!out || !out.finish()) {
        report_errno(out.path(), failure_errno());
        return false;
    }
    return true;
}

} // namespace

// ---- The file list ----

void ddpf_init(ddp_files *list)
{
    list->files.clear();
    list->dir.reset();
}

void ddpf_set_dir(ddp_files *list, const char *dir) { list->dir = tolk_strdup(dir); }

ddp_file *ddpf_find(ddp_files *list, const char *name) { return list->find(name); }

ddp_file *ddpf_add(ddp_files *list, const char *name, const char *md5, const char *crc)
{
    // Entries hold at most as much of a name as the map's file name field.
    ddp_file *entry = &list->add(std::string_view(name).substr(0, dsi_length), ddp_role::listed);
    ddpf_entry_update(entry, md5, crc);
    return entry;
}

void ddpf_entry_update(ddp_file *entry, const char *md5, const char *crc)
{
    // Checksums are kept right-aligned in their full width of hex digits.
    const auto pad = [](const char *sum, std::size_t width) {
        const std::size_t len = std::strlen(sum);
        assert(len <= width);
        return std::string(width - len, '0') + sum;
    };
    if (md5 != nullptr && md5[0] != '\0')
        entry->md5 = pad(md5, md5_digits);
    if (crc != nullptr && crc[0] != '\0')
        entry->crc32 = pad(crc, crc_digits);
}

void ddpf_read_ddp(ddp_files *list, const char *dir)
{
    if (auto named = ddp_files_of_map(dir))
        *list = std::move(*named);
}

int file_calc_checksum(std::FILE *fp, char *md5, char *crc)
{
    md5_context md5_state;
    md5_init(&md5_state);
    std::uint64_t crc_state;
    crc32_init(&crc_state);

    const auto block = std::make_unique_for_overwrite<std::uint8_t[]>(read_block_size);
    std::size_t n;
    while ((n = std::fread(block.get(), 1, read_block_size, fp)) > 0) {
        if (md5 != nullptr)
            md5_append(&md5_state, block.get(), static_cast<int>(n));
        if (crc != nullptr)
            crc32_update(&crc_state, block.get(), static_cast<long>(n));
    }
    // Checksums over part of a file would vouch for bytes nobody read.
    if (std::ferror(fp)) {
        errno = failure_errno();
        return -1;
    }
    if (md5 != nullptr) {
        std::uint8_t digest[16];
        md5_finish(&md5_state, digest);
        tolk_strcpy(md5, hex_md5(digest).c_str(), md5_digits + 1);
    }
    if (crc != nullptr) {
        crc32_finish(&crc_state);
        std::snprintf(crc, crc_digits + 1, "%08lX", static_cast<unsigned long>(crc_state));
    }
    return 0;
}

int ddpf_calc(ddp_files *list, int do_md5, int do_crc)
{
    int result = 0;
    for (auto &entry : list->files) {
        // What is known already (the image's digests, taken as it was written) is not read again.
        if ((!do_md5 || !entry.md5.empty()) && (!do_crc || !entry.crc32.empty()))
            continue;
        const std::string path = path_of(list, entry.name.c_str());
        file_ptr in = tolk_fopen(path.c_str(), "rb");
        if (!in) {
            report_errno(path, failure_errno());
            result = 1;
            continue;
        }
        std::array<char, md5_digits + 1> md5{};
        std::array<char, crc_digits + 1> crc{};
        if (file_calc_checksum(in.get(), do_md5 ? md5.data() : nullptr, do_crc ? crc.data() : nullptr) != 0) {
            report_errno(path, failure_errno());
            result = 1;
            continue;
        }
        ddpf_entry_update(&entry, md5.data(), crc.data());
    }
    return result;
}

void ddpf_free(ddp_files *list) { ddpf_init(list); }

// ---- Checksum files ----

void ddpf_write_md5(const ddp_files *list, std::FILE *out)
{
    // CHECKSUM.MD5 is md5sum's binary-mode form: digest, space, asterisk, name.
    for (const auto &entry : list->files)
        if (!entry.md5.empty())
            std::fprintf(out, "%32s *%s\n", entry.md5.c_str(), entry.name.c_str());
}

void ddpf_write_crc32(const ddp_files *list, std::FILE *out)
{
    // CHECKSUM.TXT is one INI section of name=CRC lines.
    if (list->files.empty())
        return;
    std::fprintf(out, "[CRC32 Checksum]\n");
    for (const auto &entry : list->files)
        if (!entry.crc32.empty())
            std::fprintf(out, "%s=%s\n", entry.name.c_str(), entry.crc32.c_str());
}

void ddpf_print(const ddp_files *list)
{
    std::printf("%-17s  %-32s  %-8s\n", "Filename", "MD5", "CRC32");
    std::printf("%-17s  %-32s  %-8s\n", "-----------------", "--------------------------------", "--------");
    if (list->files.empty()) {
        std::printf("ddpf_print: list is empty\n");
        return;
    }
    for (const auto &entry : list->files)
        std::printf("%-17s  %-32s  %-8s\n", entry.name.c_str(), entry.md5.c_str(), entry.crc32.c_str());
}

int ddp_checksum_write(const char *dir, const digest_pair *image)
{
    ddp_files list;
    ddpf_init(&list);
    ddpf_read_ddp(&list, dir);
    if (!list.dir) {
        // Without a fileset there is no directory to write into that we trust.
        log_err("%s: not a DDP fileset, cannot write checksum files\n", dir != nullptr ? dir : "");
        ddpf_print(&list);
        return 1;
    }
    if (ddp_file *entry = image != nullptr ? ddpf_find(&list, "IMAGE.DAT") : nullptr)
        ddpf_entry_update(entry, image->md5.c_str(), image->crc32.c_str());
    // Every checksum is computed before either file is created, so neither
    // checksum file ever lists itself or an older checksum file.
    int result = ddpf_calc(&list, 1, 1);
    if (result != 0) {
        // Checksum files without a file of the fileset would vouch for an incomplete one.
        log_err("no checksum files written: not every file of the fileset could be read\n");
    } else {
        // The two files go in place together or not at all.
        staged_file md5(path_of(&list, "CHECKSUM.MD5"));
        staged_file crc(path_of(&list, "CHECKSUM.TXT"));
        const bool md5_ok = write_checksum_file(&list, md5, ddpf_write_md5);
        const bool crc_ok = write_checksum_file(&list, crc, ddpf_write_crc32);
        if (!md5_ok || !crc_ok) {
            result = 1;
        } else if (!md5.commit()) {
            report_errno(md5.path(), failure_errno());
            result = 1;
        } else if (!crc.commit()) {
            report_errno(crc.path(), failure_errno());
            std::remove(md5.path().c_str());
            result = 1;
        } else {
            log_msg(1, "MD5 checksums written to \"%s\".\n", "CHECKSUM.MD5");
            log_msg(1, "CRC32 checksums written to \"%s\".\n", "CHECKSUM.TXT");
        }
    }
    ddpf_print(&list);
    ddpf_free(&list);
    return result;
}

// ---- Checksum file readers and the validator ----

namespace {

using line_reader = void (*)(std::FILE *, const char *, std::vector<ddpf_line_t> &);

// The readers of the three forms take an open stream and the checksum file's name for their
// messages; each appends the lines that give a checksum.

void read_crc32_lines(std::FILE *fp, const char *path, std::vector<ddpf_line_t> &lines)
{
    log_msg(4, "trying to read CRC checksums from file \"%s\"\n", path);
    checksum_lines text(fp, path);
    bool in_crc_section = false;
    while (const char *line = text.next()) {
        if (line[0] == '\0' || line[0] == ';')
            continue;
        if (line[0] == '[') {
            // Once on, CRC reading stays on for the rest of the file.
            if (is_crc_section_header(line))
                in_crc_section = true;
            continue;
        }
        if (in_crc_section)
            read_crc_line(lines, path, text.number(), line);
    }
}

void read_md5_lines(std::FILE *fp, const char *path, std::vector<ddpf_line_t> &lines)
{
    log_msg(4, "trying to read MD5 checksums from file \"%s\"\n", path);
    checksum_lines text(fp, path);
    while (const char *line = text.next()) {
        if (line[0] == '\0' || line[0] == '#' || line[0] == ';')
            continue;
        read_md5_line(lines, path, text.number(), line);
    }
}

void read_wave_editor_line(std::FILE *fp, const char *path, std::vector<ddpf_line_t> &lines)
{
    log_msg(4, "Trying to read WaveEditor MD5 checksum from file \"%s\"\n", path);
    // The whole file is one checksum without a line end.
    std::array<char, checksum_line_max + 1> line{};
    const int r = tolk_freadln(line.data(), checksum_line_max, fp);
    if (std::ferror(fp)) {
        log_msg(4, "%s:1: read error: %s\n", path, std::strerror(failure_errno()));
        return;
    }
    if (r == -2) {
        log_msg(4, "%s: not a text file\n", path);
        return;
    }
    if (r == 1) {
        log_msg(4, "%s:1: line too long\n", path);
        return;
    }
    if (!std::feof(fp)) {
        log_msg(4, "%s: more than one line, not a WaevEditor MD5 file\n", path);
        return;
    }
    const std::size_t len = std::strlen(line.data());
    if (len < 1 || len > md5_digits || !tolk_str_ishex(line.data())) {
        log_msg(4, "%s: content is not an MD5 checksum\n", path);
        return;
    }
    log_msg(4, "%s: found MD5 checksum: %s\n", path, line.data());
    lines.push_back({1, "image.dat", line.data(), ""});
}

/// Reads the checksum file at `path` into the list: 0 when it gave a checksum, 1 when none, -1 unopenable.
int read_into_list(ddp_files *list, const char *path, line_reader reader)
{
    file_ptr fp = open_checksum_file(path);
    if (!fp)
        return -1;
    std::vector<ddpf_line_t> lines;
    reader(fp.get(), path, lines);
    for (const ddpf_line_t &l : lines)
        ddpf_add(list, l.name.c_str(), l.md5.c_str(), l.crc32.c_str());
    return lines.empty() ? 1 : 0;
}

/// A checksum as written, right-aligned in its full width of hex digits.
std::string padded(const std::string &sum, std::size_t width)
{
    return sum.size() < width ? std::string(width - sum.size(), '0') + sum : sum;
}

/// The checksums of one file of the fileset, computed on its first use in a validation.
struct computed_sums {
    std::string md5;
    std::string crc32;
    std::string problem; ///< why it could not be read; empty when it was
};

/// One validation: the fileset's entries, what was computed (by the name on disk of the file
/// read), and the report.
struct validation {
    const fileset_source &src;
    ddpf_validation_t &report;
    std::map<std::string, computed_sums> cache;

    void add_issue(const std::string &file, const std::string &message)
    {
        report.issues.push_back({true, file, "", message});
    }
};

/// The entry a checksum file's line names, or null with why it is not read. Only a regular file
/// of the fileset directory is read: a checksum file can come from anywhere, and a name such as
/// "../../dev/zero", a FIFO or a link out of the fileset must neither hang the check nor reach
/// files outside it.
const fileset_entry *listed_entry(validation &v, const std::string &name, std::string &why)
{
    if (name.find('/') != std::string::npos || name == "..") {
        why = "not a file of the fileset directory";
        return nullptr;
    }
    const fileset_entry *e = fileset_find(v.src, name);
    if (e == nullptr) {
        why = std::strerror(ENOENT);
        return nullptr;
    }
    // md5sum -c reads the name as it is written: a file whose name differs in case is not the one
    // listed, and a checksum file that passes here must pass at the plant too.
    if (e->name != name) {
        why = "the directory holds " + e->name + ", not " + name + ": names differ in letter case";
        return nullptr;
    }
    if (const fileset_entry *twin = fileset_case_twin(v.src, *e)) {
        v.add_issue(e->name, fileset_case_message(*twin));
        why = "its name is ambiguous";
        return nullptr;
    }
    if (e->kind == fileset_entry_kind::symlink)
        why = "a symbolic link: korvel reads only files inside the fileset directory";
    else if (e->kind != fileset_entry_kind::regular)
        why = "not a regular file";
    return e->kind == fileset_entry_kind::regular ? e : nullptr;
}

/// Hashes an entry through the reader's open, saying "NAME: " first as the listing's progress.
computed_sums compute_sums(validation &v, const fileset_entry &e, const std::string &listed, const std::string &path)
{
    computed_sums sums;
    file_ptr in = fileset_open(v.src, e, sums.problem);
    if (!in) {
        log_err("can't open file \"%s\": %s\n", path.c_str(), sums.problem.c_str());
        return sums;
    }
    log_msg(1, "%s: ", log_printable(listed).c_str());
    log_flush(1);
    digest_pair digests;
    if (digest_file(in.get(), static_cast<std::uint64_t>(std::max<std::int64_t>(e.size, 0)), &digests) != 0) {
        // Neither OK nor FAILED: the file could not be read whole.
        sums.problem = std::strerror(failure_errno());
        log_msg(1, "\n");
        log_err("can't read file \"%s\": %s\n", path.c_str(), sums.problem.c_str());
        return sums;
    }
    sums.md5 = digests.md5;
    sums.crc32 = digests.crc32;
    return sums;
}

/// The earlier line of the same checksum file for the same file and kind, to find two that disagree.
using first_lines = std::map<std::string, const ddpf_line_t *>;

/// Compares one line's checksum of one kind and records it.
void record(validation &v, const std::string &checksum_file, const ddpf_line_t &l, const fileset_entry *e,
            const computed_sums *have, bool md5, first_lines &firsts)
{
    const std::string &given = md5 ? l.md5 : l.crc32;
    if (given.empty())
        return;
    ddpf_result_t r;
    r.checksum_file = checksum_file;
    r.name = l.name;
    r.file = e != nullptr && have != nullptr ? e->name : "";
    r.line = l.line;
    r.kind = md5 ? "MD5" : "CRC32";
    r.expected = padded(given, md5 ? md5_digits : crc_digits);
    r.computed = have != nullptr && have->problem.empty() ? (md5 ? have->md5 : have->crc32) : "";
    r.problem = have != nullptr ? have->problem : "";
    r.ok = have != nullptr && r.problem.empty() && tolk_stricmp(r.expected.c_str(), r.computed.c_str()) == 0;
    if (have != nullptr && r.problem.empty())
        log_msg(1, "%s\n", r.ok ? "OK" : "FAILED");
    if (e != nullptr) {
        // Every line counts, as for md5sum -c: two that disagree cannot both vouch for the file.
        const auto [first, fresh] = firsts.try_emplace(r.kind + "/" + e->name, &l);
        const std::string &earlier = md5 ? first->second->md5 : first->second->crc32;
        if (!fresh && tolk_stricmp(padded(earlier, r.expected.size()).c_str(), r.expected.c_str()) != 0)
            v.add_issue(e->name, checksum_file + " gives it two different " + r.kind + "s, on lines " +
                                     std::to_string(first->second->line) + " and " + std::to_string(l.line));
    }
    v.report.results.push_back(std::move(r));
}

/// Compares every line of one checksum file with the file it names.
void check_lines(validation &v, const std::string &checksum_file, const std::vector<ddpf_line_t> &lines)
{
    first_lines firsts;
    for (const ddpf_line_t &l : lines) {
        const std::string path = log_printable(tolk_path_join(v.src.dir.c_str(), l.name.c_str()).value_or(l.name));
        std::string why;
        const fileset_entry *e = listed_entry(v, l.name, why);
        computed_sums unread{"", "", why};
        const computed_sums *have = &unread;
        if (e == nullptr) {
            log_err("can't open file \"%s\": %s\n", path.c_str(), why.c_str());
        } else if (const auto known = v.cache.find(e->name); known != v.cache.end()) {
            have = &known->second;
            if (have->problem.empty())
                log_msg(1, "%s: ", log_printable(l.name).c_str());
        } else {
            have = &v.cache.emplace(e->name, compute_sums(v, *e, l.name, path)).first->second;
        }
        record(v, checksum_file, l, e, have, true, firsts);
        record(v, checksum_file, l, e, have, false, firsts);
    }
}

/// Reads an entry as whichever kind of checksum file it is and compares.
void validate_candidate(validation &v, const fileset_entry &e, bool single_checksum_mode)
{
    const std::string name = log_printable(e.name);
    std::string why;
    file_ptr fp = fileset_open(v.src, e, why);
    if (!fp) {
        log_msg(4, "can't open file \"%s\", message: %s\n", name.c_str(), why.c_str());
        return;
    }
    std::vector<ddpf_line_t> lines;
    const char *heading = "MD5 file";
    if (single_checksum_mode && e.name == "MD5")
        read_wave_editor_line(fp.get(), name.c_str(), lines);
    for (const auto &[reader, kind] : {std::pair{&read_crc32_lines, "CRCs from file"},
                                       std::pair{&read_md5_lines, "MD5s from file"}}) {
        if (!lines.empty())
            break;
        std::rewind(fp.get());
        reader(fp.get(), name.c_str(), lines);
        heading = kind;
    }
    if (lines.empty())
        return;
    log_msg(1, "\nValidating %s \"%s\"\n", heading, name.c_str());
    v.report.checksum_files.push_back(e.name);
    check_lines(v, e.name, lines);
}

} // namespace

int ddpf_read_crc32(ddp_files *list, const char *path) { return read_into_list(list, path, read_crc32_lines); }

int ddpf_read_md5(ddp_files *list, const char *path) { return read_into_list(list, path, read_md5_lines); }

int ddpf_read_md5_wave_editor(ddp_files *list, const char *path)
{
    return read_into_list(list, path, read_wave_editor_line);
}

int ddp_checksum_validate_fileset(const fileset_source &src, const ddp_fileset &fs, ddpf_validation_t *report,
                                  const ddp_files *known)
{
    // The fileset's own files are no checksum files.
    std::vector<std::string> own;
    for (const char *name : {"DDPID", "DDPMS"})
        if (const fileset_entry *e = fileset_find(src, name))
            own.push_back(e->name);
    for (const ddp_file &f : fs.files)
        own.push_back(f.name);
    // A fileset of another tool names its files "PQ_DESCR" and "image.dat"
    // and keeps the image's MD5 alone in a file named "MD5".
    const auto maps = [&](const char *name) {
        return std::any_of(fs.map.begin(), fs.map.end(), [&](const map_packet &m) { return m.dsi == name; });
    };
    const bool single_checksum_mode = maps("PQ_DESCR") && maps("image.dat");

    // The comparisons are counted in a report of our own when the caller wants none.
    ddpf_validation_t own_report;
    validation v{src, report != nullptr ? *report : own_report, {}};
    if (known != nullptr)
        for (const ddp_file &e : known->files)
            if (!e.md5.empty() && !e.crc32.empty())
                v.cache[e.name] = {e.md5, e.crc32, ""};
    const std::size_t results_before = v.report.results.size();
    const std::size_t issues_before = v.report.issues.size();
    for (const fileset_entry &e : src.entries) {
        // A checksum file that a stopped run left unfinished vouches for nothing.
        if (e.kind != fileset_entry_kind::regular || e.size > checksum_file_max_size || is_unfinished_name(e.name.c_str()) ||
            std::find(own.begin(), own.end(), e.name) != own.end())
            continue;
        validate_candidate(v, e, single_checksum_mode);
    }
    int failed = static_cast<int>(v.report.issues.size() - issues_before);
    for (std::size_t i = results_before; i < v.report.results.size(); ++i)
        if (!v.report.results[i].ok)
            ++failed;
    return failed;
}

int ddp_checksum_validate(const char *dir, ddpf_validation_t *report, const ddp_files *known)
{
    if (dir == nullptr)
        return 0;
    fileset_source src;
    std::string why;
    if (!fileset_list_dir(dir, src, why))
        return 0;
    return ddp_checksum_validate_fileset(src, read_fileset(src), report, known);
}

void ddpf_add_stream_digests(const fileset_source &src, const ddp_fileset &fs, std::vector<digest_state> &sums,
                             const std::vector<std::uint64_t> &hashed, ddp_files *known)
{
    for (std::size_t i = 0; i < sums.size(); ++i) {
        const audio_segment &s = fs.audio[i];
        const fileset_entry *e = fileset_find(src, s.file);
        const auto same_file = [&](const audio_segment &t) { return t.file == s.file; };
        if (e == nullptr || std::count_if(fs.audio.begin(), fs.audio.end(), same_file) != 1 || s.offset != 0 ||
            hashed[i] != static_cast<std::uint64_t>(e->size))
            continue;
        const digest_pair d = sums[i].finish();
        ddpf_add(known, s.file.c_str(), d.md5.c_str(), d.crc32.c_str());
    }
}
