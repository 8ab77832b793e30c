// The summary of a cue sheet as korvel understood it: its audio data files and where they
// lie on the disc, the PQ listing, and the CD-Text, from the CD-Text file or the sheet's texts.
#pragma once

struct cuesheet_t;

/// Prints the cue image summary on standard output: the audio data, the PQ listing and the CD-Text.
void cue_summary(const cuesheet_t *cue);
