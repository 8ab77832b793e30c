// Checksums of a DDP fileset: the list of its files as DDPID and DDPMS declare
// them, their MD5 and CRC-32, the files CHECKSUM.MD5 and CHECKSUM.TXT with a
// console table, and a validator of checksum files found in a fileset directory.
#pragma once

#include <cstdio>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "fileset_reader.h"
#include "parallel_digest.h"

/// One file of a fileset with its checksums as text.
struct ddpf_entry_t {
    char name[18] = {};  ///< at most 17 characters, as the map stream gives them
    char md5[33] = {};   ///< 32 hex digits, or empty while none is stored
    char crc32[9] = {};  ///< 8 hex digits, or empty while none is stored
    int in_ddp = 0;      ///< 1 when taken from the fileset's map
};

/// Files in the order they were first added; a name occurs at most once.
struct ddpf_list_t {
    std::list<ddpf_entry_t> first; ///< the entries (a list: entry pointers stay valid)
    std::optional<std::string> dir;
};

/// Names the files of a fileset: DDPID, DDPMS, then each map packet's file.
struct dfi_iter_t {
    int state = 3;
    std::FILE *map_stream = nullptr; ///< open DDPMS while packets remain
    dfi_iter_t() = default;
    dfi_iter_t(const dfi_iter_t &) = delete; ///< one owner closes the map stream
    dfi_iter_t &operator=(const dfi_iter_t &) = delete;
    ~dfi_iter_t();
};

/// 0 when the directory holds a DDPID beginning with "DDP" and a DDPMS that is a regular file, else -1.
int dfi_init(dfi_iter_t *it, const char *dir);
/// The next file name, or null at the end. Packet names live in one static buffer.
const char *dfi_next(dfi_iter_t *it);

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
                                  ddpf_validation_t *report = nullptr, const ddpf_list_t *known = nullptr);
/// The same for the fileset in the directory `dir`, listed and read first.
int ddp_checksum_validate(const char *dir, ddpf_validation_t *report = nullptr, const ddpf_list_t *known = nullptr);

// ---- Internals, shared with the tests ----

/// Empties the list and forgets its directory.
void ddpf_init(ddpf_list_t *list);
/// Stores a copy of the directory the list's names are relative to.
void ddpf_set_dir(ddpf_list_t *list, const char *dir);
/// The entry named exactly `name` (case-sensitive), or null.
ddpf_entry_t *ddpf_find(ddpf_list_t *list, const char *name);
/// The entry for the name (cut to 17 characters), appended when new, updated with the given checksums.
ddpf_entry_t *ddpf_add(ddpf_list_t *list, const char *name, const char *md5, const char *crc);
/// Stores each non-empty checksum text, padded on the left with 0; asserts at most 32 and 8 digits.
void ddpf_entry_update(ddpf_entry_t *entry, const char *md5, const char *crc);
/// Lists the files the fileset in `dir` names; leaves the list alone when `dir` holds no fileset.
void ddpf_read_ddp(ddpf_list_t *list, const char *dir);
/// Reads the stream to its end; 0 when it was read whole, -1 on a read error
/// (then no checksum is written). `md5` holds 33 bytes, `crc` 9; either may be null.
int file_calc_checksum(std::FILE *fp, char *md5, char *crc);
/// Computes the checksums of every listed file that lacks one asked for; 0 when all were read whole, 1 otherwise.
int ddpf_calc(ddpf_list_t *list, int do_md5, int do_crc);
/// Releases the entries and the directory; the list is then empty.
void ddpf_free(ddpf_list_t *list);
/// Writes one "digest *name" line per entry that has an MD5.
void ddpf_write_md5(const ddpf_list_t *list, std::FILE *out);
/// Writes the CRC32 section: its header, then one name=CRC line per entry that has a CRC.
void ddpf_write_crc32(const ddpf_list_t *list, std::FILE *out);
/// Prints the table of names and checksums on standard output.
void ddpf_print(const ddpf_list_t *list);
/// Reads the CRC32 section of an INI-style file: 0 when a CRC was added, 1 when none, -1 when unopenable.
int ddpf_read_crc32(ddpf_list_t *list, const char *path);
/// Reads md5sum-style lines: 0 when an MD5 was added, 1 when none, -1 when unopenable.
int ddpf_read_md5(ddpf_list_t *list, const char *path);
/// Reads a file that is one MD5 without a line end, for "image.dat": 0, 1 when it is not, -1 when unopenable.
int ddpf_read_md5_wave_editor(ddpf_list_t *list, const char *path);
