// Reading a DDP fileset that any program wrote: the identifier DDPID, the map
// DDPMS and the streams it names (the audio, the PQ descriptors, CD-Text),
// found through the map, from a directory or from memory. Nothing in a fileset
// is trusted: every size is bounded, only regular files inside the directory
// are read, and every fault becomes a located diagnostic, never the end of the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fileset_files.h"
#include "pqlist.h"
#include "tolk_utils.h"

/// One diagnostic about the fileset: what is wrong, in which file and where in it.
struct fileset_issue {
    bool error = true;
    std::string file;     ///< the file as the fileset names it; empty for the fileset as a whole
    std::string position; ///< "packet 3", "byte 104", ...; empty when the whole file is meant
    std::string message;
};

/// What a directory entry is, as far as reading goes.
enum class fileset_entry_kind { regular, directory, symlink, other };

/// A descriptor of a file of the fileset, closed with its last owner.
struct fileset_descriptor {
    explicit fileset_descriptor(int fd) : fd(fd) {}
    fileset_descriptor(const fileset_descriptor &) = delete;
    fileset_descriptor &operator=(const fileset_descriptor &) = delete;
    ~fileset_descriptor();
    const int fd;
};

/// One entry of the fileset directory. Entries of an in-memory fileset hold their bytes.
struct fileset_entry {
    std::string name; ///< as on disk
    fileset_entry_kind kind = fileset_entry_kind::regular;
    std::int64_t size = 0;
    std::string bytes; ///< the content, in memory only (may be shorter than `size` for audio)
    /// The file as it was first opened: every later read of the entry reads this same file, so
    /// what the checksums vouch for is what is shown and extracted, whatever the name holds by then.
    mutable std::shared_ptr<const fileset_descriptor> opened;
};

/// Reads the entries of a fileset that is kept elsewhere than in a directory (an archive).
struct fileset_opener {
    virtual ~fileset_opener() = default;
    /// The entry's bytes from its start, or null with `why`.
    virtual file_ptr open(const fileset_entry &e, std::string &why) const = 0;
};

/// The entries of a fileset: a directory's (read lazily from `dir`) or a memory one's (empty `dir`),
/// or an archive's (`dir` names the archive and the folder in it; `opener` reads them).
struct fileset_source {
    std::string dir;
    std::vector<fileset_entry> entries;
    std::string archive; ///< the archive's path; empty for a directory or memory
    std::shared_ptr<const fileset_opener> opener;
};

/// A directory holds at most this many entries to be taken for a fileset.
constexpr std::size_t FILESET_MAX_ENTRIES = 4096;

/// Lists `dir` (names, kinds, sizes; symbolic links are not followed) into `src`. false with
/// `why` when it cannot be listed or holds more than FILESET_MAX_ENTRIES entries.
bool fileset_list_dir(const char *dir, fileset_source &src, std::string &why);

/// The entry named `name`: the exact name, else the first that differs only in case. Null when none.
const fileset_entry *fileset_find(const fileset_source &src, std::string_view name);

/// Another entry whose name differs from `e`'s only in letter case, or null.
const fileset_entry *fileset_case_twin(const fileset_source &src, const fileset_entry &e);

/// The message for an entry that has a case twin (see fileset_case_twin).
std::string fileset_case_message(const fileset_entry &twin);

/// Opens a regular entry for reading from its start, refusing (null, `why` set) anything that is
/// not a regular file by then. The first open of a directory's entry follows no link and does not
/// block; it is kept in the entry, and every later open reads the same file. An entry of a memory
/// source reads its bytes.
file_ptr fileset_open(const fileset_source &src, const fileset_entry &e, std::string &why);

/// One packet of the map, its fields as the map gives them; -1 for a number left blank.
struct map_packet {
    int number = 0;          ///< counted from 1
    std::string type;        ///< stream type: D0 main data, S0 subcode, T0-T3 text
    long dsl = -1;           ///< data stream length: sectors for D streams, bytes for S and T
    long dss = -1;           ///< data stream start sector
    std::string subcode;     ///< "PQ DESCR", "CDTEXT", ... (blanks trimmed)
    std::string mode;        ///< CD mode: "DA" for audio
    long pregap = -1;        ///< PRE1 + PRE2
    std::string dsi;         ///< the file name, cut at the first blank
    std::int64_t offset = 0; ///< bytes into the file
};

/// An audio stream: a run of sectors of the disc held in a file from a byte offset on.
struct audio_segment {
    std::string file;        ///< the name on disk
    std::int64_t offset = 0; ///< bytes into the file
    long start = 0;          ///< the disc sector of its first byte
    long sectors = 0;
};

/// Everything read from a fileset, with every diagnostic found on the way.
struct ddp_fileset {
    std::string level;     ///< "DDP 2.00"
    std::string upc_ean;   ///< from DDPID, blanks trimmed
    std::string master_id; ///< from DDPID, blanks trimmed
    std::vector<map_packet> map;
    ddp_files files;                   ///< the files the map names, in map order, each once
    std::vector<audio_segment> audio;  ///< in disc order, joined without a gap
    long audio_sectors = 0;            ///< where the audio data ends
    std::string pq_file;               ///< the PQ stream's file on disk
    std::unique_ptr<PQlist> pq;        ///< the disc from the PQ stream and CD-Text; null when unreadable
    int pq_lead_out_packet = 0;        ///< the PQ packet of the lead-out
    std::string cdtext_file;           ///< the CD-Text file on disk; empty when there is none
    std::string cdtext;                ///< its packs, without a header or trailing NUL byte
    bool cdtext_in_pq = false;         ///< the CD-Text's first block went into `pq`
    std::vector<fileset_issue> issues;

    int errors() const;
    int warnings() const;
    /// Adds an error or warning; `position` may be empty.
    void add(bool error, std::string file, std::string position, const char *format, ...)
        __attribute__((format(printf, 5, 6)));
};

/// Reads the whole fileset (but not its audio bytes); every fault is an issue in the result.
ddp_fileset read_fileset(const fileset_source &src);

// ---- The parts, for the tests and the fuzzer ----

/// Reads a 128-byte DDPID record into `fs`.
void parse_ddpid(std::string_view bytes, const std::string &file, ddp_fileset &fs);
/// Reads the map's packets into fs.map.
void parse_map(std::string_view bytes, const std::string &file, ddp_fileset &fs);
/// Reads a PQ descriptor stream into fs.pq (null when it describes no disc).
void parse_pq_stream(std::string_view bytes, const std::string &file, ddp_fileset &fs);
