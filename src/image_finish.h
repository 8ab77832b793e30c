// The last steps of reading a cue sheet, once its audio data files are measured: the
// files joined with the silence of PREGAP and POSTGAP into the image, every index time in
// a file turned into its place on the disc, the silence that leads into the first track,
// the padding to a whole sector and the lead-out.
#pragma once

#include <utility>
#include <vector>

#include "cue_files.h"
#include "pqlist.h"

/// An index point of the sheet: frames into its file until the files are measured.
struct cue_index_point {
    PQtrack *track;
    int index;
    int file; ///< the data file, in the order of the sheet
    long frames;
};

/// Each track's PREGAP and POSTGAP in frames, -1 for none, in the order of the tracks.
using cue_track_gaps = std::vector<std::pair<long, long>>;

/// Joins the files with the silence of PREGAP and POSTGAP, and turns every index time in a
/// file into its position on the disc.
void place_audio(cuesheet_t *cue, const std::vector<cue_index_point> &points, const cue_track_gaps &track_gaps);
/// The first track's pause: at least the two seconds of silence that lead into every disc.
/// Warnings name the sheet `path`.
void lead_into_first_track(cuesheet_t *cue, const char *path, const cue_track_gaps &gaps);
/// The padding to the last whole sector, the lead-out, and enough audio for every index.
void finish_image(cuesheet_t *cue, const std::vector<cue_index_point> &points);
