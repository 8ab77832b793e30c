// The DDP 2.00 fileset writer: the PQ descriptor stream SD, the map stream
// DDPMS, the identifier stream DDPID, and the assembly of a fileset directory
// around the audio image, with the optional CD-Text file and cue sheet.
// The records' bytes come from ddp_format; a record with a number too wide for
// its field is never written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "fileset_files.h"

struct PQlist;

/// Before anything is written into the fileset's directory: refuses an input that is a file the
/// run replaces (`files` as ddp_files_to_write gives them), removes what a killed run left, the old
/// checksum files and the old DDPID, which would vouch for or complete a mixture of two filesets
/// should this run stop half-way. 0 when the run may write; 1 after an error.
int ddp_prepare(const ddp_files &files);

/// Before the new DDPMS is put in place: removes an IMAGE.cue that an earlier run left and this one
/// will neither write nor reads, and an earlier CDTEXT.BIN that this run does not read (one it does
/// not replace with one progress line each), so that no map stands beside another disc's CD-Text.
void ddp_remove_stale(const ddp_files &files);

/// Writes SD, DDPMS and DDPID (in that order: SD's size goes into DDPMS) after the
/// Red Book check. 0 when all three were written completely; 1 when the check failed
/// or a stream could not be created or written (each failure is reported).
int ddp_write(const char *dir, const PQlist &pq, const char *master_id);

/// Writes CDTEXT.BIN from the list's texts and links it into DDPMS. 0 written and linked;
/// 1 written but not linked or not put in place; -1 not written; -2 no CD-Text in the list;
/// -3 the texts do not fit into one CD-Text block. Unless 0, an older CDTEXT.BIN is untouched.
int ddp_write_cdtext(const char *dir, const PQlist &pq);

/// Copies a binary CD-Text file (which may be the fileset's own CDTEXT.BIN) from byte `skip` on
/// into the fileset as CDTEXT.BIN and links it into DDPMS. 0 on success; 1 on failure, which
/// replaces nothing.
int ddp_write_cdtext_from_file(const char *dir, const char *path, long skip = 0);

/// Writes IMAGE.cue describing IMAGE.DAT as raw little-endian audio, its texts in ISO 8859-1,
/// or, for MS-JIS CD-Text, in UTF-8 after a byte-order mark. 0 when written
/// completely, -1 when it cannot be created or written.
int ddp_write_cuesheet(const char *dir, const PQlist &pq);

/// The path of IMAGE.DAT in the fileset directory.
std::optional<std::string> ddp_get_data_path(const char *dir);

/// Inserts a CD-Text map packet before the PQ descriptor packet of the directory's DDPMS.
/// DDPMS is replaced in one step (rename), so a failure leaves the old one intact.
/// 0 when linked, 1 otherwise (reported, except a map without a PQ descriptor packet).
int ddp_link_cdtext_file(const char *dir, const char *cdtext_name, int size);

/// Appends one map packet to the directory's DDPMS, replacing it in one step; a failure is reported.
void ddp_add_file(const char *dir, const char *dst, const char *sub, const char *dsi, int dsl, int track);

// ---- The streams, shared with the tests ----

/// One 128-byte DDPID record. 128 when written whole, -1 otherwise.
int ddp_write_id_stream(std::FILE *out, const PQlist &pq, const char *master_id, const char *user_text);

/// One 128-byte map packet; a negative pregap or track leaves its field blank.
void ddp_write_ms_packet(std::FILE *out, const char *dst, const char *sub, const char *dsi, int dsl, int pregap,
                         const char *mode, char mode1, char mode2, int track);

/// The PQ descriptor packet and the audio image packet; returns the stream position after them.
int ddp_write_ms_stream(std::FILE *out, const char *image_name, int image_sectors, const char *pq_name,
                        int pq_size, int pregap);

/// One 64-byte PQ descriptor entry.
void ddp_write_sd_packet(std::FILE *out, std::uint8_t track, std::uint8_t index, long position, const char *isrc,
                         const char *upc_ean, const char *user_text, std::uint8_t flags);

/// The whole PQ descriptor stream of a checked list; returns the stream position after it.
int ddp_write_sd_stream(std::FILE *out, const PQlist &pq);
