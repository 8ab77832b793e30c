// Helpers shared by the fuzz harnesses: silencing what korvel prints while
// keeping sanitizer reports visible, in-memory files that behave like files on
// disk, and a scratch folder that lives as long as the fuzzing process.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "tolk_utils.h"

// Present when a sanitizer runtime is linked in; null otherwise.
extern "C" __attribute__((weak)) void __sanitizer_set_report_fd(void *fd);

namespace fuzz {

/// True when `fd` is the null device (libFuzzer's -close_fd_mask has already silenced it).
inline bool is_null_device(int fd)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat("/dev/null", &b) == 0 && S_ISCHR(a.st_mode) && a.st_rdev == b.st_rdev;
}

/// Sends standard output and standard error to /dev/null, once. A sanitizer report
/// still reaches the original standard error through a kept duplicate, unless that
/// is the null device already (then libFuzzer has set its own report channel).
/// Called from the first input rather than at start-up, so that libFuzzer's own
/// -close_fd_mask handling has duplicated the real standard error before this runs.
inline void silence_output()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    std::fflush(stdout);
    std::fflush(stderr);
    const int keep = dup(STDERR_FILENO);
    if (keep >= 0 && __sanitizer_set_report_fd != nullptr && !is_null_device(keep))
        __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<std::intptr_t>(keep)));
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0)
        std::abort();
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);
}

/// A read-write stream over an anonymous in-memory file holding the bytes, positioned
/// at its start. Unlike fmemopen, seeking past the end works as on a disk file, and an
/// empty input is a valid empty file. Aborts when the system refuses: that is no finding.
inline file_ptr memory_file(const std::uint8_t *data, std::size_t size)
{
    const int fd = memfd_create("fuzz-input", 0);
    if (fd < 0)
        std::abort();
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            std::abort();
        done += static_cast<std::size_t>(n);
    }
    if (lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    file_ptr fp(fdopen(fd, "r+b"));
    if (!fp)
        std::abort();
    return fp;
}

/// Writes the bytes as a whole file, replacing what was there.
inline void write_file(const std::string &path, const void *data, std::size_t size)
{
    file_ptr fp = tolk_fopen(path.c_str(), "wb");
    if (!fp || (size > 0 && std::fwrite(data, 1, size, fp.get()) != size) || !close_checked(fp))
        std::abort();
}

/// A fresh folder under the temporary directory, removed again when the process ends.
class scratch_dir {
public:
    scratch_dir()
    {
        std::error_code ec;
        std::filesystem::path base = std::filesystem::temp_directory_path(ec);
        if (ec)
            base = "/tmp";
        std::string templ = (base / "korvel-fuzz-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            std::abort();
        path_ = templ;
    }
    ~scratch_dir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace fuzz
