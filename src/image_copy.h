// The copy of a cue sheet's audio into IMAGE.DAT, piece by piece as image_layout placed it:
// read or decoded on the run's thread, hashed (and for FLAC written) on the second one.
#pragma once

#include "parallel_digest.h"

struct cuesheet_t;

/// Writes IMAGE.DAT: pregap silence, the audio of every file (byte-swapped for MOTOROLA, decoded
/// for FLAC) with the silence of PREGAP and POSTGAP between, padding.
/// 0 when the file is complete, and then `digests` (when given) holds its MD5 and CRC-32, taken
/// from the blocks as they were written; 1 on failure (also FLAC audio that fails its checks),
/// after its diagnostics, with the file removed. Long copies hash on a second thread (threads_for).
int cue_copy_audio(cuesheet_t *cue, const char *image_path, digest_pair *digests = nullptr);
