#include "fileset_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <map>

#include "cdtext.h"
#include "cdtext_pack.h"
#include "cdtext_reader.h"
#include "ddp_format.h"
#include "safe_output.h"
#include "text_encoding.h"

namespace {

// DDPMS is a sequence of map packets. A fileset of 99 tracks with one data file each, its
// subcode and text streams needs far fewer than 512; a bigger map is no map.
constexpr std::size_t map_max_packets = 512;

// The PQ stream is a sequence of PQ entries. 99 tracks of 100 index points, the lead-in and
// the lead-out described a few times: at most 10,240 packets.
constexpr std::size_t pq_max_packets = 10240;

// A CD-Text file holds at most 8 blocks of 256 packs of 18 bytes, after a header of
// 4 bytes that some programs write, and before a trailing NUL byte.
constexpr std::size_t cdtext_header_size = 4;
constexpr std::size_t cdtext_max_size = 8 * CDTEXT_MAX_PACKS * CDTEXT_PACK_SIZE + cdtext_header_size + 1;

/// A field shown in a message: printable ASCII as it is, anything else as "?".
std::string shown(std::string_view field)
{
    std::string text(field);
    for (char &c : text)
        if (c < 0x20 || c > 0x7E)
            c = '?';
    return text;
}

/// "mm:ss:ff" of a position, also past 89 minutes.
std::string disc_position(long frames)
{
    std::array<char, 32> text{};
    return disc_time(frames, text.data(), text.size());
}

std::string packet_at(int number) { return "packet " + std::to_string(number); }

/// A stream whose packets are faulty by the score is no stream: reading stops after this many errors.
constexpr int max_stream_errors = 20;

/// true, after saying so, when the stream's errors since `before` reached the limit.
bool gave_up(ddp_fileset &fs, int before, const std::string &file, int number)
{
    if (fs.errors() - before < max_stream_errors)
        return false;
    fs.add(true, file, packet_at(number), "not read, nor any packet after it: %d faulty packets before it",
           max_stream_errors);
    return true;
}

/// Why an entry cannot be read as a file, or null for a regular file.
const char *not_a_file(fileset_entry_kind kind)
{
    switch (kind) {
    case fileset_entry_kind::regular: return nullptr;
    case fileset_entry_kind::directory: return "is a directory, not a file";
    case fileset_entry_kind::symlink: return "is a symbolic link: korvel reads only files inside the fileset directory";
    case fileset_entry_kind::other: return "is a FIFO, device or socket, not a regular file";
    }
    return nullptr;
}

/// A name from the map that stays inside the directory: no path, no control characters.
bool is_plain_name(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
}

/// The whole content of an entry of at most `max` bytes (bigger ones are refused before
/// anything is read); nullopt after an issue.
std::optional<std::string> load(const fileset_source &src, const fileset_entry &e, std::size_t max, ddp_fileset &fs,
                                const char *what)
{
    if (const char *why = not_a_file(e.kind)) {
        fs.add(true, e.name, "", "%s", why);
        return std::nullopt;
    }
    if (e.size < 0 || static_cast<std::uint64_t>(e.size) > max) {
        fs.add(true, e.name, "", "is %lld bytes long, more than any %s can be (%zu bytes)",
               static_cast<long long>(e.size), what, max);
        return std::nullopt;
    }
    if (src.dir.empty())
        return e.bytes.substr(0, static_cast<std::size_t>(e.size));
    std::string why;
    file_ptr fp = fileset_open(src, e, why);
    if (!fp) {
        fs.add(true, e.name, "", "cannot be opened: %s", why.c_str());
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(e.size), '\0');
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), fp.get());
    if (got != bytes.size() || std::ferror(fp.get())) {
        fs.add(true, e.name, "", "cannot be read: %s",
               std::ferror(fp.get()) ? std::strerror(errno != 0 ? errno : EIO) : "it became shorter while read");
        return std::nullopt;
    }
    return bytes;
}

// ---- The map ----

/// Reads the fields of one packet whose mark has been checked.
map_packet map_fields(std::string_view p, int number, const std::string &file, ddp_fileset &fs)
{
    std::vector<ddp_field_fault> faults;
    const ddp_map_packet d = ddp_decode_map(p, &faults);
    for (const ddp_field_fault &fault : faults)
        fs.add(true, file, packet_at(number), "the %s field \"%s\" is not a number", fault.field,
               shown(fault.bytes).c_str());
    map_packet m;
    m.number = number;
    m.type = d.type;
    m.subcode = d.subcode;
    m.mode = d.mode;
    m.dsl = d.dsl;
    m.dss = d.dss;
    if (d.pre1 >= 0 || d.pre2 >= 0)
        m.pregap = std::max(d.pre1, 0L) + std::max(d.pre2, 0L);
    m.offset = d.offset > 0 ? d.offset : 0;
    // The file name runs to the first blank of its field.
    m.dsi = d.dsi;
    return m;
}

/// true when no other entry's name differs from `e`'s only in case; false after an error.
bool unambiguous(const fileset_source &src, ddp_fileset &fs, const fileset_entry &e)
{
    const fileset_entry *twin = fileset_case_twin(src, e);
    if (twin == nullptr)
        return true;
    fs.add(true, e.name, "", "%s", fileset_case_message(*twin).c_str());
    return false;
}

/// The entry of the file a packet names, or null after an issue.
const fileset_entry *named_file(const fileset_source &src, ddp_fileset &fs, const map_packet &m, const char *stream)
{
    if (m.dsi.empty()) {
        fs.add(true, "DDPMS", packet_at(m.number), "the %s stream names no file", stream);
        return nullptr;
    }
    if (!is_plain_name(m.dsi)) {
        fs.add(true, "DDPMS", packet_at(m.number),
               "names the file \"%s\", which is not a file of the fileset directory", shown(m.dsi).c_str());
        return nullptr;
    }
    const fileset_entry *e = fileset_find(src, m.dsi);
    if (e == nullptr) {
        fs.add(true, m.dsi, "", "is missing: the map names it (packet %d), but the directory has no such file",
               m.number);
        return nullptr;
    }
    if (const char *why = not_a_file(e->kind)) {
        fs.add(true, e->name, "", "%s", why);
        return nullptr;
    }
    if (!unambiguous(src, fs, *e))
        return nullptr;
    if (fs.files.find(e->name) == nullptr) {
        ddp_file &f = fs.files.add(e->name, ddp_role_of_stream(m.type, m.subcode));
        f.stream = m.type + (m.subcode.empty() ? "" : " " + m.subcode);
        f.size = e->size;
    }
    return e;
}

/// Bytes of each file that the map describes, to find the files that hold more.
using file_ends = std::map<std::string, std::int64_t>;

/// Checks that the file holds the `count` units (sectors or bytes) the packet describes from its offset on.
bool holds(ddp_fileset &fs, const fileset_entry &e, const map_packet &m, std::int64_t count, bool sectors,
           file_ends &ends)
{
    const std::int64_t bytes = count * (sectors ? CD_FRAME_BYTES : 1);
    const std::int64_t end = m.offset + bytes;
    std::int64_t &known = ends[e.name];
    known = std::max(known, end);
    if (e.size >= end)
        return true;
    fs.add(true, e.name, "", "is %lld bytes long, shorter than the map says: packet %d describes %lld %s (%lld bytes) "
           "from byte %lld on",
           static_cast<long long>(e.size), m.number, static_cast<long long>(count), sectors ? "sectors" : "bytes",
           static_cast<long long>(bytes), static_cast<long long>(m.offset));
    return false;
}

/// The audio streams, joined in the order of their start sectors.
void join_audio(const fileset_source &src, ddp_fileset &fs, file_ends &ends)
{
    std::vector<std::pair<audio_segment, int>> streams;
    bool described = false;
    for (const map_packet &m : fs.map) {
        if (m.type != "D0")
            continue;
        described = true;
        if (m.mode != "DA") {
            fs.add(true, "DDPMS", packet_at(m.number),
                   "the main data stream is in CD mode \"%s\", not audio (\"DA\"): korvel reads audio discs only",
                   shown(m.mode).c_str());
            continue;
        }
        const fileset_entry *e = named_file(src, fs, m, "audio");
        if (m.dsl < 0) {
            if (m.dsl == -1)
                fs.add(true, "DDPMS", packet_at(m.number), "the audio stream gives no length (DSL)");
            continue;
        }
        if (m.dss == -2 || e == nullptr || !holds(fs, *e, m, m.dsl, true, ends))
            continue;
        streams.push_back({{e->name, m.offset, m.dss < 0 ? 0 : m.dss, m.dsl}, m.number});
    }
    std::stable_sort(streams.begin(), streams.end(),
                     [](const auto &a, const auto &b) { return a.first.start < b.first.start; });
    long end = 0;
    for (const auto &[segment, number] : streams) {
        if (segment.start > end)
            fs.add(true, "DDPMS", packet_at(number),
                   "the audio stream starts at sector %ld, but the audio before it ends at sector %ld: "
                   "%ld sectors of the disc are in no file", segment.start, end, segment.start - end);
        else if (segment.start < end)
            fs.add(true, "DDPMS", packet_at(number),
                   "the audio stream starts at sector %ld, but the audio before it runs to sector %ld: "
                   "%ld sectors overlap", segment.start, end, end - segment.start);
        else
            fs.audio.push_back(segment);
        end = std::max(end, segment.start + segment.sectors);
    }
    fs.audio_sectors = end;
    if (!described)
        fs.add(true, "DDPMS", "", "describes no audio stream (D0, CD mode DA)");
}

/// The bytes a subcode stream describes, or nullopt after an issue.
std::optional<std::string> subcode_bytes(const fileset_source &src, ddp_fileset &fs, const map_packet &m,
                                         const fileset_entry &e, std::size_t max, const char *what, file_ends &ends)
{
    const std::int64_t length = m.dsl >= 0 ? m.dsl : e.size - m.offset;
    if (m.dsl == -2 || length < 0 || !holds(fs, e, m, length, false, ends))
        return std::nullopt;
    const auto bytes = load(src, e, max, fs, what);
    if (!bytes)
        return std::nullopt;
    if (static_cast<std::int64_t>(bytes->size()) < m.offset + length) {
        fs.add(true, e.name, "", "became shorter while it was read");
        return std::nullopt;
    }
    return bytes->substr(static_cast<std::size_t>(m.offset), static_cast<std::size_t>(length));
}

/// The map's pregap of track 1 (PRE1 + PRE2 of the audio stream that starts the disc) against the
/// PQ stream's, where the map gives one.
void compare_first_pregap(ddp_fileset &fs)
{
    if (!fs.pq)
        return;
    const map_packet *first = nullptr;
    for (const map_packet &m : fs.map)
        if (m.type == "D0" && (first == nullptr || std::max(m.dss, 0L) < std::max(first->dss, 0L)))
            first = &m;
    const long pq_pregap = pq_track_start(*fs.pq, 1);
    if (first != nullptr && first->pregap >= 0 && first->pregap != pq_pregap)
        fs.add(false, "DDPMS", packet_at(first->number),
               "gives track 01 a pregap (PRE1 + PRE2) of %ld frames, but the PQ stream starts track 01 at frame %ld",
               first->pregap, pq_pregap);
}

// ---- CD-Text ----

/// A stream over bytes in memory, for the CD-Text readers that take one.
file_ptr memory_stream(std::string &bytes) { return file_ptr(fmemopen(bytes.data(), bytes.size(), "rb")); }

/// Text bytes that are valid UTF-8 with at least one multi-byte sequence: in a block that says
/// ISO 8859-1 they are almost always UTF-8 stored by mistake ("PiÃ¹" for "Più").
bool looks_like_utf8(const std::string &text)
{
    return utf8_is_valid(text) && std::any_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; });
}

/// A code of pack type 0x8E (the disc's UPC/EAN, a track's ISRC) against the PQ stream's.
void compare_code(ddp_fileset &fs, const cdtext_text &t)
{
    const PQtrack *track = t.track > 0 ? pq_get_track(*fs.pq, t.track) : nullptr;
    if (t.track > 0 && track == nullptr)
        return; // a track the disc lacks: the track range check has said so
    const std::string pq_code = t.track == 0 ? fs.pq->upc_ean.data() : track->isrc.data();
    if (t.text == pq_code)
        return;
    const char *none = "none";
    if (t.track == 0)
        fs.add(true, fs.cdtext_file, "", "gives the UPC/EAN %s, but the PQ stream gives %s", shown(t.text).c_str(),
               pq_code.empty() ? none : pq_code.c_str());
    else
        fs.add(true, fs.cdtext_file, "", "track %02d: gives the ISRC %s, but the PQ stream gives %s", t.track,
               shown(t.text).c_str(), pq_code.empty() ? none : pq_code.c_str());
}

/// What the CD-Text holds beyond the texts korvel shows: codes that must be the PQ stream's, and
/// texts in UTF-8 where the block declares ISO 8859-1.
void check_cdtext_texts(ddp_fileset &fs, const std::vector<cdtext_text> &texts,
                        const std::array<cdtext_block_info_t, 8> &blocks)
{
    for (const cdtext_text &t : texts) {
        if (t.type == CDTEXT_UPC_ISRC) {
            if (t.block == 0)
                compare_code(fs, t);
            continue;
        }
        if (blocks[static_cast<std::size_t>(t.block & 7)].charset != 0 || !looks_like_utf8(t.text))
            continue;
        cdtext_pack_t pack;
        pack.type = t.type;
        std::array<char, 16> track{};
        std::snprintf(track.data(), track.size(), t.track == 0 ? "the disc" : "track %02d", t.track);
        fs.add(false, fs.cdtext_file, "block " + std::to_string(t.block),
               "pack type 0x%02X (%s), %s: \"%s\", probably \"%s\": UTF-8 in a block that says ISO 8859-1",
               static_cast<unsigned>(t.type), pack_type_to_str(&pack), track.data(), latin1_to_utf8(t.text).c_str(),
               t.text.c_str());
    }
}

/// The packs of a CD-Text file. Some programs put a 4-byte header (the length and two reserved
/// bytes) before the packs, and some a NUL byte after them.
std::string without_header(std::string packs)
{
    if (packs.size() % CDTEXT_PACK_SIZE == cdtext_header_size + 1 || packs.size() % CDTEXT_PACK_SIZE == 1) {
        if (packs.back() == '\0')
            packs.pop_back();
    }
    if (packs.size() % CDTEXT_PACK_SIZE == cdtext_header_size)
        packs.erase(0, cdtext_header_size);
    return packs;
}

void read_cdtext(const fileset_source &src, ddp_fileset &fs, file_ends &ends)
{
    const map_packet *packet = nullptr;
    for (const map_packet &m : fs.map)
        if (m.type == "S0" && m.subcode == "CDTEXT" && packet == nullptr)
            packet = &m;
    // The map is the fileset's table of contents: CD-Text it does not name is no part of the disc.
    if (packet == nullptr)
        return;
    const fileset_entry *e = named_file(src, fs, *packet, "CD-Text");
    if (e == nullptr)
        return;
    fs.cdtext_file = e->name;
    std::optional<std::string> bytes = subcode_bytes(src, fs, *packet, *e, cdtext_max_size, "CD-Text file", ends);
    if (!bytes)
        return;
    std::string packs = without_header(std::move(*bytes));
    if (packs.empty() || packs.size() % CDTEXT_PACK_SIZE != 0) {
        fs.add(true, fs.cdtext_file, "", "is %zu bytes long: not a whole number of 18-byte CD-Text packs",
               packs.size());
        return;
    }
    const std::size_t count = packs.size() / CDTEXT_PACK_SIZE;
    std::size_t failing = 0;
    std::size_t first_failing = 0;
    for (std::size_t i = 0; i < count; ++i) {
        cdtext_pack_t pack;
        cdtp_decode(&pack, reinterpret_cast<const std::uint8_t *>(packs.data()) + i * CDTEXT_PACK_SIZE);
        if (!pack.crc_ok && failing++ == 0)
            first_failing = i + 1;
    }
    fs.cdtext = packs;
    if (failing > 0) {
        fs.add(true, fs.cdtext_file, "pack " + std::to_string(first_failing),
               "%zu of %zu CD-Text packs fail their CRC, the first is pack %zu: the CD-Text is damaged", failing,
               count, first_failing);
        return;
    }
    if (!fs.pq)
        return;
    std::array<cdtext_block_info_t, 8> blocks{};
    file_ptr in = memory_stream(packs);
    if (!in || cdtext_scan_blocks(in.get(), blocks.data()) != 0) {
        fs.add(true, fs.cdtext_file, "", "has no size information (packs of type 0x8F): not a CD-Text file");
        return;
    }
    const int tracks = pq_num_tracks(*fs.pq);
    if (blocks[0].first_track != 1 || blocks[0].last_track != tracks) {
        fs.add(true, fs.cdtext_file, "", "is for tracks %d to %d, but the PQ stream has tracks 1 to %d",
               blocks[0].first_track, blocks[0].last_track, tracks);
        return;
    }
    std::rewind(in.get());
    if (cdtext_fill_pqlist(in.get(), *fs.pq) < 0)
        fs.add(false, fs.cdtext_file, "", "holds texts in the character set \"%s\", which korvel does not convert",
               charset_to_str(blocks[0].charset));
    else
        fs.cdtext_in_pq = true;
    std::rewind(in.get());
    check_cdtext_texts(fs, cdtext_texts(in.get()), blocks);
}

} // namespace

// ---- Sources ----

bool fileset_list_dir(const char *dir, fileset_source &src, std::string &why)
{
    src.dir = dir;
    src.entries.clear();
    struct dir_closer {
        void operator()(DIR *d) const noexcept { closedir(d); }
    };
    std::unique_ptr<DIR, dir_closer> listing(opendir(dir));
    if (!listing) {
        why = std::strerror(errno);
        return false;
    }
    while (const dirent *de = readdir(listing.get())) {
        if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0)
            continue;
        if (src.entries.size() == FILESET_MAX_ENTRIES) {
            why = "it holds more than " + std::to_string(FILESET_MAX_ENTRIES) + " files: not a DDP fileset";
            return false;
        }
        fileset_entry e;
        e.name = de->d_name;
        const std::string path = tolk_path_join(dir, de->d_name).value_or(de->d_name);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            e.kind = fileset_entry_kind::other;
        } else {
            e.kind = S_ISREG(st.st_mode)   ? fileset_entry_kind::regular
                     : S_ISDIR(st.st_mode) ? fileset_entry_kind::directory
                     : S_ISLNK(st.st_mode) ? fileset_entry_kind::symlink
                                           : fileset_entry_kind::other;
            e.size = static_cast<std::int64_t>(st.st_size);
        }
        src.entries.push_back(std::move(e));
    }
    std::sort(src.entries.begin(), src.entries.end(),
              [](const fileset_entry &a, const fileset_entry &b) { return a.name < b.name; });
    return true;
}

const fileset_entry *fileset_find(const fileset_source &src, std::string_view name)
{
    for (const fileset_entry &e : src.entries)
        if (e.name == name)
            return &e;
    const std::string wanted(name);
    for (const fileset_entry &e : src.entries)
        if (tolk_stricmp(e.name.c_str(), wanted.c_str()) == 0)
            return &e;
    return nullptr;
}

fileset_descriptor::~fileset_descriptor()
{
    if (fd >= 0)
        close(fd);
}

const fileset_entry *fileset_case_twin(const fileset_source &src, const fileset_entry &e)
{
    for (const fileset_entry &other : src.entries)
        if (&other != &e && other.name != e.name && tolk_stricmp(other.name.c_str(), e.name.c_str()) == 0)
            return &other;
    return nullptr;
}

std::string fileset_case_message(const fileset_entry &twin)
{
    // A plant's file system may ignore case: there the two names are one file, and which one it
    // gets is chance.
    return "differs from " + twin.name + " only in letter case: on a file system that ignores case they are one "
           "file, so the fileset is ambiguous";
}

namespace {

/// The first open of a directory's entry: no link followed, no waiting for a FIFO or device put
/// in the file's place since the listing, and a regular file or nothing.
std::shared_ptr<const fileset_descriptor> open_entry(const fileset_source &src, const fileset_entry &e,
                                                     std::string &why)
{
    const std::string path = tolk_path_join(src.dir.c_str(), e.name.c_str()).value_or(e.name);
    auto opened = std::make_shared<const fileset_descriptor>(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK |
                                                                                 O_CLOEXEC));
    if (opened->fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    struct stat st;
    if (fstat(opened->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return nullptr;
    }
    return opened;
}

} // namespace

file_ptr fileset_open(const fileset_source &src, const fileset_entry &e, std::string &why)
{
    if (const char *reason = not_a_file(e.kind)) {
        why = reason;
        return nullptr;
    }
    if (src.opener)
        return src.opener->open(e, why);
    if (src.dir.empty()) {
        // Read only: the stream never writes into the bytes.
        file_ptr fp(fmemopen(const_cast<char *>(e.bytes.data()), e.bytes.size(), "rb"));
        if (!fp)
            why = std::strerror(errno);
        return fp;
    }
    if (!e.opened)
        e.opened = open_entry(src, e, why);
    if (!e.opened)
        return nullptr;
    // A second descriptor of the same open file, read from the start.
    const int fd = fcntl(e.opened->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0 || lseek(fd, 0, SEEK_SET) != 0) {
        why = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    file_ptr fp(fdopen(fd, "rb"));
    if (!fp) {
        why = std::strerror(errno);
        close(fd);
    }
    return fp;
}

// ---- The fileset ----

int ddp_fileset::errors() const
{
    return static_cast<int>(std::count_if(issues.begin(), issues.end(), [](const fileset_issue &i) { return i.error; }));
}

int ddp_fileset::warnings() const { return static_cast<int>(issues.size()) - errors(); }

void ddp_fileset::add(bool error, std::string file, std::string position, const char *format, ...)
{
    std::array<char, 512> text{};
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text.data(), text.size(), format, ap);
    va_end(ap);
    issues.push_back({error, std::move(file), std::move(position), text.data()});
}

void parse_ddpid(std::string_view bytes, const std::string &file, ddp_fileset &fs)
{
    constexpr std::size_t size = ddp_id_record::size;
    if (bytes.size() < size) {
        fs.add(true, file, "", "is %zu bytes long; a DDP identifier is a record of %zu bytes", bytes.size(), size);
        return;
    }
    if (bytes.size() > size)
        fs.add(false, file, "", "is %zu bytes long; only its first %zu bytes, the identifier, are read",
               bytes.size(), size);
    if (!ddp_has_mark<ddp_id_record>(bytes)) {
        fs.add(true, file, "", "begins with \"%s\", not \"DDP \": not a DDP identifier",
               shown(ddp_mark_bytes<ddp_id_record>(bytes)).c_str());
        return;
    }
    const ddp_id_record id = ddp_decode_id(bytes);
    fs.level = shown(id.level);
    if (fs.level != "DDP 2.00")
        fs.add(false, file, "", "gives the level \"%s\"; korvel reads the fileset as DDP 2.00", fs.level.c_str());
    fs.upc_ean = id.upc_ean;
    fs.master_id = id.master_id;
}

void parse_map(std::string_view bytes, const std::string &file, ddp_fileset &fs)
{
    if (bytes.empty()) {
        fs.add(true, file, "", "is empty: the map describes no stream");
        return;
    }
    constexpr std::size_t size = ddp_map_packet::size;
    if (bytes.size() % size != 0)
        fs.add(true, file, packet_at(static_cast<int>(bytes.size() / size) + 1),
               "is %zu bytes long, not a whole number of %zu-byte map packets: the last packet is cut short",
               bytes.size(), size);
    const int errors_before = fs.errors();
    const std::size_t count = bytes.size() / size;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view p = bytes.substr(i * size, size);
        const int number = static_cast<int>(i) + 1;
        if (gave_up(fs, errors_before, file, number))
            break;
        if (!ddp_has_mark<ddp_map_packet>(p)) {
            fs.add(true, file, packet_at(number), "begins with \"%s\", not \"VVVM\": not a map packet",
                   shown(ddp_mark_bytes<ddp_map_packet>(p)).c_str());
            continue;
        }
        map_packet m = map_fields(p, number, file, fs);
        const bool text = m.type.size() == 2 && m.type[0] == 'T' && m.type[1] >= '0' && m.type[1] <= '3';
        if (m.type != "D0" && m.type != "S0" && !text)
            fs.add(false, file, packet_at(number), "describes a stream of type \"%s\", which korvel ignores",
                   shown(m.type).c_str());
        // The source storage mode of audio: 0 to 8.
        const std::string_view ssm = ddp_field_bytes(p, &ddp_map_packet::ssm);
        if (m.type == "D0" && ssm != " " && (ssm < "0" || ssm > "8"))
            fs.add(true, file, packet_at(number), "the source storage mode \"%s\" is not 0 to 8",
                   shown(ssm).c_str());
        fs.map.push_back(std::move(m));
    }
}

namespace {

/// The PQ stream as far as it has been read: the disc so far, where its last index lies, and the
/// packet of each track's first index and index 01, for the messages.
struct pq_reading {
    pq_reading(ddp_fileset &fs, const std::string &file) : fs(fs), file(file) {}
    ddp_fileset &fs;
    const std::string &file;
    std::unique_ptr<PQlist> pq = pq_new();
    PQtrack *track = nullptr;
    int track_number = 0;
    int last_index = -1;
    long last_position = -1;
    int lead_out_packets = 0;
    std::string upc;
    std::vector<int> index1_packet;
    std::vector<int> first_packet;
};

/// One PQ entry whose fields are all readable, and its position on the disc.
struct pq_point {
    ddp_pq_entry entry;
    long position = 0;
};

/// The entry of packet `at`, or nullopt after an issue when a field of it cannot be read.
std::optional<pq_point> read_pq_point(pq_reading &r, std::string_view p, const std::string &at)
{
    if (!ddp_has_mark<ddp_pq_entry>(p)) {
        r.fs.add(true, r.file, at, "begins with \"%s\", not \"VVVS\": not a PQ packet",
                 shown(ddp_mark_bytes<ddp_pq_entry>(p)).c_str());
        return std::nullopt;
    }
    const ddp_pq_entry e = ddp_decode_pq(p);
    const auto field = [&](long ddp_pq_entry::*member) { return shown(ddp_field_bytes(p, member)); };
    if (e.track < 0 || e.index < 0) {
        r.fs.add(true, r.file, at, "the track \"%s\" or index \"%s\" is not a number",
                 field(&ddp_pq_entry::track).c_str(), field(&ddp_pq_entry::index).c_str());
        return std::nullopt;
    }
    if ((e.hours != -1 && e.hours != 0) || e.minutes < 0 || e.seconds < 0 || e.seconds > 59 || e.frames < 0 ||
        e.frames > 74) {
        const std::string time = (e.hours == -1 ? "" : field(&ddp_pq_entry::hours) + ":") +
                                 field(&ddp_pq_entry::minutes) + ":" + field(&ddp_pq_entry::seconds) + ":" +
                                 field(&ddp_pq_entry::frames);
        r.fs.add(true, r.file, at, "the time \"%s\" is not a position on a disc", time.c_str());
        return std::nullopt;
    }
    if (e.control < 0) {
        r.fs.add(true, r.file, at, "the control nibble \"%s\" is not a hexadecimal digit",
                 field(&ddp_pq_entry::control).c_str());
        return std::nullopt;
    }
    return pq_point{e, (e.minutes * 60L + e.seconds) * CD_FRAMES_PER_SECOND + e.frames};
}

/// A lead-out entry: the first gives the lead-out, every later one must agree with it.
void take_lead_out(pq_reading &r, long position, int number, const std::string &at)
{
    if (r.lead_out_packets++ > 0) {
        if (position != r.pq->lead_out)
            r.fs.add(true, r.file, at, "the lead-out is given again at %s, but first at %s",
                     disc_position(position).c_str(), disc_position(r.pq->lead_out).c_str());
        return;
    }
    if (position < r.last_position)
        r.fs.add(true, r.file, at, "the lead-out at %s lies before the packet before it, at %s",
                 disc_position(position).c_str(), disc_position(r.last_position).c_str());
    r.pq->lead_out = position;
    r.fs.pq_lead_out_packet = number;
    r.last_position = position;
}

/// Whether a track's entry comes in its turn: the next index of the track, or the first of the
/// next track (which then begins); false after an issue.
bool in_turn(pq_reading &r, int tno, int index, int number, const std::string &at)
{
    if (r.lead_out_packets > 0) {
        r.fs.add(true, r.file, at, "track %02d index %02d follows the lead-out", tno, index);
        return false;
    }
    if (tno == r.track_number + 1) {
        if (index > 1) {
            r.fs.add(true, r.file, at, "track %02d begins with index %02d; a track begins with index 00 or 01", tno,
                     index);
            return false;
        }
        r.track = new_track(*r.pq);
        r.track_number = tno;
        r.last_index = -1;
        r.index1_packet.push_back(0);
        r.first_packet.push_back(number);
    } else if (tno != r.track_number) {
        r.fs.add(true, r.file, at, "track %02d follows track %02d: tracks are numbered 01, 02, 03 and so on", tno,
                 r.track_number);
        return false;
    } else if (index != r.last_index + 1) {
        r.fs.add(true, r.file, at, "track %02d: index %02d follows index %02d", tno, index, r.last_index);
        return false;
    }
    return true;
}

/// An index of the current track: its position, its ISRC, and at index 01 the track's flags.
void take_index(pq_reading &r, const pq_point &point, int number, const std::string &at)
{
    const ddp_pq_entry &e = point.entry;
    const int tno = static_cast<int>(e.track);
    const int index = static_cast<int>(e.index);
    const long position = point.position;
    // An index 00 at the time of index 01 marks no pregap: the track has none.
    const bool pause_at_start = index == 1 && r.last_index == 0 && position == r.track->index[0];
    if (position < r.last_position || (position == r.last_position && !pause_at_start)) {
        r.fs.add(true, r.file, at, "track %02d index %02d at %s does not lie after the packet before it, at %s", tno,
                 index, disc_position(position).c_str(), disc_position(r.last_position).c_str());
        return;
    }
    if (pause_at_start)
        r.track->index[0] = -1;
    r.track->index[index] = position;
    r.last_index = index;
    r.last_position = position;
    // The ISRC reaches listings and cue sheets: a byte that is no printable ASCII shows as "?".
    if (r.track->isrc[0] == '\0' && !e.isrc.empty())
        tolk_strcpy(r.track->isrc.data(), shown(e.isrc).c_str(), r.track->isrc.size());
    if (index != 1)
        return;
    r.index1_packet.back() = number;
    const int nibble = static_cast<int>(e.control);
    // Bit 4 of the control nibble marks a data track.
    if (nibble & 0x4)
        r.fs.add(true, r.file, at, "track %02d is marked as a data track (control %X): korvel reads audio discs only",
                 tno, static_cast<unsigned>(nibble));
    r.track->flags = static_cast<std::uint8_t>((nibble & (PQ_FLAG_PRE | PQ_FLAG_DCP | PQ_FLAG_4CH)) |
                                               (e.copy == "S" ? PQ_FLAG_SCMS : 0));
}

/// One packet of the stream, counted from 1.
void take_pq_packet(pq_reading &r, std::string_view p, int number)
{
    const std::string at = packet_at(number);
    const std::optional<pq_point> point = read_pq_point(r, p, at);
    if (!point)
        return;
    if (r.upc.empty())
        r.upc = point->entry.upc_ean;
    const int tno = static_cast<int>(point->entry.track);
    if (tno == 0) { // the lead-in
        if (r.track != nullptr)
            r.fs.add(true, r.file, at, "a lead-in packet (track 00) follows track %02d", r.track_number);
    } else if (tno == ddp_pq_entry::lead_out_track) {
        take_lead_out(r, point->position, number, at);
    } else if (in_turn(r, tno, static_cast<int>(point->entry.index), number, at)) {
        take_index(r, *point, number, at);
    }
}

/// The disc as a whole: a track, each with its index 01, a lead-out, and the UPC/EAN. false
/// after an issue that leaves no disc to check further.
bool check_pq_disc(pq_reading &r)
{
    if (r.track == nullptr) {
        r.fs.add(true, r.file, "", "describes no track");
        return false;
    }
    for (std::size_t n = 0; n < r.index1_packet.size(); ++n)
        if (r.index1_packet[n] == 0)
            r.fs.add(true, r.file, packet_at(r.first_packet[n]), "track %02zu has no index 01", n + 1);
    if (r.lead_out_packets == 0) {
        r.fs.add(true, r.file, "", "has no lead-out (track AA)");
        return false;
    }
    // Track 1's pause starts the disc, whether or not a packet says so.
    PQtrack &first = *r.pq->tracks;
    if (first.index[0] == -1 && first.index[1] > 0)
        first.index[0] = 0;
    if (!r.upc.empty()) {
        const int valid = ean13_validate(r.upc.c_str(), nullptr);
        if (valid == 2)
            r.fs.add(true, r.file, "", "the UPC/EAN \"%s\" is not 13 digits", shown(r.upc).c_str());
        else if (valid == 1)
            r.fs.add(false, r.file, "", "the UPC/EAN %s has a wrong check digit", r.upc.c_str());
        if (valid != 2)
            tolk_strcpy(r.pq->upc_ean.data(), r.upc.c_str(), r.pq->upc_ean.size());
    }
    return true;
}

/// Each track's ISRC (well-formed, not another track's) and its pre-emphasis.
void check_pq_tracks(pq_reading &r)
{
    int n = 1;
    for (const PQtrack *t = r.pq->tracks.get(); t != nullptr; t = t->next.get(), ++n) {
        const std::string at = packet_at(r.first_packet[static_cast<std::size_t>(n - 1)]);
        if (t->isrc[0] != '\0' && !isrc_is_valid(t->isrc.data()))
            r.fs.add(false, r.file, at, "track %02d: the ISRC \"%s\" is malformed (CCOOOYYNNNNN: country, owner, "
                     "year, number)", n, shown(t->isrc.data()).c_str());
        int other = 1;
        for (const PQtrack *u = r.pq->tracks.get(); u != t; u = u->next.get(), ++other)
            if (t->isrc[0] != '\0' && std::strcmp(t->isrc.data(), u->isrc.data()) == 0)
                r.fs.add(false, r.file, at, "track %02d has the ISRC %s of track %02d", n,
                         shown(t->isrc.data()).c_str(), other);
        if (t->flags & PQ_FLAG_PRE)
            r.fs.add(false, r.file, at, "track %02d is marked for pre-emphasis: players will de-emphasise it, "
                     "so its audio must have been recorded with pre-emphasis", n);
    }
}

/// The Red Book rules korvel checks when it writes; the UPC/EAN and index 01 are checked before.
void check_pq_red_book(pq_reading &r)
{
    const PQlist &pq = *r.pq;
    const PQtrack &first = *pq.tracks;
    ddp_fileset &fs = r.fs;
    for (const pq_rule_break &b : pq_red_book_breaks(pq)) {
        const std::string at = b.track > 0 ? packet_at(r.index1_packet[static_cast<std::size_t>(b.track - 1)]) : "";
        if (b.rule == pq_rule::first_pause_not_at_start && first.index[1] != 0)
            fs.add(true, r.file, at, "track 01's pause (index 00) does not start the disc at 00:00:00");
        else if (b.rule == pq_rule::first_pregap_short || b.rule == pq_rule::first_pause_not_at_start)
            fs.add(true, r.file, at, "track 01 starts %ld frames into the disc; it needs a pregap of at least 2 "
                   "seconds (150 frames)", first.index[1]);
        else if (b.rule == pq_rule::first_pregap_long)
            fs.add(true, r.file, at, "track 01 starts %ld frames into the disc; korvel writes a pregap of at most %ld "
                   "frames", b.frames, CD_MAX_FIRST_PREGAP_FRAMES);
        else if (b.rule == pq_rule::track_short)
            fs.add(true, r.file, at, "track %02d lasts %s (%ld frames); a track must last at least 4 seconds",
                   b.track, disc_position(b.frames).c_str(), b.frames);
        else if (b.rule == pq_rule::lead_out_too_far)
            fs.add(true, r.file, packet_at(fs.pq_lead_out_packet),
                   "the lead-out at %s is past 89:59:74, the last position a CD can address",
                   disc_position(pq.lead_out).c_str());
    }
    if (pq.lead_out > CD_STANDARD_FRAMES && pq.lead_out <= CD_LAST_FRAME)
        fs.add(false, r.file, packet_at(fs.pq_lead_out_packet),
               "the disc is %s long, more than 79:59:74: confirm with the plant that it can press it",
               disc_position(pq.lead_out).c_str());
}

} // namespace

void parse_pq_stream(std::string_view bytes, const std::string &file, ddp_fileset &fs)
{
    const int errors_before = fs.errors();
    constexpr std::size_t size = ddp_pq_entry::size;
    if (bytes.size() % size != 0)
        fs.add(true, file, packet_at(static_cast<int>(bytes.size() / size) + 1),
               "is %zu bytes long, not a whole number of %zu-byte PQ packets: the last packet is cut short",
               bytes.size(), size);
    pq_reading r(fs, file);
    const std::size_t count = bytes.size() / size;
    for (std::size_t i = 0; i < count; ++i) {
        const int number = static_cast<int>(i) + 1;
        if (gave_up(fs, errors_before, file, number))
            break;
        take_pq_packet(r, bytes.substr(i * size, size), number);
    }
    if (!check_pq_disc(r))
        return;
    check_pq_tracks(r);
    if (fs.errors() > errors_before)
        return;
    check_pq_red_book(r);
    fs.pq = std::move(r.pq);
}

namespace {

/// What the directory holds beside the disc: a CD-Text file the map does not name, bytes of a
/// file that no stream accounts for, and files a stopped run left behind.
void report_strays(const fileset_source &src, ddp_fileset &fs, const file_ends &ends)
{
    if (const fileset_entry *e = fileset_find(src, "CDTEXT.BIN");
        e != nullptr && std::none_of(fs.files.begin(), fs.files.end(), [&](const auto &f) { return f.name == e->name; }))
        fs.add(false, e->name, "", "is not part of this fileset: DDPMS does not name it");
    for (const auto &[name, end] : ends) {
        const fileset_entry *e = fileset_find(src, name);
        if (e != nullptr && e->size > end)
            fs.add(false, name, "byte " + std::to_string(end),
                   "is %lld bytes long, %lld more than the map describes: they are not part of the disc",
                   static_cast<long long>(e->size), static_cast<long long>(e->size - end));
    }
    for (const fileset_entry &e : src.entries)
        if (is_unfinished_name(e.name.c_str()))
            fs.add(false, e.name, "", "is an unfinished file that a stopped korvel run left behind: it is no part of "
                   "the fileset; remove it");
}

} // namespace

ddp_fileset read_fileset(const fileset_source &src)
{
    ddp_fileset fs;
    const auto required = [&](const char *name) -> const fileset_entry * {
        const fileset_entry *e = fileset_find(src, name);
        if (e == nullptr)
            fs.add(true, name, "", "is missing: without it the directory is not a DDP fileset");
        return e != nullptr && unambiguous(src, fs, *e) ? e : nullptr;
    };
    if (const fileset_entry *e = required("DDPID"))
        if (const auto bytes = load(src, *e, 64 * 1024, fs, "DDP identifier"))
            parse_ddpid(*bytes, e->name, fs);
    const fileset_entry *map = required("DDPMS");
    if (map == nullptr)
        return fs;
    const auto map_bytes = load(src, *map, map_max_packets * ddp_map_packet::size, fs, "DDP map");
    if (!map_bytes)
        return fs;
    parse_map(*map_bytes, map->name, fs);

    file_ends ends;
    join_audio(src, fs, ends);

    const map_packet *pq_packet = nullptr;
    for (const map_packet &m : fs.map) {
        if (m.type == "S0" && m.subcode == "PQ DESCR") {
            if (pq_packet != nullptr)
                fs.add(true, "DDPMS", packet_at(m.number), "describes a second PQ stream; the first is in packet %d",
                       pq_packet->number);
            else
                pq_packet = &m;
        } else if (m.type == "S0" && m.subcode != "CDTEXT") {
            fs.add(false, "DDPMS", packet_at(m.number), "describes a subcode stream \"%s\", which korvel ignores",
                   shown(m.subcode).c_str());
        } else if (m.type.size() == 2 && m.type[0] == 'T') {
            if (const fileset_entry *e = named_file(src, fs, m, "text"))
                holds(fs, *e, m, m.dsl > 0 ? m.dsl : 0, false, ends);
        }
    }
    if (pq_packet == nullptr) {
        fs.add(true, "DDPMS", "", "describes no PQ stream (S0, \"PQ DESCR\"): the disc's track layout is unknown");
    } else if (const fileset_entry *e = named_file(src, fs, *pq_packet, "PQ")) {
        fs.pq_file = e->name;
        if (const auto bytes = subcode_bytes(src, fs, *pq_packet, *e, pq_max_packets * ddp_pq_entry::size, "PQ stream",
                                             ends))
            parse_pq_stream(*bytes, e->name, fs);
    }
    if (fs.pq && !fs.audio.empty() && fs.pq->lead_out != fs.audio_sectors)
        fs.add(true, fs.pq_file, packet_at(fs.pq_lead_out_packet),
               "the lead-out is at %s (frame %ld), but the audio data ends at sector %ld", 
               disc_position(fs.pq->lead_out).c_str(), fs.pq->lead_out, fs.audio_sectors);
    if (fs.pq && !fs.upc_ean.empty() && fs.upc_ean != fs.pq->upc_ean.data())
        fs.add(false, "DDPID", "", "gives the UPC/EAN %s, but the PQ stream gives %s", shown(fs.upc_ean).c_str(),
               fs.pq->upc_ean[0] != '\0' ? fs.pq->upc_ean.data() : "none");

    compare_first_pregap(fs);
    read_cdtext(src, fs, ends);
    report_strays(src, fs, ends);
    return fs;
}

