// The cue sheet writer: a PQ list as a cue sheet for one data file, as korvel adds it to a
// fileset (IMAGE.cue over IMAGE.DAT) and writes it beside extracted audio (image.cue).
#pragma once

#include <cstdio>

struct PQlist;

/// Writes the list as a cue sheet describing one data file that starts at disc position
/// `data_start` (>= 0). 0 when written, 1 when refused (nothing written).
int pq_write_cuesheet(const PQlist &pq, const char *datafile, const char *filetype, long data_start,
                      const char *cdtextfile, std::FILE *out);
