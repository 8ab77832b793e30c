// CD-Text from the disc's texts: the glue between the PQ list and the CD-Text writer and
// listing. The titles, performers and songwriters a cue sheet gave become one block of packs.
#pragma once

#include <cstdio>

struct PQlist;

/// The CD-Text strings of the list, by kind, on standard output.
void pq_print_cdtext(const PQlist &pq);

/// Writes the list's CD-Text as one block of CD-Text packs: 0 when written, -1 when the
/// list has no text, -2 when the texts need more packs than one block holds (nothing written).
int pq_write_cdtext(const PQlist &pq, std::FILE *out);
/// The number of packs pq_write_cdtext needs for the list's texts, size information included;
/// 0 when the list has no text.
long pq_cdtext_pack_count(const PQlist &pq);
