// Extraction of a verified DDP fileset, for `korvel --extract`: the disc's audio
// as one WAVE file with a cue sheet for it (from which korvel writes the same
// fileset again), and one WAVE file per track, so that playing them in order is
// the disc without a gap. Every output is written under the data-safety rules.
#pragma once

#include <string>
#include <vector>

#include "fileset_check.h"

/// Writes image.wav, image.cue and 01.wav ... NN.wav (00.wav for audio hidden before track 1)
/// into the existing directory `outdir`, then the PQ sheet when `pq_sheet` is not null.
/// Refuses (nothing written) a fileset with errors, a locked directory or an output that is an
/// input. 0 when everything was written; 1 after an error was reported.
int fileset_extract(const checked_fileset &c, const char *outdir, const char *pq_sheet);

/// Writes the PQ sheet of a verified fileset to `pq_sheet`; refuses one with errors. 0 when
/// written or when `pq_sheet` is null; 1 after an error was reported.
int fileset_write_pq_sheet(const checked_fileset &c, const char *pq_sheet);

/// The paths of the files a fileset run reads: DDPID, DDPMS, the files of the map, the checksum files.
std::vector<std::string> fileset_inputs(const checked_fileset &c);
