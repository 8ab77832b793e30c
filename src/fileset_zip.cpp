#include "fileset_zip.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "zip_library.h"

namespace {

/// A ZIP file begins with a local file header ("PK\3\4"); an archive without any entry is its
/// end record alone ("PK\5\6").
bool has_zip_signature(const char *path)
{
    file_ptr fp(std::fopen(path, "rb"));
    char head[4] = {};
    if (!fp || std::fread(head, 1, sizeof head, fp.get()) != sizeof head)
        return false;
    return std::memcmp(head, "PK\3\4", 4) == 0 || std::memcmp(head, "PK\5\6", 4) == 0;
}

bool ends_with_zip(const std::string &name)
{
    return name.size() > 4 && tolk_stricmp(name.substr(name.size() - 4).c_str(), ".zip") == 0;
}

std::string libzip_reason(int code)
{
    zip_error_t error;
    libzip().zip_error_init_with_code(&error, code);
    std::string reason = libzip().zip_error_strerror(&error);
    libzip().zip_error_fini(&error);
    return reason;
}

/// The open archive, shared by the listing and every stream read from it. libzip's archive is
/// not to be read from two threads at once: every read takes the lock.
struct zip_archive {
    zip_archive() = default;
    zip_archive(const zip_archive &) = delete;
    zip_archive &operator=(const zip_archive &) = delete;
    ~zip_archive()
    {
        if (za != nullptr)
            libzip().zip_discard(za);
    }

    std::string bytes; ///< the archive, when it is read from memory
    zip_t *za = nullptr;
    std::mutex lock;
    std::map<std::string, std::string> damaged; ///< entry name, what is wrong with it
};

/// One entry read as a stream: a deflated entry cannot seek, so a stream that goes back starts
/// again from the entry's first byte, and one that goes forward reads up to the place. Reading
/// always runs from the first byte on, which lets libzip compare the entry's CRC-32 at its end.
struct entry_stream {
    std::shared_ptr<zip_archive> archive;
    zip_uint64_t index = 0;
    std::string name;           ///< the entry's full name in the archive
    std::int64_t size = 0;
    zip_file_t *file = nullptr;
    std::int64_t file_pos = 0;  ///< where `file` is
    std::int64_t pos = 0;       ///< where the reader is
    /// The FILE's buffer: big, so that each read asks libzip for much at once (with stdio's
    /// default, every 8 KiB cost libzip a seek and two reads of the archive).
    std::vector<char> buffer = std::vector<char>(256 * 1024);

    ~entry_stream()
    {
        if (file != nullptr)
            libzip().zip_fclose(file);
    }

    /// Records what is wrong with the entry, once.
    void damage(const std::string &what) { archive->damaged.emplace(name, what); }

    bool reopen()
    {
        if (file != nullptr)
            libzip().zip_fclose(file);
        file_pos = 0;
        file = libzip().zip_fopen_index(archive->za, index, 0);
        if (file == nullptr)
            damage(std::string("cannot be read from the archive: ") + libzip().zip_strerror(archive->za));
        return file != nullptr;
    }

    /// Reads into `buf` from `file`, noting a fault; -1 after one.
    zip_int64_t read_file(char *buf, zip_uint64_t n)
    {
        const zip_int64_t got = libzip().zip_fread(file, buf, n);
        if (got < 0) {
            zip_error_t *error = libzip().zip_file_get_error(file);
            damage(libzip().zip_error_code_zip(error) == ZIP_ER_CRC
                       ? std::string("its CRC-32 does not match the one the archive gives: the entry is damaged")
                       : std::string("cannot be read from the archive: ") + libzip().zip_error_strerror(error));
        }
        return got;
    }

    /// Moves `file` to `pos`, reading forward.
    bool reach()
    {
        if ((file == nullptr || file_pos > pos) && !reopen())
            return false;
        char skip[65536];
        while (file_pos < pos) {
            const auto want = static_cast<zip_uint64_t>(std::min<std::int64_t>(pos - file_pos, sizeof skip));
            const zip_int64_t got = read_file(skip, want);
            if (got <= 0)
                return false;
            file_pos += got;
        }
        return true;
    }

    /// The entry's end: libzip compares the CRC-32 when a read finds no more bytes.
    void check_end()
    {
        char extra;
        const zip_int64_t got = read_file(&extra, 1);
        if (got > 0)
            damage("holds more bytes than the archive gives as its size");
    }

    ssize_t read(char *buf, size_t n)
    {
        const std::lock_guard<std::mutex> hold(archive->lock);
        if (pos >= size)
            return 0;
        if (!reach()) {
            errno = EIO;
            return -1;
        }
        const auto want = static_cast<zip_uint64_t>(std::min<std::int64_t>(size - pos, static_cast<std::int64_t>(n)));
        const zip_int64_t got = read_file(buf, want);
        if (got <= 0) {
            if (got == 0)
                damage("ends before the size the archive gives");
            errno = EIO;
            return -1;
        }
        file_pos += got;
        pos += got;
        // The bytes are handed on either way: a damaged entry is an error of its own, and the
        // checksum files then tell whether the fileset's checksums vouch for what was read.
        if (pos == size)
            check_end();
        return static_cast<ssize_t>(got);
    }
};

ssize_t stream_read(void *cookie, char *buf, size_t n) { return static_cast<entry_stream *>(cookie)->read(buf, n); }

int stream_seek(void *cookie, off64_t *offset, int whence)
{
    auto *s = static_cast<entry_stream *>(cookie);
    const std::int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->pos : s->size;
    if (base + *offset < 0) {
        errno = EINVAL;
        return -1;
    }
    s->pos = base + *offset;
    *offset = s->pos;
    return 0;
}

int stream_close(void *cookie)
{
    const std::unique_ptr<entry_stream> s(static_cast<entry_stream *>(cookie));
    const std::lock_guard<std::mutex> hold(s->archive->lock);
    if (s->file != nullptr)
        libzip().zip_fclose(s->file);
    s->file = nullptr;
    return 0;
}

/// The reader of a listed archive's entries.
struct zip_opener : fileset_opener {
    std::shared_ptr<zip_archive> archive;
    std::string folder;                           ///< "" or "NAME/"
    std::map<std::string, zip_uint64_t> indexes;  ///< entry name in the folder, its index
    std::vector<fileset_issue> notes;

    file_ptr open(const fileset_entry &e, std::string &why) const override
    {
        const auto found = indexes.find(e.name);
        if (found == indexes.end()) {
            why = "it is not in the archive";
            return nullptr;
        }
        auto s = std::make_unique<entry_stream>();
        s->archive = archive;
        s->index = found->second;
        s->name = folder + e.name;
        s->size = e.size;
        file_ptr fp(fopencookie(s.get(), "rb", cookie_io_functions_t{stream_read, nullptr, stream_seek, stream_close}));
        if (!fp) {
            why = std::strerror(errno);
            return nullptr;
        }
        // glibc's fclose calls the stream's close before it lets go of a buffer it was given,
        // and never frees that buffer itself.
        setvbuf(fp.get(), s->buffer.data(), _IOFBF, s->buffer.size());
        s.release(); // the stream's close frees it
        return fp;
    }
};

/// One entry of the archive, as the listing sees it.
struct member {
    zip_uint64_t index = 0;
    std::string name;
    std::int64_t size = 0;
    bool directory = false;
    bool encrypted = false;
};

/// A name that would put a file outside the folder it is unpacked into.
bool escapes(const std::string &name)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':'))
        return true;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
        if (name.compare(start, end - start, "..") == 0)
            return true;
        start = end + 1;
    }
    return false;
}

/// A symbolic link stored by a Unix zip: its mode in the upper half of the external attributes.
bool is_link(zip_t *za, zip_uint64_t index)
{
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (libzip().zip_file_get_external_attributes(za, index, 0, &system, &attributes) != 0 || system != ZIP_OPSYS_UNIX)
        return false;
    return S_ISLNK(static_cast<mode_t>(attributes >> 16));
}

/// Every entry of the archive; false with `why` for a name or kind that no fileset may hold.
bool list_members(zip_t *za, std::vector<member> &members, std::string &why)
{
    const zip_int64_t count = libzip().zip_get_num_entries(za, 0);
    if (count < 0 || static_cast<std::uint64_t>(count) > FILESET_MAX_ENTRIES) {
        why = "it holds more than " + std::to_string(FILESET_MAX_ENTRIES) + " entries: not a DDP fileset";
        return false;
    }
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        zip_stat_t st;
        if (libzip().zip_stat_index(za, i, 0, &st) != 0 || (st.valid & ZIP_STAT_NAME) == 0) {
            why = std::string("an entry cannot be read: ") + libzip().zip_strerror(za);
            return false;
        }
        member m{i, st.name, static_cast<std::int64_t>(st.size), false, false};
        m.directory = !m.name.empty() && m.name.back() == '/';
        m.encrypted = (st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE;
        if (escapes(m.name)) {
            why = "the entry \"" + m.name + "\" has an absolute name or one with \"..\": unpacked, it would land "
                  "outside its folder";
            return false;
        }
        if (is_link(za, i)) {
            why = "the entry \"" + m.name + "\" is a symbolic link: korvel reads only files inside the fileset";
            return false;
        }
        members.push_back(std::move(m));
    }
    return true;
}

/// The folder ("" for the root, else "NAME/") that holds DDPID or DDPMS; false with `why` when
/// there is none at the root or one level down, or more than one.
bool find_folder(const std::vector<member> &members, std::string &folder, std::string &why)
{
    std::vector<std::string> folders;
    for (const member &m : members) {
        const std::size_t slash = m.name.rfind('/');
        const std::string base = slash == std::string::npos ? m.name : m.name.substr(slash + 1);
        const std::string at = slash == std::string::npos ? "" : m.name.substr(0, slash + 1);
        const bool shallow = at.empty() || at.find('/') == at.size() - 1;
        if (!m.directory && shallow && (tolk_stricmp(base.c_str(), "DDPID") == 0 || tolk_stricmp(base.c_str(), "DDPMS") == 0) &&
            std::find(folders.begin(), folders.end(), at) == folders.end())
            folders.push_back(at);
    }
    const auto shown = [](const std::string &f) { return f.empty() ? std::string("the archive's root") : f; };
    if (folders.empty()) {
        why = "it holds no DDP fileset: no DDPID or DDPMS at its root or in a folder at its root";
        return false;
    }
    if (folders.size() > 1) {
        why = "it holds two DDP filesets, in " + shown(folders[0]) + " and in " + shown(folders[1]) +
              ": give korvel one fileset per archive";
        return false;
    }
    folder = folders[0];
    return true;
}

/// What an ignored entry is shown as: its first folder below the fileset's, or its own name.
std::string ignored_as(const std::string &name, const std::string &folder)
{
    const std::size_t from = name.compare(0, folder.size(), folder) == 0 ? folder.size() : 0;
    const std::size_t slash = name.find('/', from);
    return slash == std::string::npos ? name : name.substr(0, slash + 1);
}

/// Takes the fileset's entries into `src` and notes the rest; false with `why` for an encrypted
/// entry or one name twice.
bool take_members(const std::vector<member> &members, zip_opener &opener, fileset_source &src, std::string &why)
{
    for (const member &m : members) {
        const bool inside = m.name.compare(0, opener.folder.size(), opener.folder) == 0 && m.name != opener.folder;
        const std::string rest = inside ? m.name.substr(opener.folder.size()) : "";
        if (!inside || m.directory || rest.find('/') != std::string::npos) {
            if (m.name == opener.folder)
                continue;
            const std::string as = ignored_as(m.name, opener.folder);
            const auto same = [&](const fileset_issue &i) { return i.file == as; };
            if (std::none_of(opener.notes.begin(), opener.notes.end(), same))
                opener.notes.push_back({false, as, "", "is not part of the DDP fileset: ignored"});
            continue;
        }
        if (m.encrypted) {
            why = "the entry \"" + m.name + "\" is encrypted: korvel reads only archives without a password";
            return false;
        }
        if (!opener.indexes.emplace(rest, m.index).second) {
            why = "it holds two entries named \"" + m.name + "\"";
            return false;
        }
        fileset_entry e;
        e.name = rest;
        e.size = m.size;
        src.entries.push_back(std::move(e));
    }
    std::sort(src.entries.begin(), src.entries.end(),
              [](const fileset_entry &a, const fileset_entry &b) { return a.name < b.name; });
    return true;
}

const zip_opener *opener_of(const fileset_source &src)
{
    return dynamic_cast<const zip_opener *>(src.opener.get());
}

} // namespace

bool fileset_is_archive(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return has_zip_signature(path) || ends_with_zip(path);
}

namespace {

/// Lists the opened archive, named `path`, into `src`.
bool list_archive(std::shared_ptr<zip_archive> archive, const char *path, fileset_source &src, std::string &why)
{
    auto opener = std::make_shared<zip_opener>();
    opener->archive = std::move(archive);
    std::vector<member> members;
    if (!list_members(opener->archive->za, members, why) || !find_folder(members, opener->folder, why) ||
        !take_members(members, *opener, src, why)) {
        src.entries.clear();
        return false;
    }
    src.archive = path;
    src.dir = opener->folder.empty() ? src.archive : src.archive + "/" + opener->folder.substr(0, opener->folder.size() - 1);
    src.opener = std::move(opener);
    return true;
}

} // namespace

bool fileset_list_zip(const char *path, fileset_source &src, std::string &why)
{
    src = fileset_source{};
    int code = 0;
    auto archive = std::make_shared<zip_archive>();
    archive->za = libzip().zip_open(path, ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (archive->za == nullptr) {
        why = "it is damaged or no ZIP archive: " + libzip_reason(code);
        return false;
    }
    return list_archive(std::move(archive), path, src, why);
}

bool fileset_list_zip_bytes(std::string bytes, const char *name, fileset_source &src, std::string &why)
{
    src = fileset_source{};
    auto archive = std::make_shared<zip_archive>();
    archive->bytes = std::move(bytes);
    zip_error_t error;
    libzip().zip_error_init(&error);
    // The buffer stays the archive's own: libzip reads it and never frees it.
    zip_source_t *source = libzip().zip_source_buffer_create(archive->bytes.data(), archive->bytes.size(), 0, &error);
    archive->za = source != nullptr ? libzip().zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error) : nullptr;
    if (archive->za == nullptr) {
        why = std::string("it is damaged or no ZIP archive: ") + libzip().zip_error_strerror(&error);
        if (source != nullptr)
            libzip().zip_source_free(source);
    }
    libzip().zip_error_fini(&error);
    return archive->za != nullptr && list_archive(std::move(archive), name, src, why);
}

bool fileset_list_path(const char *path, fileset_source &src, std::string &why)
{
    return fileset_is_archive(path) ? fileset_list_zip(path, src, why) : fileset_list_dir(path, src, why);
}

std::vector<fileset_issue> fileset_zip_notes(const fileset_source &src)
{
    const zip_opener *opener = opener_of(src);
    return opener != nullptr ? opener->notes : std::vector<fileset_issue>{};
}

std::vector<fileset_issue> fileset_zip_damage(const fileset_source &src)
{
    std::vector<fileset_issue> issues;
    const zip_opener *opener = opener_of(src);
    if (opener == nullptr)
        return issues;
    const std::lock_guard<std::mutex> hold(opener->archive->lock);
    for (const auto &[name, what] : opener->archive->damaged)
        issues.push_back({true, name.substr(opener->folder.size()), "", what});
    return issues;
}
