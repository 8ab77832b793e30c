#include "fileset_zip_writer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ddp_checksum.h"
#include "log.h"
#include "safe_output.h"
#include "zip_library.h"

namespace {

/// The archive's bytes go into a file under its temporary name: libzip writes through this
/// sink, which seeks back to complete each entry's local header, and the file is renamed
/// into place by the caller once libzip has written the central directory.
struct archive_sink {
    staged_file &out;
    zip_error_t error;
};

zip_int64_t sink_seek(archive_sink &s, void *data, zip_uint64_t len)
{
    // What ZIP_SOURCE_GET_ARGS does, through the loaded library.
    if (len < sizeof(zip_source_args_seek_t)) {
        libzip().zip_error_set(&s.error, ZIP_ER_INVAL, 0);
        return -1;
    }
    const auto *args = static_cast<const zip_source_args_seek_t *>(data);
    if (fseeko(s.out.get(), static_cast<off_t>(args->offset), args->whence) != 0) {
        libzip().zip_error_set(&s.error, ZIP_ER_SEEK, errno);
        return -1;
    }
    return 0;
}

zip_int64_t sink_callback(void *userdata, void *data, zip_uint64_t len, zip_source_cmd_t cmd)
{
    archive_sink &s = *static_cast<archive_sink *>(userdata);
    switch (cmd) {
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_WRITABLE;
    case ZIP_SOURCE_STAT: {
        // The file is new and empty: the archive is written from nothing.
        auto *st = static_cast<zip_stat_t *>(data);
        libzip().zip_stat_init(st);
        st->valid = ZIP_STAT_SIZE;
        st->size = 0;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_WRITE:
        if (!s.out.write(data, len)) {
            libzip().zip_error_set(&s.error, ZIP_ER_WRITE, errno);
            return -1;
        }
        return static_cast<zip_int64_t>(len);
    case ZIP_SOURCE_SEEK_WRITE:
        return sink_seek(s, data, len);
    case ZIP_SOURCE_TELL_WRITE:
        return static_cast<zip_int64_t>(ftello(s.out.get()));
    case ZIP_SOURCE_ERROR:
        return libzip().zip_error_to_data(&s.error, data, len);
    default:
        // Opening, reading and closing the empty file, beginning, committing or rolling back
        // the write, removing: the staged file does all of that itself.
        return 0;
    }
}

/// The fileset's files in its order: what CHECKSUM.MD5 lists, the cue sheet of -c (which no map
/// names and no checksum file lists), then the checksum files.
std::vector<std::string> fileset_order(const char *ddpdir)
{
    std::vector<std::string> names;
    ddp_files list;
    ddpf_init(&list);
    const std::string md5 = tolk_path_join(ddpdir, "CHECKSUM.MD5").value_or("CHECKSUM.MD5");
    if (ddpf_read_md5(&list, md5.c_str()) == 0)
        for (const ddp_file &e : list)
            names.emplace_back(e.name);
    ddpf_free(&list);
    const std::string cue = tolk_path_join(ddpdir, "IMAGE.cue").value_or("IMAGE.cue");
    struct stat st;
    if (stat(cue.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        names.emplace_back("IMAGE.cue");
    names.emplace_back("CHECKSUM.MD5");
    names.emplace_back("CHECKSUM.TXT");
    return names;
}

/// The last component of the directory's path, the archive's folder: of its full path when it
/// is given as "." or "..", and "DDP" for the root.
std::string folder_name(const char *ddpdir)
{
    std::string dir = ddpdir;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::string name = dir.substr(dir.rfind('/') == std::string::npos ? 0 : dir.rfind('/') + 1);
    if (name == "." || name == "..") {
        std::error_code error;
        const std::filesystem::path full = std::filesystem::canonical(ddpdir, error);
        return error ? std::string("DDP") : folder_name(full.c_str());
    }
    return name.empty() || name == "/" ? std::string("DDP") : name;
}

// libzip copies an entry 8 KiB at a time; through stdio's 4 KiB buffers each of those pieces
// cost a read or a write of its own. Both ends get buffers of this size instead.
constexpr std::size_t copy_buffer_bytes = 256 * 1024;

/// A buffer for a FILE, which must outlive it.
using file_buffer = std::unique_ptr<char[]>;

/// Adds the file `name` of `ddpdir` as a stored entry of `folder` with the file's time, read
/// through a buffer kept in `buffers` until libzip has closed the file.
bool add_file(zip_t *za, const char *ddpdir, const std::string &folder, const std::string &name,
              std::vector<file_buffer> &buffers)
{
    const std::string path = tolk_path_join(ddpdir, name.c_str()).value_or(name);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        log_err("%s: %s\n", log_printable(path).c_str(), std::strerror(errno));
        return false;
    }
    file_ptr in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        log_err("%s: %s\n", log_printable(path).c_str(), std::strerror(errno));
        return false;
    }
    buffers.push_back(std::make_unique_for_overwrite<char[]>(copy_buffer_bytes));
    std::setvbuf(in.get(), buffers.back().get(), _IOFBF, copy_buffer_bytes);
    // The source owns the file from here: libzip closes it when the archive is closed or discarded.
    zip_source_t *src = libzip().zip_source_filep(za, in.get(), 0, -1);
    if (src != nullptr)
        in.release();
    const zip_int64_t index = src != nullptr ? libzip().zip_file_add(za, (folder + name).c_str(), src, ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0) {
        if (src != nullptr)
            libzip().zip_source_free(src);
        log_err("%s: %s\n", log_printable(path).c_str(), libzip().zip_strerror(za));
        return false;
    }
    const auto i = static_cast<zip_uint64_t>(index);
    return libzip().zip_set_file_compression(za, i, ZIP_CM_STORE, 0) == 0 && libzip().zip_file_set_mtime(za, i, st.st_mtime, 0) == 0;
}

/// Writes the archive through `sink`; true when libzip wrote it whole.
bool write_archive(archive_sink &sink, const char *ddpdir)
{
    zip_error_t error;
    libzip().zip_error_init(&error);
    zip_source_t *src = libzip().zip_source_function_create(sink_callback, &sink, &error);
    zip_t *za = src != nullptr ? libzip().zip_open_from_source(src, ZIP_TRUNCATE, &error) : nullptr;
    if (za == nullptr) {
        log_err("%s: %s\n", log_printable(sink.out.path()).c_str(), libzip().zip_error_strerror(&error));
        if (src != nullptr)
            libzip().zip_source_free(src);
        libzip().zip_error_fini(&error);
        return false;
    }
    libzip().zip_error_fini(&error);
    const std::string folder = folder_name(ddpdir) + "/";
    bool ok = true;
    std::vector<file_buffer> buffers;
    for (const std::string &name : fileset_order(ddpdir))
        ok = ok && add_file(za, ddpdir, folder, name, buffers);
    if (ok && libzip().zip_close(za) == 0)
        return true;
    if (ok)
        log_err("%s: %s\n", log_printable(sink.out.path()).c_str(), libzip().zip_strerror(za));
    libzip().zip_discard(za);
    return false;
}

} // namespace

int fileset_zip_write(const char *path, const char *ddpdir)
{
    log_msg(1, "Writing ZIP archive %s... ", log_printable(path).c_str());
    log_flush(1);
    const file_buffer buffer = std::make_unique_for_overwrite<char[]>(copy_buffer_bytes);
    staged_file out(path);
    if (out)
        std::setvbuf(out.get(), buffer.get(), _IOFBF, copy_buffer_bytes);
    if (!out) {
        log_msg(1, "failed.\n");
        log_err("%s: %s\n", log_printable(path).c_str(), std::strerror(errno));
        return 1;
    }
    archive_sink sink{out, {}};
    libzip().zip_error_init(&sink.error);
    const bool written = write_archive(sink, ddpdir);
    libzip().zip_error_fini(&sink.error);
    if (written && out.commit()) {
        log_msg(1, "done.\n");
        return 0;
    }
    if (written)
        log_err("%s: %s\n", log_printable(path).c_str(), std::strerror(errno));
    log_msg(1, "failed.\n");
    return 1;
}
