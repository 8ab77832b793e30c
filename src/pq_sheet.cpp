#include "pq_sheet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "log.h"
#include "pqlist.h"
#include "safe_output.h"

namespace {

/// Where a sheet goes: the path with its symbolic links followed, and whether it is written into
/// as it is rather than replaced.
struct sheet_target {
    std::string path;
    bool direct = false;
};

/// Follows the links of `path`. A target that exists and is not a regular file is written into
/// directly, and so is anything reached through /proc or /dev/fd, whose links name open files
/// (standard output) rather than places in a directory.
sheet_target resolve(const char *path)
{
    sheet_target t{path, false};
    // As many links as the system itself follows before it gives up (ELOOP).
    for (int hops = 0; hops < 40; ++hops) {
        if (t.path.starts_with("/proc/") || t.path.starts_with("/dev/fd/")) {
            t.direct = true;
            return t;
        }
        struct stat st;
        if (lstat(t.path.c_str(), &st) != 0)
            return t; // a new file
        if (!S_ISLNK(st.st_mode)) {
            t.direct = !S_ISREG(st.st_mode);
            return t;
        }
        std::array<char, 4096> link{};
        const ssize_t n = readlink(t.path.c_str(), link.data(), link.size() - 1);
        if (n <= 0)
            break;
        const std::string target(link.data(), static_cast<std::size_t>(n));
        t.path = target.front() == '/' ? target : tolk_path_get_dir(t.path.c_str()) + target;
    }
    // A loop of links: the open says so.
    t.path = path;
    t.direct = true;
    return t;
}

/// Writes into an existing file that is not replaced. The open does not wait for a FIFO's reader:
/// a FIFO nobody reads is an error (ENXIO), not a hang.
bool write_direct(const PQlist &pq, const char *path)
{
    const int fd = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENXIO)
            log_err("%s: no process reads from it\n", log_printable(path).c_str());
        else
            log_err("%s: %s\n", log_printable(path).c_str(), std::strerror(errno));
        return false;
    }
    // The writes wait for a slow reader again, rather than fail.
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    file_ptr out(fdopen(fd, "w"));
    if (!out) {
        close(fd);
    } else {
        pq_print_html(pq, out.get());
        if (close_checked(out))
            return true;
    }
    log_err("%s: %s\n", log_printable(path).c_str(), std::strerror(errno != 0 ? errno : EIO));
    return false;
}

} // namespace

int pq_sheet_refused(const char *path, const std::vector<pq_sheet_taboo> &taboos)
{
    const sheet_target target = resolve(path);
    for (const pq_sheet_taboo &taboo : taboos) {
        if (output_same_place(taboo.path.c_str(), target.path.c_str())) {
            log_err("%s is %s, %s: the PQ sheet never replaces a file of the run\n", log_printable(path).c_str(),
                    log_printable(taboo.path).c_str(), taboo.what);
            return 1;
        }
    }
    return 0;
}

int pq_sheet_write(const PQlist &pq, const char *path, const std::vector<pq_sheet_taboo> &taboos)
{
    if (pq_sheet_refused(path, taboos))
        return 1;
    const sheet_target target = resolve(path);
    log_msg(1, "Writing PQ sheet %s... ", log_printable(path).c_str());
    if (target.direct) {
        // What korvel printed before goes out before the sheet, should both share a terminal or pipe.
        std::fflush(stdout);
        const bool written = write_direct(pq, path);
        log_msg(1, "%s\n", written ? "done." : "failed.");
        return written ? 0 : 1;
    }
    staged_file out(target.path);
    if (out) {
        pq_print_html(pq, out.get());
        if (out.commit()) {
            log_msg(1, "done.\n");
            return 0;
        }
    }
    log_msg(1, "failed.\n");
    log_err("%s: %s\n", log_printable(path).c_str(), std::strerror(errno));
    return 1;
}
