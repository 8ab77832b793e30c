// What a release set's FLAC files say of the disc: the Vorbis comments that
// distributors and players read (title, artist, album, composer, track number,
// ISRC, barcode) and, for the whole-disc file, the CD's table of contents as a
// FLAC CUESHEET. The texts come from the disc's CD-Text, already in UTF-8.
#pragma once

#include "flac_encoder.h"

struct PQlist;

/// The metadata of track n's file (0: the audio hidden before track 1, tagged as the disc) of the
/// disc `pq`, whose texts are UTF-8 (pq_utf8_copy).
flac_metadata release_track_metadata(const PQlist &pq, int n);

/// The metadata of the whole disc's file: the disc's tags and its CUESHEET, every track's offset
/// from the disc's first sector, as image.cue gives them.
flac_metadata release_image_metadata(const PQlist &pq);
