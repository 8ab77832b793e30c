// The files of a DDP fileset and what each is to it: the audio stream, the PQ
// stream, CD-Text, the identifier DDPID, the map DDPMS, the optional IMAGE.cue
// and the checksum files. The writer knows the whole list before it writes a
// byte; the checksum files list what the written map names; the reader lists
// what the map names, as found.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// What a file is to the fileset.
enum class ddp_role {
    identifier, ///< DDPID
    map,        ///< DDPMS
    audio,      ///< a main data stream (D0)
    pq,         ///< the PQ descriptor stream (S0 "PQ DESCR")
    cdtext,     ///< the CD-Text stream (S0 "CDTEXT")
    stream,     ///< any other stream the map names
    cuesheet,   ///< IMAGE.cue, no stream of the disc
    checksums,  ///< CHECKSUM.MD5, CHECKSUM.TXT
    listed,     ///< a file that only a checksum file names
};

/// One file of a fileset.
struct ddp_file {
    std::string name;            ///< as on disk, or as the map or a checksum file names it
    ddp_role role = ddp_role::listed;
    std::string stream;          ///< the map's stream: "D0", "S0 PQ DESCR", ...; empty for files it does not name
    std::int64_t size = 0;       ///< as found by the reader
    std::string md5;             ///< 32 hex digits, or empty while none is known
    std::string crc32;           ///< 8 hex digits, or empty while none is known
    bool written = false;        ///< the writing run writes it
    std::vector<std::string> inputs; ///< what a writing run reads that may be this very file (a fileset
                                     ///< regenerated from its own IMAGE.cue, IMAGE.DAT and CDTEXT.BIN)
};

/// The files of one fileset, each name once, in the order they were first added.
struct ddp_files {
    std::optional<std::string> dir; ///< the fileset's directory, when known
    std::vector<ddp_file> files;

    /// The file named exactly `name`, or null.
    ddp_file *find(std::string_view name);
    const ddp_file *find(std::string_view name) const;
    /// The file named `name`, appended with `role` when new.
    ddp_file &add(std::string_view name, ddp_role role);
    auto begin() const { return files.begin(); }
    auto end() const { return files.end(); }
    bool empty() const { return files.empty(); }
};

/// The role of the file that holds a stream of the map, by its type and subcode.
ddp_role ddp_role_of_stream(std::string_view type, std::string_view subcode);

/// What a writing run reads: its cue sheet (empty for standard input), the audio files, a CD-Text file.
struct ddp_run_inputs {
    std::string cuesheet;
    std::vector<std::string> audio;
    std::string cdtext;
};

/// Every file a writing run into `dir` may touch, in this order: IMAGE.DAT, SD, DDPMS, DDPID,
/// CDTEXT.BIN, IMAGE.cue, CHECKSUM.MD5, CHECKSUM.TXT, each `written` or not (CDTEXT.BIN and IMAGE.cue
/// as asked), and each with the run's inputs that may be that very file.
ddp_files ddp_files_to_write(const char *dir, const ddp_run_inputs &inputs, bool with_cuesheet, bool with_cdtext);

/// The path of a file of the list: its directory joined with the name.
std::string ddp_file_path(const ddp_files &files, const ddp_file &f);

/// The files the fileset in `dir` names: DDPID, DDPMS, then each map packet's file, in map order.
/// nullopt when `dir` holds no fileset (no DDPID beginning "DDP", or a DDPMS that is no regular file).
std::optional<ddp_files> ddp_files_of_map(const char *dir);
