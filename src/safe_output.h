// The safe writing of output files. A file the user may still need is never
// truncated in place: each output is written under a temporary name beside its
// final one and renamed over it only when it is whole, so a failure, a signal or
// a killed run never leaves a partial file under a final name, hard-linked copies
// keep their content, and an old output can be read while its successor is written.
// One run at a time writes into a directory (a lock), and no input is ever an output.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tolk_utils.h"

/// 1 when `name` is the temporary name of an unfinished output (".<NAME>.korvel-<pid>"), else 0.
int is_unfinished_name(const char *name);

/// Removes SIGINT, SIGTERM and SIGHUP's default end: the handler removes every unfinished
/// output first, prints "korvel: interrupted; unfinished files removed", then ends the process
/// by the same signal. SIGPIPE is ignored, so a closed standard output is a write error.
void output_install_signal_handlers();

/// An exclusive lock on an output directory, held until it is destroyed (or the process ends).
class output_lock {
public:
    output_lock() = default;
    output_lock(const output_lock &) = delete;
    output_lock &operator=(const output_lock &) = delete;
    ~output_lock();

    /// Locks `dir`. 0 locked; 1 another run holds it ("Error: <dir> is being written by another
    /// korvel run" is reported, unless `quiet`); 2 the directory cannot be opened (nothing
    /// reported: the first write into it will say why).
    int acquire(const char *dir, bool quiet = false);
    /// Takes the same lock shared, for a run that only reads `dir`: readers do not exclude each
    /// other, but a writer excludes them all. Results as for acquire().
    int acquire_shared(const char *dir);

private:
    int lock(const char *dir, int operation, bool quiet);
    int fd_ = -1;
};

/// Removes the unfinished outputs that a killed run left in `dir` (call it under the lock), never
/// this run's own; one progress line says how many. The number removed.
int output_remove_leftovers(const char *dir);

/// An input path with the final output path it may be (a fileset regenerated from its own
/// files), or an empty `may_be` when it may be none of the outputs.
struct output_input_t {
    std::string path;
    std::string may_be;
};

/// 0 when no input is the same file (device and inode, symlinks followed) as an output it may
/// not be; 1 after "Error: " and a message naming both paths. Missing paths are no conflict.
int output_check_inputs(const std::vector<output_input_t> &inputs, const std::vector<std::string> &outputs);

/// 1 when the two paths name the same existing file (device and inode, symlinks followed).
int output_same_file(const char *a, const char *b);

/// The first pair (in the order of `a`, then of `b`) of an `a` path and a `b` path that name the
/// same existing file, as output_same_file() sees it; each path is looked up once.
std::optional<std::pair<std::size_t, std::size_t>> output_first_same(const std::vector<std::string> &a,
                                                                     const std::vector<std::string> &b);

/// 1 when the two paths name the same file, or would once it exists: the same existing file, or
/// the same name (letter case aside, as a case-insensitive file system sees it) in the same
/// existing directory.
int output_same_place(const char *a, const char *b);

/// A file being written under its temporary name. Destroying it without commit() removes it.
class staged_file {
public:
    /// Creates the temporary sibling of `path` (exclusively, mode 0666 less the umask).
    /// An empty handle when it cannot; errno tells why.
    explicit staged_file(std::string path);
    staged_file(const staged_file &) = delete;
    staged_file &operator=(const staged_file &) = delete;
    ~staged_file();

    explicit operator bool() const { return static_cast<bool>(fp_); }
    std::FILE *get() const { return fp_.get(); }
    /// The final path, for messages: the user knows the file by that name.
    const std::string &path() const { return path_; }
    /// The temporary path.
    const std::string &temp_path() const { return temp_; }

    /// Writes `n` bytes; true when all were written. Every few megabytes it starts the disk
    /// writes of what it holds so far, without waiting for them, so that the sync that finishes
    /// a large file (the image) has little left to wait for.
    bool write(const void *data, std::size_t n);
    /// Flushes the stream, syncs the data to the disk and closes it, with a check: true when the
    /// whole file is written; false (errno tells why) and the temporary file is gone otherwise.
    [[nodiscard]] bool finish();
    /// Finishes the file when that is still to be done and renames it over its final name. true
    /// when the file is in place; false (errno tells why) and the temporary file is gone otherwise.
    [[nodiscard]] bool commit();
    /// Closes and removes the temporary file; the final name is untouched.
    void discard();

private:
    std::string path_;
    std::string temp_;
    file_ptr fp_;
    int slot_ = -1;
    bool finished_ = false;
    std::size_t unsynced_ = 0; ///< bytes written since the disk writes were last started
};
