// A test shim, preloaded into korvel (LD_PRELOAD): fdatasync fails with EIO, as a failing disk or a
// network file system reports it (or with the error number in $KORVEL_FDATASYNC_ERRNO), for every
// file whose path holds the text in $KORVEL_FAIL_FDATASYNC.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int fdatasync(int fd)
{
    const char *which = std::getenv("KORVEL_FAIL_FDATASYNC");
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (which != nullptr && n > 0) {
        path[n] = '\0';
        if (std::strstr(path, which) != nullptr) {
            const char *code = std::getenv("KORVEL_FDATASYNC_ERRNO");
            errno = code != nullptr ? std::atoi(code) : EIO;
            return -1;
        }
    }
    using sync_fn = int (*)(int);
    const auto real = reinterpret_cast<sync_fn>(dlsym(RTLD_NEXT, "fdatasync"));
    return real != nullptr ? real(fd) : 0;
}
