// Checksums of a DDP fileset: the MD5 and CRC-32 of the files its written map
// names (a fileset_files list), the files CHECKSUM.MD5 and CHECKSUM.TXT with a
// console table, and a validator of checksum files found in a fileset directory.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <cstdint>
#include <vector>

#include "fileset_files.h"
#include "fileset_reader.h"
#include "parallel_digest.h"

/// Computes the checksums of every file the fileset in `dir` names, writes
/// CHECKSUM.MD5 and CHECKSUM.TXT there and prints the table. 0 when every listed
/// file was read whole and both files were put in place; 1 otherwise, and then
/// neither file is written. `image`, when given, holds the digests of IMAGE.DAT taken
/// as it was written, which is then not read again.
int ddp_checksum_write(const char *dir, const digest_pair *image = nullptr);

/// One line of a checksum file that gives a checksum, as written.
struct ddpf_line_t {
    int line = 0;      ///< counted from 1
    std::string name;  ///< "./" taken off, as md5sum -c reads it
    std::string md5;   ///< hex digits, or empty
    std::string crc32; ///< hex digits, or empty
};

/// One comparison of the validator: a checksum a checksum file gives for a file of the fileset.
struct ddpf_result_t {
    std::string checksum_file; ///< the checksum file that gives it
    std::string name;          ///< the file as the checksum file names it
    std::string file;          ///< the file read for it, by its name on disk; empty when none was
    int line = 0;              ///< the checksum file's line
    std::string kind;          ///< "MD5" or "CRC32"
    std::string expected;      ///< as the checksum file gives it
    std::string computed;      ///< empty when the file could not be read
    std::string problem;       ///< why the file could not be read, as reported; empty when it was read
    bool ok = false;           ///< read, and the checksums agree
};

/// What a validation found: the checksum files it took, in the order it read them, each
/// comparison, and the faults of the checksum files themselves (two lines for one file that
/// disagree, a name that is ambiguous in letter case).
struct ddpf_validation_t {
    std::vector<std::string> checksum_files;
    std::vector<ddpf_result_t> results;
    std::vector<fileset_issue> issues;
};

/// Checks every checksum file among the fileset's entries (regular files of at most 6,600 bytes
/// that DDPID, DDPMS and the map do not name) line by line against the files they list, each read
/// through fileset_open: only regular files of the fileset directory, no link followed. Prints OK
/// or FAILED per line (errors for files that cannot be read). Returns the number of comparisons
/// that failed or could not be made, and of issues; fills `report` when given. `known` holds
/// checksums computed already (while the file was read for other work), by the name on disk,
/// which are taken instead of reading those files again.
int ddp_checksum_validate_fileset(const fileset_source &src, const ddp_fileset &fs,
                                  ddpf_validation_t *report = nullptr, const ddp_files *known = nullptr);
/// The same for the fileset in the directory `dir`, listed and read first.
int ddp_checksum_validate(const char *dir, ddpf_validation_t *report = nullptr, const ddp_files *known = nullptr);

/// Adds to `known` the checksums of the audio files that one stream of `fs` holds from their
/// first byte to their last, from each stream's digests `sums` over the `hashed` bytes read of it
/// (an audio file read only in part, or holding several streams, gets none).
void ddpf_add_stream_digests(const fileset_source &src, const ddp_fileset &fs, std::vector<digest_state> &sums,
                             const std::vector<std::uint64_t> &hashed, ddp_files *known);

// ---- Internals, shared with the tests ----

/// Empties the list and forgets its directory.
void ddpf_init(ddp_files *list);
/// Stores a copy of the directory the list's names are relative to.
void ddpf_set_dir(ddp_files *list, const char *dir);
/// The entry named exactly `name` (case-sensitive), or null.
ddp_file *ddpf_find(ddp_files *list, const char *name);
/// The entry for the name (cut to the map's 17 characters), appended when new, updated with the given checksums.
ddp_file *ddpf_add(ddp_files *list, const char *name, const char *md5, const char *crc);
/// Stores each non-empty checksum text, padded on the left with 0; asserts at most 32 and 8 digits.
void ddpf_entry_update(ddp_file *entry, const char *md5, const char *crc);
/// Lists the files the fileset in `dir` names; leaves the list alone when `dir` holds no fileset.
void ddpf_read_ddp(ddp_files *list, const char *dir);
/// Reads the stream to its end; 0 when it was read whole, -1 on a read error
/// (then no checksum is written). `md5` holds 33 bytes, `crc` 9; either may be null.
int file_calc_checksum(std::FILE *fp, char *md5, char *crc);
/// Computes the checksums of every listed file that lacks one asked for; 0 when all were read whole, 1 otherwise.
int ddpf_calc(ddp_files *list, int do_md5, int do_crc);
/// Releases the entries and the directory; the list is then empty.
void ddpf_free(ddp_files *list);
/// Writes one "digest *name" line per entry that has an MD5.
void ddpf_write_md5(const ddp_files *list, std::FILE *out);
/// Writes the CRC32 section: its header, then one name=CRC line per entry that has a CRC.
void ddpf_write_crc32(const ddp_files *list, std::FILE *out);
/// Prints the table of names and checksums on standard output.
void ddpf_print(const ddp_files *list);
/// Reads the CRC32 section of an INI-style file: 0 when a CRC was added, 1 when none, -1 when unopenable.
int ddpf_read_crc32(ddp_files *list, const char *path);
/// Reads md5sum-style lines: 0 when an MD5 was added, 1 when none, -1 when unopenable.
int ddpf_read_md5(ddp_files *list, const char *path);
/// Reads a file that is one MD5 without a line end, for "image.dat": 0, 1 when it is not, -1 when unopenable.
int ddpf_read_md5_wave_editor(ddp_files *list, const char *path);
