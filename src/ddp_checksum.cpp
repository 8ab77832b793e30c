#include "ddp_checksum.h"

#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "crc.h"
#include "log.h"
#include "md5.h"
#include "parallel_digest.h"
#include "safe_output.h"
#include "tolk_utils.h"

namespace {

// DDPMS is a sequence of 128-byte map packets. A valid packet begins with
// "VVVM" and names the file of its data stream in the 17-byte DSI field at
// offset 74, padded on the right with spaces.
constexpr std::size_t map_packet_size = 128;
constexpr std::string_view map_packet_mark = "VVVM";
constexpr std::size_t dsi_offset = 74;
constexpr std::size_t dsi_length = 17;

// A fileset is recognised by the start of its DDPID record: 64 bytes whose
// DDP level field begins with "DDP".
constexpr std::size_t ddpid_probe_size = 64;
constexpr std::string_view ddpid_mark = "DDP";

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

// The name of the last map packet dfi_next returned.
char filename[dsi_length + 1];

struct dir_closer {
    void operator()(DIR *d) const noexcept { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

const char *list_dir(const ddpf_list_t *list) { return list->dir ? list->dir->c_str() : ""; }

// The path of a listed file: the list's directory joined with the name.
std::string path_of(const ddpf_list_t *list, const char *name)
{
    return tolk_path_join(list_dir(list), name).value_or(std::string(name));
}

// The system's error text for a failed call; a failure that set no error is an I/O error.
int failure_errno() { return errno != 0 ? errno : EIO; }

void report_errno(const std::string &path, int err)
{
    // perror form on standard error, as the shell tools report unreadable files.
    errno = err;
    std::perror(path.c_str());
}

bool is_regular_file(std::FILE *fp)
{
    struct stat st;
    return fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode);
}

// True when DDPID exists, gives at least 64 bytes and begins with "DDP".
bool has_ddp_identifier(const std::string &path)
{
    file_ptr id = tolk_fopen(path.c_str(), "rb");
    if (!id)
        return false;
    std::array<char, ddpid_probe_size> probe{};
    if (std::fread(probe.data(), 1, probe.size(), id.get()) != probe.size())
        return false;
    return std::string_view(probe.data(), ddpid_mark.size()) == ddpid_mark;
}

void close_map_stream(dfi_iter_t *it)
{
    if (it->map_stream != nullptr)
        std::fclose(it->map_stream);
    it->map_stream = nullptr;
}

// The name in the next map packet, skipping packets without the "VVVM" mark
// and packets that name no file; null once no whole packet is left.
const char *next_map_name(dfi_iter_t *it)
{
    std::array<char, map_packet_size> packet;
    while (it->map_stream != nullptr &&
           std::fread(packet.data(), 1, packet.size(), it->map_stream) == packet.size()) {
        if (std::string_view(packet.data(), map_packet_mark.size()) != map_packet_mark)
            continue;
        std::memcpy(filename, packet.data() + dsi_offset, dsi_length);
        filename[dsi_length] = '\0';
        tolk_strrtrim(filename, " ");
        if (filename[0] != '\0')
            return filename;
    }
    // The end of the map, or a partial packet, which is ignored.
    close_map_stream(it);
    it->state = 3;
    return nullptr;
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

// One "name=CRC" line of a CRC section; true when a CRC was added.
bool read_crc_line(ddpf_list_t *list, const char *path, int line_no, const char *line)
{
    const std::string_view text = trim_left(line);
    const auto equal = text.find('=');
    if (equal == std::string_view::npos) {
        log_msg(4, "%s:%d: malformed line, no euqal sign found\n", path, line_no);
        return false;
    }
    const std::string name(trim_right(text.substr(0, equal)));
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
    log_msg(4, "%s:%d: file=\"%s\", CRC32=%s\n", path, line_no, name.c_str(), crc.c_str());
    ddpf_add(list, name.c_str(), nullptr, crc.c_str());
    return true;
}

// One "hash  name", "hash *name" or "hash - name" line; true when an MD5 was added.
bool read_md5_line(ddpf_list_t *list, const char *path, int line_no, const char *line)
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
        log_msg(4, "%s:%d: first token too long: %s\n", path, line_no, token.c_str());
        return false;
    }
    if (!is_hex(token)) {
        log_msg(4, "%s:%d: first token not a hex dumber: %s\n", path, line_no, token.c_str());
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
    if (name.empty())
        return false;
    const std::string name_text(name);
    if (name.size() > dsi_length) {
        log_msg(4, "%s:%d: file name too long \"%s\"\n", path, line_no, name_text.c_str());
        return false;
    }
    log_msg(4, "%s:%d: File=\"%s\", MD5=%s\n", path, line_no, name_text.c_str(), token.c_str());
    ddpf_add(list, name_text.c_str(), token.c_str(), nullptr);
    return true;
}

// A section header "[...]" switches CRC reading on when it names CRC32.
bool is_crc_section_header(const char *line)
{
    const std::string_view text(line);
    const auto close = text.find(']');
    return close != std::string_view::npos && text.substr(1, close - 1).find("CRC32") != std::string_view::npos;
}

// Regular files of at most 6,600 bytes can be checksum files.
bool is_checksum_file_candidate(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= checksum_file_max_size;
}

// Reads `name` in `dir` as whichever kind of checksum file it is and compares.
void validate_candidate(const char *dir, const char *name, bool single_checksum_mode, ddpf_list_t *cache,
                        ddpf_validation_t *report)
{
    const std::string path = tolk_path_join(dir, name).value_or(std::string(name));
    ddpf_list_t expected;
    ddpf_init(&expected);
    ddpf_set_dir(&expected, dir);
    if (single_checksum_mode && std::strcmp(name, "MD5") == 0 &&
        ddpf_read_md5_wave_editor(&expected, path.c_str()) == 0)
        log_msg(1, "\nValidating MD5 file \"%s\"\n", name);
    else if (ddpf_read_crc32(&expected, path.c_str()) == 0)
        log_msg(1, "\nValidating CRCs from file \"%s\"\n", name);
    else if (ddpf_read_md5(&expected, path.c_str()) == 0)
        log_msg(1, "\nValidating MD5s from file \"%s\"\n", name);
    else
        return;
    if (report != nullptr)
        report->checksum_files.emplace_back(name);
    ddpf_check(&expected, cache, report);
    ddpf_free(&expected);
}

// Why a file that a checksum file names must not be read, or null when it may be.
// A checksum file can come from anywhere: reading only regular files inside the
// fileset directory keeps a name such as "../../dev/zero", or a FIFO, from hanging
// the check or reaching files outside the fileset.
const char *unreadable_listed_file(const char *name, const std::string &path)
{
    if (std::strchr(name, '/') != nullptr)
        return "not a file of the fileset directory";
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return "not a regular file";
    return nullptr;
}

// The path of a listed file. A name the directory lacks may be there in another case: a
// fileset copied through a file system that ignores case comes back with its names changed.
std::string listed_path(const ddpf_list_t *list, const char *name)
{
    std::string path = path_of(list, name);
    struct stat st;
    if (std::strchr(name, '/') != nullptr || lstat(path.c_str(), &st) == 0 || errno != ENOENT)
        return path;
    dir_ptr listing(opendir(list_dir(list)));
    if (!listing)
        return path;
    while (const dirent *de = readdir(listing.get()))
        if (tolk_stricmp(de->d_name, name) == 0)
            return path_of(list, de->d_name);
    return path;
}

const char *ok_or_failed(const char *expected, const char *computed)
{
    return tolk_stricmp(expected, computed) == 0 ? "OK" : "FAILED";
}

// Writes one checksum file under its temporary name; false after reporting a failure.
bool write_checksum_file(const ddpf_list_t *list, staged_file &out,
                         void (*write_lines)(const ddpf_list_t *, std::FILE *))
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

// ---- Fileset iterator ----

dfi_iter_t::~dfi_iter_t() { close_map_stream(this); }

int dfi_init(dfi_iter_t *it, const char *dir)
{
    close_map_stream(it);
    it->state = 3;
    const auto id_path = tolk_path_join(dir, "DDPID");
    const auto map_path = tolk_path_join(dir, "DDPMS");
    if (!id_path || !map_path || !has_ddp_identifier(*id_path))
        return -1;
    file_ptr map = tolk_fopen(map_path->c_str(), "rb");
    // The map is read to its end, so it must be a file that has one.
    if (!map || !is_regular_file(map.get()))
        return -1;
    it->map_stream = map.release();
    it->state = 0;
    return 0;
}

const char *dfi_next(dfi_iter_t *it)
{
    if (it == nullptr)
        return nullptr;
    switch (it->state) {
    case 0:
        it->state = 1;
        return "DDPID";
    case 1:
        it->state = 2;
        return "DDPMS";
    case 2:
        return next_map_name(it);
    default:
        return nullptr;
    }
}

// ---- The file list ----

void ddpf_init(ddpf_list_t *list)
{
    list->first.clear();
    list->dir.reset();
}

void ddpf_set_dir(ddpf_list_t *list, const char *dir) { list->dir = tolk_strdup(dir); }

ddpf_entry_t *ddpf_find(ddpf_list_t *list, const char *name)
{
    for (auto &entry : list->first)
        if (std::strcmp(entry.name, name) == 0)
            return &entry;
    return nullptr;
}

ddpf_entry_t *ddpf_add(ddpf_list_t *list, const char *name, const char *md5, const char *crc)
{
    // Entries hold at most 17 characters of a name; look up what would be stored.
    std::array<char, sizeof(ddpf_entry_t::name)> stored;
    tolk_strcpy(stored.data(), name, stored.size());
    ddpf_entry_t *entry = ddpf_find(list, stored.data());
    if (entry == nullptr) {
        entry = &list->first.emplace_back();
        std::memcpy(entry->name, stored.data(), stored.size());
    }
    ddpf_entry_update(entry, md5, crc);
    return entry;
}

void ddpf_entry_update(ddpf_entry_t *entry, const char *md5, const char *crc)
{
    // Checksums are kept right-aligned in their full width of hex digits.
    if (md5 != nullptr && md5[0] != '\0') {
        const std::size_t len = std::strlen(md5);
        assert(len < 33);
        tolk_str_lpad(entry->md5, md5, md5_digits, '0');
    }
    if (crc != nullptr && crc[0] != '\0') {
        const std::size_t len = std::strlen(crc);
        assert(len < 9);
        tolk_str_lpad(entry->crc32, crc, crc_digits, '0');
    }
}

void ddpf_read_ddp(ddpf_list_t *list, const char *dir)
{
    dfi_iter_t it;
    if (dfi_init(&it, dir) != 0)
        return;
    ddpf_init(list);
    ddpf_set_dir(list, dir);
    while (const char *name = dfi_next(&it))
        ddpf_add(list, name, nullptr, nullptr)->in_ddp = 1;
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

int ddpf_calc(ddpf_list_t *list, int do_md5, int do_crc)
{
    int result = 0;
    for (auto &entry : list->first) {
        // What is known already (the image's digests, taken as it was written) is not read again.
        if ((!do_md5 || entry.md5[0] != '\0') && (!do_crc || entry.crc32[0] != '\0'))
            continue;
        const std::string path = path_of(list, entry.name);
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

void ddpf_free(ddpf_list_t *list) { ddpf_init(list); }

// ---- Checksum files ----

void ddpf_write_md5(const ddpf_list_t *list, std::FILE *out)
{
    // CHECKSUM.MD5 is md5sum's binary-mode form: digest, space, asterisk, name.
    for (const auto &entry : list->first)
        if (entry.md5[0] != '\0')
            std::fprintf(out, "%32s *%s\n", entry.md5, entry.name);
}

void ddpf_write_crc32(const ddpf_list_t *list, std::FILE *out)
{
    // CHECKSUM.TXT is one INI section of name=CRC lines.
    if (list->first.empty())
        return;
    std::fprintf(out, "[CRC32 Checksum]\n");
    for (const auto &entry : list->first)
        if (entry.crc32[0] != '\0')
            std::fprintf(out, "%s=%s\n", entry.name, entry.crc32);
}

void ddpf_print(const ddpf_list_t *list)
{
    std::printf("%-17s  %-32s  %-8s\n", "Filename", "MD5", "CRC32");
    std::printf("%-17s  %-32s  %-8s\n", "-----------------", "--------------------------------", "--------");
    if (list->first.empty()) {
        std::printf("ddpf_print: list is empty\n");
        return;
    }
    for (const auto &entry : list->first)
        std::printf("%-17s  %-32s  %-8s\n", entry.name, entry.md5, entry.crc32);
}

int ddp_checksum_write(const char *dir, const digest_pair *image)
{
    ddpf_list_t list;
    ddpf_init(&list);
    ddpf_read_ddp(&list, dir);
    if (!list.dir) {
        // Without a fileset there is no directory to write into that we trust.
        log_err("%s: not a DDP fileset, cannot write checksum files\n", dir != nullptr ? dir : "");
        ddpf_print(&list);
        return 1;
    }
    if (ddpf_entry_t *entry = image != nullptr ? ddpf_find(&list, "IMAGE.DAT") : nullptr)
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

int ddpf_read_crc32(ddpf_list_t *list, const char *path)
{
    file_ptr fp = open_checksum_file(path);
    if (!fp)
        return -1;
    log_msg(4, "trying to read CRC checksums from file \"%s\"\n", path);
    checksum_lines lines(fp.get(), path);
    bool in_crc_section = false;
    int added = 0;
    while (const char *line = lines.next()) {
        if (line[0] == '\0' || line[0] == ';')
            continue;
        if (line[0] == '[') {
            // Once on, CRC reading stays on for the rest of the file.
            if (is_crc_section_header(line))
                in_crc_section = true;
            continue;
        }
        if (in_crc_section && read_crc_line(list, path, lines.number(), line))
            ++added;
    }
    return added > 0 ? 0 : 1;
}

int ddpf_read_md5(ddpf_list_t *list, const char *path)
{
    file_ptr fp = open_checksum_file(path);
    if (!fp)
        return -1;
    log_msg(4, "trying to read MD5 checksums from file \"%s\"\n", path);
    checksum_lines lines(fp.get(), path);
    int added = 0;
    while (const char *line = lines.next()) {
        if (line[0] == '\0' || line[0] == '#' || line[0] == ';')
            continue;
        if (read_md5_line(list, path, lines.number(), line))
            ++added;
    }
    return added > 0 ? 0 : 1;
}

int ddpf_read_md5_wave_editor(ddpf_list_t *list, const char *path)
{
    file_ptr fp = open_checksum_file(path);
    if (!fp)
        return -1;
    log_msg(4, "Trying to read WaveEditor MD5 checksum from file \"%s\"\n", path);
    // The whole file is one checksum without a line end.
    std::array<char, checksum_line_max + 1> line{};
    const int r = tolk_freadln(line.data(), checksum_line_max, fp.get());
    if (std::ferror(fp.get())) {
        log_msg(4, "%s:1: read error: %s\n", path, std::strerror(failure_errno()));
        return 1;
    }
    if (r == -2) {
        log_msg(4, "%s: not a text file\n", path);
        return 1;
    }
    if (r == 1) {
        log_msg(4, "%s:1: line too long\n", path);
        return 1;
    }
    if (!std::feof(fp.get())) {
        log_msg(4, "%s: more than one line, not a WaevEditor MD5 file\n", path);
        return 1;
    }
    fp.reset();
    const std::size_t len = std::strlen(line.data());
    if (len < 1 || len > md5_digits || !tolk_str_ishex(line.data())) {
        log_msg(4, "%s: content is not an MD5 checksum\n", path);
        return 1;
    }
    log_msg(4, "%s: found MD5 checksum: %s\n", path, line.data());
    ddpf_add(list, "image.dat", line.data(), nullptr);
    return 0;
}

void ddpf_check(ddpf_list_t *expected, ddpf_list_t *cache, ddpf_validation_t *report)
{
    // Each comparison goes into the report, under the checksum file being read.
    const auto record = [&](const ddpf_entry_t &want, const char *kind, const char *expected_sum,
                            const char *computed, const std::string &problem) {
        if (report == nullptr)
            return;
        ddpf_result_t r;
        r.checksum_file = report->checksum_files.empty() ? std::string() : report->checksum_files.back();
        r.name = want.name;
        r.kind = kind;
        r.expected = expected_sum;
        r.computed = computed;
        r.problem = problem;
        r.ok = problem.empty() && tolk_stricmp(expected_sum, computed) == 0;
        report->results.push_back(std::move(r));
    };
    const auto record_unreadable = [&](const ddpf_entry_t &want, const std::string &problem) {
        if (want.md5[0] != '\0')
            record(want, "MD5", want.md5, "", problem);
        if (want.crc32[0] != '\0')
            record(want, "CRC32", want.crc32, "", problem);
    };
    for (const auto &want : expected->first) {
        const bool want_md5 = want.md5[0] != '\0';
        const bool want_crc = want.crc32[0] != '\0';
        if (!want_md5 && !want_crc)
            continue;
        ddpf_entry_t *have = ddpf_find(cache, want.name);
        if (have != nullptr && (!want_md5 || have->md5[0] != '\0') && (!want_crc || have->crc32[0] != '\0')) {
            log_msg(1, "%s: ", want.name);
        } else {
            const std::string path = listed_path(expected, want.name);
            if (const char *why = unreadable_listed_file(want.name, path)) {
                log_err("can't open file \"%s\": %s\n", path.c_str(), why);
                record_unreadable(want, why);
                continue;
            }
            file_ptr in = tolk_fopen(path.c_str(), "rb");
            if (!in) {
                const std::string why = std::strerror(errno);
                log_err("can't open file \"%s\": %s\n", path.c_str(), why.c_str());
                record_unreadable(want, why);
                continue;
            }
            log_msg(1, "%s: ", want.name);
            log_flush(1);
            digest_pair sums;
            if (digest_file(in.get(), &sums) != 0) {
                // Neither OK nor FAILED: the file could not be read whole.
                const int err = failure_errno();
                log_msg(1, "\n");
                log_err("can't read file \"%s\": %s\n", path.c_str(), std::strerror(err));
                record_unreadable(want, std::strerror(err));
                continue;
            }
            have = ddpf_add(cache, want.name, sums.md5.c_str(), sums.crc32.c_str());
        }
        if (want_md5 && have->md5[0] != '\0') {
            log_msg(1, "%s\n", ok_or_failed(want.md5, have->md5));
            record(want, "MD5", want.md5, have->md5, "");
        }
        if (want_crc && have->crc32[0] != '\0') {
            log_msg(1, "%s\n", ok_or_failed(want.crc32, have->crc32));
            record(want, "CRC32", want.crc32, have->crc32, "");
        }
    }
}

int ddp_checksum_validate(const char *dir, ddpf_validation_t *report, const ddpf_list_t *known)
{
    if (dir == nullptr)
        return 0;
    ddpf_list_t map;
    ddpf_init(&map);
    ddpf_read_ddp(&map, dir);
    // A fileset of another tool names its files "PQ_DESCR" and "image.dat"
    // and keeps the image's MD5 alone in a file named "MD5".
    const bool single_checksum_mode = ddpf_find(&map, "PQ_DESCR") != nullptr && ddpf_find(&map, "image.dat") != nullptr;

    // The comparisons are counted in a report of our own when the caller wants none.
    ddpf_validation_t own;
    ddpf_validation_t *found = report != nullptr ? report : &own;
    const std::size_t before = found->results.size();
    ddpf_list_t cache;
    ddpf_init(&cache);
    if (known != nullptr)
        cache.first = known->first;
    dir_ptr listing(opendir(dir));
    if (!listing)
        return 0;
    while (const dirent *de = readdir(listing.get())) {
        const char *name = de->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || ddpf_find(&map, name) != nullptr)
            continue;
        const std::string path = tolk_path_join(dir, name).value_or(std::string(name));
        // A checksum file that a stopped run left unfinished vouches for nothing.
        if (!is_checksum_file_candidate(path) || is_unfinished_name(name))
            continue;
        validate_candidate(dir, name, single_checksum_mode, &cache, found);
    }
    int failed = 0;
    for (std::size_t i = before; i < found->results.size(); ++i)
        if (!found->results[i].ok)
            ++failed;
    return failed;
}
