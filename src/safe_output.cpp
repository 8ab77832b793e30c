#include "safe_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <string_view>

#include "log.h"

namespace {

/// Temporary names end in this mark and the writer's process number.
constexpr const char temp_mark[] = ".korvel-";

// The temporary files a signal handler must remove. A handler may only use what is
// async-signal-safe, so the paths live in fixed buffers, and a slot counts only once
// its path is complete. A run holds at most about a hundred files at once (an extraction
// of 99 tracks, written ahead of its check); a path that finds no free slot, or is too
// long for one, is left to the next run's clean-up of leftovers. Slots never used cost
// no memory: their pages are never touched.
constexpr std::size_t slot_count = 128;
constexpr std::size_t slot_path_max = 4096;
struct temp_slot {
    char path[slot_path_max];
    volatile std::sig_atomic_t used;
};
std::array<temp_slot, slot_count> slots{};

int register_temp(const std::string &path)
{
    if (path.size() >= slot_path_max)
        return -1;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].used)
            continue;
        std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
        slots[i].used = 1;
        return static_cast<int>(i);
    }
    return -1;
}

void unregister_temp(int slot)
{
    if (slot >= 0)
        slots[static_cast<std::size_t>(slot)].used = 0;
}

extern "C" void remove_temps_and_die(int sig)
{
    for (auto &slot : slots)
        if (slot.used)
            unlink(slot.path);
    static const char message[] = "korvel: interrupted; unfinished files removed\n";
    ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    // The handler was installed to run once: the signal's own action ends the process when the
    // handler returns, so that the caller sees the conventional status (128 + signal).
    std::signal(sig, SIG_DFL);
    raise(sig);
}

/// The directory part and the last component of a path ("" and the path when it has no slash).
std::pair<std::string, std::string> split_path(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string temp_path_of(const std::string &path)
{
    const auto [dir, base] = split_path(path);
    return dir + "." + base + temp_mark + std::to_string(static_cast<long>(getpid()));
}

struct dir_closer {
    void operator()(DIR *d) const noexcept { closedir(d); }
};

} // namespace

int is_unfinished_name(const char *name)
{
    if (name == nullptr || name[0] != '.')
        return 0;
    const char *mark = std::strstr(name + 1, temp_mark);
    if (mark == nullptr || mark == name + 1)
        return 0;
    // The mark of the last occurrence must be followed by the process number and nothing else.
    for (const char *next = std::strstr(mark + 1, temp_mark); next != nullptr; next = std::strstr(next + 1, temp_mark))
        mark = next;
    const char *digits = mark + sizeof temp_mark - 1;
    if (*digits == '\0')
        return 0;
    for (const char *p = digits; *p != '\0'; ++p)
        if (*p < '0' || *p > '9')
            return 0;
    return 1;
}

void output_install_signal_handlers()
{
    struct sigaction action {};
    action.sa_handler = remove_temps_and_die;
    sigemptyset(&action.sa_mask);
    // While one signal removes the files, the others wait.
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&action.sa_mask, sig);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
    // A reader of standard output that goes away (korvel ... | head) must not end the run
    // half-way through a fileset: the writes to standard output fail instead.
    std::signal(SIGPIPE, SIG_IGN);
}

// ---- The directory lock ----

output_lock::~output_lock()
{
    if (fd_ >= 0)
        close(fd_); // closing the descriptor releases the lock
}

int output_lock::acquire(const char *dir, bool quiet) { return lock(dir, LOCK_EX, quiet); }

int output_lock::acquire_shared(const char *dir) { return lock(dir, LOCK_SH, false); }

int output_lock::lock(const char *dir, int operation, bool quiet)
{
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 2;
    if (flock(fd, operation | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        if (err == EWOULDBLOCK) {
            if (!quiet)
                log_err("%s is being written by another korvel run\n", log_printable(dir).c_str());
            return 1;
        }
        // A file system without locks: the run goes on unprotected rather than not at all.
        return 2;
    }
    fd_ = fd;
    return 0;
}

int output_remove_leftovers(const char *dir)
{
    std::unique_ptr<DIR, dir_closer> listing(opendir(dir));
    if (!listing)
        return 0;
    int removed = 0;
    // This run's own files, written ahead and not yet in place, are no leftovers.
    const std::string own = temp_mark + std::to_string(static_cast<long>(getpid()));
    while (const dirent *de = readdir(listing.get())) {
        const std::string_view name = de->d_name;
        if (!is_unfinished_name(de->d_name) || (name.size() > own.size() && name.ends_with(own)))
            continue;
        const std::string path = tolk_path_join(dir, de->d_name).value_or(de->d_name);
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && unlink(path.c_str()) == 0)
            ++removed;
    }
    if (removed > 0)
        log_msg(1, "Removed %d unfinished file%s of an interrupted korvel run from %s.\n", removed,
                removed == 1 ? "" : "s", dir);
    return removed;
}

// ---- Inputs are not outputs ----

namespace {

/// The existing file at `path` (symlinks followed) as the system tells files apart: its device and inode.
std::optional<std::pair<dev_t, ino_t>> file_id(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return std::nullopt;
    return std::pair{st.st_dev, st.st_ino};
}

} // namespace

int output_same_file(const char *a, const char *b)
{
    const auto ia = file_id(a);
    return ia && ia == file_id(b) ? 1 : 0;
}

std::optional<std::pair<std::size_t, std::size_t>> output_first_same(const std::vector<std::string> &a,
                                                                     const std::vector<std::string> &b)
{
    // An extraction sets some fifty inputs against two hundred names it may write: a lookup per
    // pair took half a second.
    std::vector<std::pair<std::size_t, std::pair<dev_t, ino_t>>> existing;
    for (std::size_t j = 0; j < b.size(); ++j)
        if (const auto id = file_id(b[j].c_str()))
            existing.push_back({j, *id});
    for (std::size_t i = 0; i < a.size() && !existing.empty(); ++i) {
        const auto id = file_id(a[i].c_str());
        for (const auto &[j, other] : existing)
            if (id == other)
                return std::pair{i, j};
    }
    return std::nullopt;
}

int output_same_place(const char *a, const char *b)
{
    if (output_same_file(a, b))
        return 1;
    const auto [dir_a, base_a] = split_path(a);
    const auto [dir_b, base_b] = split_path(b);
    if (tolk_stricmp(base_a.c_str(), base_b.c_str()) != 0)
        return 0;
    return output_same_file(dir_a.empty() ? "." : dir_a.c_str(), dir_b.empty() ? "." : dir_b.c_str());
}

int output_check_inputs(const std::vector<output_input_t> &inputs, const std::vector<std::string> &outputs)
{
    for (const auto &input : inputs) {
        for (const auto &output : outputs) {
            if (!output_same_file(input.path.c_str(), output.c_str()))
                continue;
            // Regenerating a fileset from its own file is safe: the new file replaces the old
            // one only when whole, and the old one is read to its end before that.
            if (!input.may_be.empty() && output_same_file(input.may_be.c_str(), output.c_str()))
                continue;
            log_err("the input %s is the file %s, which this run would replace; write the fileset into "
                    "another directory\n",
                    input.path.c_str(), output.c_str());
            return 1;
        }
    }
    return 0;
}

// ---- Staged files ----

staged_file::staged_file(std::string path) : path_(std::move(path)), temp_(temp_path_of(path_))
{
    // Known to the signal handler before it exists, so that no signal can come between.
    slot_ = register_temp(temp_);
    int fd = open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        // Our own process number: a file of a process long gone that had the same one.
        unlink(temp_.c_str());
        fd = open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    if (fd < 0) {
        const int err = errno;
        unregister_temp(slot_);
        slot_ = -1;
        errno = err;
        return;
    }
    fp_.reset(fdopen(fd, "wb"));
    if (!fp_) {
        const int err = errno;
        close(fd);
        discard();
        errno = err;
    }
}

staged_file::~staged_file()
{
    if (fp_ || finished_ || slot_ >= 0)
        discard();
}

bool staged_file::write(const void *data, std::size_t n)
{
    if (!fp_ || std::fwrite(data, 1, n, fp_.get()) != n)
        return false;
    // 8 MiB: often enough that the writes keep pace with the copy, seldom enough to cost nothing.
    constexpr std::size_t write_behind_bytes = 8 << 20;
    unsynced_ += n;
    if (unsynced_ >= write_behind_bytes) {
        unsynced_ = 0;
#ifdef SYNC_FILE_RANGE_WRITE
        if (std::fflush(fp_.get()) == 0)
            sync_file_range(fileno(fp_.get()), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    }
    return true;
}

bool staged_file::finish()
{
    if (finished_)
        return true;
    if (!fp_) {
        errno = EBADF;
        return false;
    }
    // The data reach the disk before the name does: after a power loss the final name
    // holds the old file or the whole new one, never an empty one.
    bool ok = std::fflush(fp_.get()) == 0 && fdatasync(fileno(fp_.get())) == 0;
    int err = errno;
    if (!close_checked(fp_) && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        discard();
        errno = err;
        return false;
    }
    finished_ = true;
    return true;
}

bool staged_file::commit()
{
    if (!finish())
        return false;
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
        const int err = errno;
        discard();
        errno = err;
        return false;
    }
    unregister_temp(slot_);
    slot_ = -1;
    finished_ = false;
    return true;
}

void staged_file::discard()
{
    const int err = errno;
    fp_.reset();
    unlink(temp_.c_str());
    unregister_temp(slot_);
    slot_ = -1;
    finished_ = false;
    errno = err;
}
