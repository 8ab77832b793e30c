// Extraction of a verified DDP fileset, for `korvel --extract`: the disc's audio
// as one WAVE file with a cue sheet for it (from which korvel writes the same
// fileset again), and one WAVE file per track, so that playing them in order is
// the disc without a gap. Every output is written under the data-safety rules.
#pragma once

#include <string>
#include <vector>

#include "fileset_check.h"

/// Writes image.wav, image.cue and 01.wav ... NN.wav (00.wav for audio hidden before track 1)
/// into the existing directory `outdir`, then the PQ sheet when `pq_sheet` is not null. Call it
/// under the output directory's lock. Every file is written under a temporary name first; only
/// when all are whole does the set replace the earlier one: the earlier image.cue is removed, the
/// audio files are renamed in, earlier track files the new set lacks are removed, and image.cue
/// comes last. Refuses (nothing written) a fileset with errors, or an output or PQ sheet that is
/// a file of the fileset. 0 when everything was written; 1 after an error was reported.
int fileset_extract(const checked_fileset &c, const char *outdir, const char *pq_sheet);

/// Writes the PQ sheet of a verified fileset to `pq_sheet`, never over a file of the fileset or,
/// with `outdir`, of the extraction; refuses a fileset with errors. 0 when written or when
/// `pq_sheet` is null; 1 after an error was reported.
int fileset_write_pq_sheet(const checked_fileset &c, const char *pq_sheet, const char *outdir);

/// The paths of the fileset's files: DDPID, DDPMS, the files of the map, the checksum files and
/// the files they list, and every name korvel writes into a fileset.
std::vector<std::string> fileset_inputs(const checked_fileset &c);

/// The whole reading run of --check (without `outdir`) and --extract: the output directory
/// checked and locked, the fileset directory locked for reading (a fileset being written is
/// refused), the fileset verified, then the extraction and the PQ sheet; the JSON report comes
/// last, so that it tells every error. The exit status.
int fileset_read_run(const char *ddpdir, const char *outdir, bool json, const char *pq_sheet);
